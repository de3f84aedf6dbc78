// platform/sync.h
//
// Locks shared between processes of the same user:
//  - NamedMutex: a machine-wide mutex known by name ("MutexToLog"). It is an
//    in-process recursive mutex plus flock() on the file
//    <runtime folder>/<name>.lock; the kernel drops the file lock when a
//    process dies, so a crashed holder never blocks the others.
//  - ExclusiveFileLock: the lock file of a single-instance job (the update
//    worker's "background.lck"). Holding it means holding an exclusive
//    flock() on the file; releasing deletes the file, then unlocks. A file
//    left behind by a crashed holder is unlocked, so the next Acquire wins.
// And the operating system's identifier of the calling thread.

#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace cvie::platform {

// The kernel's id of the calling thread (gettid), as shown by ps -L.
int CurrentThreadId();

class NamedMutex {
 public:
  // Opens the mutex `name`, making its lock file (and the runtime folder)
  // when missing. Never null. When the lock file cannot be opened the object
  // still serialises the threads of this process but not other processes;
  // cross_process() then returns false.
  static std::unique_ptr<NamedMutex> Open(const std::wstring& name);
  ~NamedMutex();

  // Blocks until the mutex is held. The holding thread may lock again
  // (recursive, like a Windows mutex); each Lock needs one Unlock.
  void Lock();
  // Like Lock but never waits; false when another thread or process holds it.
  bool TryLock();
  void Unlock();

  bool cross_process() const { return fd_ >= 0; }

  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

 private:
  explicit NamedMutex(int fd) : fd_(fd) {}
  std::recursive_mutex local_;
  int depth_ = 0;  // guarded by local_
  int fd_;
  // A process made by fork() shares the parent's open file, and so its lock;
  // the child must open its own NamedMutex.
};

// RAII holder for a NamedMutex (null mutex: no-op).
class NamedMutexLock {
 public:
  explicit NamedMutexLock(NamedMutex* mutex) : mutex_(mutex) {
    if (mutex_) mutex_->Lock();
  }
  ~NamedMutexLock() {
    if (mutex_) mutex_->Unlock();
  }
  NamedMutexLock(const NamedMutexLock&) = delete;
  NamedMutexLock& operator=(const NamedMutexLock&) = delete;

 private:
  NamedMutex* mutex_;
};

class ExclusiveFileLock {
 public:
  // Creates `path` when missing and locks it without waiting. Null when
  // another holder (another process, or another ExclusiveFileLock of this
  // process) has it, or when the file cannot be made (missing folder).
  static std::unique_ptr<ExclusiveFileLock> Acquire(const std::wstring& path);
  // Deletes the file, then unlocks and closes it.
  ~ExclusiveFileLock();

  const std::wstring& path() const { return path_; }

  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

 private:
  ExclusiveFileLock(std::wstring path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::wstring path_;
  int fd_;
};

}  // namespace cvie::platform
