// Named mutexes and lock files on flock().

#include "platform/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/shell.h"
#include "platform/text.h"

namespace cvie::platform {

namespace {

void FlockRetrying(int fd, int operation) {
  while (flock(fd, operation) != 0 && errno == EINTR) {
  }
}

}  // namespace

int CurrentThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

std::unique_ptr<NamedMutex> NamedMutex::Open(const std::wstring& name) {
  std::wstring folder = RuntimeFolder();
  int fd = -1;
  if (CreateFolderWithParents(folder)) {
    std::string path = ToNarrow(folder + kPathSeparator + name + L".lock");
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  }
  return std::unique_ptr<NamedMutex>(new NamedMutex(fd));
}

NamedMutex::~NamedMutex() {
  if (fd_ >= 0) close(fd_);
}

void NamedMutex::Lock() {
  local_.lock();
  if (depth_++ == 0 && fd_ >= 0) FlockRetrying(fd_, LOCK_EX);
}

bool NamedMutex::TryLock() {
  if (!local_.try_lock()) return false;
  if (depth_ == 0 && fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    local_.unlock();
    return false;
  }
  ++depth_;
  return true;
}

void NamedMutex::Unlock() {
  if (--depth_ == 0 && fd_ >= 0) FlockRetrying(fd_, LOCK_UN);
  local_.unlock();
}

std::unique_ptr<ExclusiveFileLock> ExclusiveFileLock::Acquire(const std::wstring& path) {
  const std::string narrow = ToNarrow(path);
  // A holder that is releasing unlinks the file before unlocking it, so the
  // file we locked may already be gone from the folder; then a newer file may
  // be locked by someone else. Lock only a file that is still the one at
  // `path`; retry a few times when we lost such a race.
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = open(narrow.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return nullptr;
    }
    struct stat held, current;
    if (fstat(fd, &held) == 0 && stat(narrow.c_str(), &current) == 0 &&
        held.st_dev == current.st_dev && held.st_ino == current.st_ino) {
      return std::unique_ptr<ExclusiveFileLock>(new ExclusiveFileLock(path, fd));
    }
    close(fd);
  }
  return nullptr;
}

ExclusiveFileLock::~ExclusiveFileLock() {
  unlink(ToNarrow(path_).c_str());
  FlockRetrying(fd_, LOCK_UN);
  close(fd_);
}

}  // namespace cvie::platform
