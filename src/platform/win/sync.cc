// The lock layer on Windows: NamedMutex is a kernel mutex made with
// CreateMutexW (a mutex whose holder died is handed to the next waiter as
// "abandoned", which counts as acquired); ExclusiveFileLock is a file opened
// with no sharing and FILE_FLAG_DELETE_ON_CLOSE, so the system deletes it when
// the holder closes it or dies.
//
// The header keeps the handle in an int: Windows guarantees that kernel
// handles keep their value in 32 bits (sign-extended), so that 32- and 64-bit
// processes can share them.

#include "platform/sync.h"

#include <stdint.h>

#include "platform/win/win32.h"

namespace cvie::platform {
namespace {

HANDLE FromSlot(int slot) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(slot));
}
int ToSlot(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

}  // namespace

int CurrentThreadId() { return static_cast<int>(GetCurrentThreadId()); }

std::unique_ptr<NamedMutex> NamedMutex::Open(const std::wstring& name) {
  HANDLE handle = CreateMutexW(nullptr, FALSE, name.c_str());
  return std::unique_ptr<NamedMutex>(new NamedMutex(handle ? ToSlot(handle) : -1));
}

NamedMutex::~NamedMutex() {
  if (fd_ >= 0) CloseHandle(FromSlot(fd_));
}

void NamedMutex::Lock() {
  local_.lock();
  if (depth_++ == 0 && fd_ >= 0) WaitForSingleObject(FromSlot(fd_), INFINITE);
}

bool NamedMutex::TryLock() {
  if (!local_.try_lock()) return false;
  if (depth_ == 0 && fd_ >= 0) {
    DWORD got = WaitForSingleObject(FromSlot(fd_), 0);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
      local_.unlock();
      return false;
    }
  }
  ++depth_;
  return true;
}

void NamedMutex::Unlock() {
  if (--depth_ == 0 && fd_ >= 0) ReleaseMutex(FromSlot(fd_));
  local_.unlock();
}

std::unique_ptr<ExclusiveFileLock> ExclusiveFileLock::Acquire(const std::wstring& path) {
  HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<ExclusiveFileLock>(new ExclusiveFileLock(path, ToSlot(handle)));
}

ExclusiveFileLock::~ExclusiveFileLock() { CloseHandle(FromSlot(fd_)); }

}  // namespace cvie::platform
