// The file layer on Windows, on the wide Win32 file calls. Files are opened
// with every sharing mode (read, write, delete), so that a log being written
// may be renamed by another process, as on Linux.
//
// The header keeps a file handle in an int: Windows guarantees that kernel
// handles keep their value in 32 bits (sign-extended).

#include "platform/files.h"

#include <stdio.h>

#include <random>

#include "platform/text.h"
#include "platform/win/win32.h"

namespace cvie::platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE FromSlot(int slot) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(slot));
}
int ToSlot(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

bool Attributes(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, data) != 0;
}

std::string LastErrorText() {
  return "system error " + std::to_string(static_cast<unsigned>(GetLastError()));
}

HANDLE OpenForAppend(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, kShareAll,
                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool GetFileSize(const std::wstring& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool GetFileModifiedTime(const std::wstring& path, int64_t* seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  // 100-nanosecond ticks since 1601-01-01 UTC.
  const uint64_t ticks =
      (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime;
  *seconds = static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
  return true;
}

// Volume, file index, size and last write time: changes whenever the file is
// replaced or written.
std::string FileVersionStamp(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!ok) return std::string();
  auto join = [](DWORD high, DWORD low) {
    return std::to_string((static_cast<uint64_t>(high) << 32) | low);
  };
  return std::to_string(info.dwVolumeSerialNumber) + ":" +
         join(info.nFileIndexHigh, info.nFileIndexLow) + ":" +
         join(info.nFileSizeHigh, info.nFileSizeLow) + ":" +
         join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
}

bool PathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DeleteFileAt(const std::wstring& path) { return DeleteFileW(path.c_str()) != 0; }

bool RenameFile(const std::wstring& from, const std::wstring& to, bool replace_existing) {
  return MoveFileExW(from.c_str(), to.c_str(),
                     replace_existing ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

bool CreateFolder(const std::wstring& path) {
  return CreateDirectoryW(path.c_str(), nullptr) != 0;
}

bool RemoveFolder(const std::wstring& path) {
  return RemoveDirectoryW(path.c_str()) != 0;
}

bool ListFolder(const std::wstring& path, std::vector<FolderEntry>* entries) {
  entries->clear();
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return GetLastError() == 2;  // an empty folder: no file found
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                     !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    entries->push_back({name, is_folder});
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

// Who may read a file is decided by its access list on Windows; the files
// this system keeps private live in the user's own profile folders, whose
// access lists admit only the user. Here only "a regular file" is checked.
bool FileIsPrivate(const std::wstring& path, std::string* why) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  const char* problem = nullptr;
  if (!Attributes(path, &data)) {
    problem = "cannot be read";
  } else if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    problem = "is not a regular file";
  } else {
    return true;
  }
  if (why) *why = problem;
  return false;
}

std::unique_ptr<AppendFile> AppendFile::Open(const std::wstring& path) {
  HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<AppendFile>(new AppendFile(ToSlot(file)));
}

AppendFile::~AppendFile() { CloseHandle(FromSlot(fd_)); }

bool AppendFile::IsAt(const std::wstring& path, uint64_t* size_at_path) const {
  *size_at_path = 0;
  HANDLE other = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION at_path, ours;
  bool same = false;
  if (GetFileInformationByHandle(other, &at_path)) {
    *size_at_path =
        (static_cast<uint64_t>(at_path.nFileSizeHigh) << 32) | at_path.nFileSizeLow;
    same = GetFileInformationByHandle(FromSlot(fd_), &ours) &&
           ours.dwVolumeSerialNumber == at_path.dwVolumeSerialNumber &&
           ours.nFileIndexHigh == at_path.nFileIndexHigh &&
           ours.nFileIndexLow == at_path.nFileIndexLow;
  }
  CloseHandle(other);
  return same;
}

// The caller serialises Reopen with its writes (the logger holds its named
// mutex around both), so the handle is swapped without a race.
bool AppendFile::Reopen(const std::wstring& path) {
  HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  HANDLE old = FromSlot(fd_);
  fd_ = ToSlot(file);
  CloseHandle(old);
  return true;
}

// A handle opened with FILE_APPEND_DATA only writes at the end of the file,
// each WriteFile in one piece.
bool AppendFile::Write(const char* data, size_t size) {
  while (size > 0) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD wrote = 0;
    if (!WriteFile(FromSlot(fd_), data, chunk, &wrote, nullptr) || wrote == 0)
      return false;
    data += wrote;
    size -= wrote;
  }
  return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* contents) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string data;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      CloseHandle(file);
      return false;
    }
    if (got == 0) break;
    data.append(buffer, got);
  }
  CloseHandle(file);
  *contents = std::move(data);
  return true;
}

bool WriteFileAtomically(const std::wstring& path, std::string_view contents,
                         std::string* error) {
  std::random_device device;
  wchar_t suffix[32];
  swprintf(suffix, 32, L".%08x.tmp", static_cast<unsigned>(device()));
  const std::wstring temporary = path + suffix;
  auto fail = [&](const char* what, HANDLE file) {
    std::string code = LastErrorText();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    DeleteFileW(temporary.c_str());
    if (error) *error = std::string(what) + ": " + code;
    return false;
  };
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return fail("cannot create a temporary file", INVALID_HANDLE_VALUE);
  }
  size_t done = 0;
  while (done < contents.size()) {
    size_t left = contents.size() - done;
    DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD wrote = 0;
    if (!WriteFile(file, contents.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
      return fail("cannot write", file);
    }
    done += wrote;
  }
  if (!FlushFileBuffers(file)) return fail("cannot flush to disk", file);
  if (!CloseHandle(file)) return fail("cannot close", INVALID_HANDLE_VALUE);
  if (!MoveFileExW(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return fail("cannot rename", INVALID_HANDLE_VALUE);
  }
  return true;
}

}  // namespace cvie::platform
