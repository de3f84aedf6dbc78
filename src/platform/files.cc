// File-system operations on POSIX calls.

#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "platform/text.h"

namespace cvie::platform {

bool GetFileSize(const std::wstring& path, uint64_t* size) {
  struct stat st;
  if (stat(ToNarrow(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool GetFileModifiedTime(const std::wstring& path, int64_t* seconds) {
  struct stat st;
  if (stat(ToNarrow(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *seconds = static_cast<int64_t>(st.st_mtim.tv_sec);
  return true;
}

std::string FileVersionStamp(const std::wstring& path) {
  struct stat st;
  if (stat(ToNarrow(path).c_str(), &st) != 0) return std::string();
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
         std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_ctim.tv_sec) +
         "." + std::to_string(st.st_ctim.tv_nsec);
}

bool PathExists(const std::wstring& path) {
  struct stat st;
  return lstat(ToNarrow(path).c_str(), &st) == 0;
}

bool DeleteFileAt(const std::wstring& path) {
  return unlink(ToNarrow(path).c_str()) == 0;
}

bool RenameFile(const std::wstring& from, const std::wstring& to, bool replace_existing) {
  const std::string source = ToNarrow(from);
  const std::string target = ToNarrow(to);
  if (replace_existing) return rename(source.c_str(), target.c_str()) == 0;
  // link + unlink refuses an existing target atomically; it needs a file
  // system with hard links, so fall back to a checked rename otherwise.
  if (link(source.c_str(), target.c_str()) == 0) {
    unlink(source.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  struct stat st;
  if (lstat(target.c_str(), &st) == 0) return false;
  return rename(source.c_str(), target.c_str()) == 0;
}

bool CreateFolder(const std::wstring& path) {
  return mkdir(ToNarrow(path).c_str(), 0755) == 0;
}

bool RemoveFolder(const std::wstring& path) { return rmdir(ToNarrow(path).c_str()) == 0; }

bool ListFolder(const std::wstring& path, std::vector<FolderEntry>* entries) {
  entries->clear();
  const std::string folder = ToNarrow(path);
  // O_NOFOLLOW: a symbolic link is never listed as the folder it points to.
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return false;
  }
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    bool is_folder;
    if (entry->d_type == DT_DIR) {
      is_folder = true;
    } else if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      std::string full = folder + "/" + entry->d_name;
      is_folder = lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    } else {
      is_folder = false;
    }
    entries->push_back({ToWide(entry->d_name), is_folder});
  }
  closedir(dir);
  return true;
}

bool FileIsPrivate(const std::wstring& path, std::string* why) {
  struct stat st;
  char text[96];
  if (stat(ToNarrow(path).c_str(), &st) != 0) {
    snprintf(text, sizeof text, "cannot be read (%s)", strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    snprintf(text, sizeof text, "is not a regular file");
  } else if (st.st_uid != geteuid()) {
    snprintf(text, sizeof text, "is owned by another user (uid %u)",
             static_cast<unsigned>(st.st_uid));
  } else if ((st.st_mode & 077) != 0) {
    snprintf(text, sizeof text, "is open to group or other users (mode %04o)",
             static_cast<unsigned>(st.st_mode & 07777));
  } else {
    return true;
  }
  if (why) *why = text;
  return false;
}

namespace {

// Opens `path` for appending, creating it 0600; an existing file of this user
// that others may read or write is narrowed to its owner. -1 on failure.
int OpenPrivateForAppend(const std::wstring& path) {
  int fd = open(ToNarrow(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
      (st.st_mode & 077) != 0) {
    fchmod(fd, st.st_mode & 0700);
  }
  return fd;
}

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Open(const std::wstring& path) {
  int fd = OpenPrivateForAppend(path);
  if (fd < 0) return nullptr;
  return std::unique_ptr<AppendFile>(new AppendFile(fd));
}

AppendFile::~AppendFile() { close(fd_); }

bool AppendFile::IsAt(const std::wstring& path, uint64_t* size_at_path) const {
  struct stat at_path, ours;
  if (stat(ToNarrow(path).c_str(), &at_path) != 0) {
    *size_at_path = 0;
    return false;
  }
  *size_at_path = static_cast<uint64_t>(at_path.st_size);
  return fstat(fd_, &ours) == 0 && ours.st_dev == at_path.st_dev &&
         ours.st_ino == at_path.st_ino;
}

bool AppendFile::Reopen(const std::wstring& path) {
  int fd = OpenPrivateForAppend(path);
  if (fd < 0) return false;
  // dup3 swaps the file behind fd_ in one step; fd_ keeps its number.
  bool swapped = dup3(fd, fd_, O_CLOEXEC) >= 0;
  close(fd);
  return swapped;
}

bool AppendFile::Write(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* contents) {
  int fd = open(ToNarrow(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      return false;
    }
    if (got == 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  *contents = std::move(data);
  return true;
}

bool WriteFileAtomically(const std::wstring& path, std::string_view contents,
                         std::string* error) {
  const std::string target = ToNarrow(path);
  std::random_device device;
  char suffix[32];
  snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(device()));
  const std::string temporary = target + suffix;
  auto fail = [&](const char* what, int fd) {
    int code = errno;
    if (fd >= 0) close(fd);
    unlink(temporary.c_str());
    if (error) *error = std::string(what) + ": " + strerror(code);
    return false;
  };
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return fail("cannot create a temporary file", -1);
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t wrote = write(fd, contents.data() + done, contents.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return fail("cannot write", fd);
    done += static_cast<size_t>(wrote);
  }
  if (fsync(fd) != 0) return fail("cannot flush to disk", fd);
  if (close(fd) != 0) return fail("cannot close", -1);
  if (rename(temporary.c_str(), target.c_str()) != 0) return fail("cannot rename", -1);
  // The rename itself lasts only once the folder is on disk.
  std::string folder = target.substr(0, target.find_last_of('/') + 1);
  if (folder.empty()) folder = ".";
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace cvie::platform
