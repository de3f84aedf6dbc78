#include "platform/sync.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/text.h"

using namespace cvie;
using namespace cvie::platform;
namespace fs = std::filesystem;

namespace {

// Runs `child` in a forked process and returns its exit status (-1 when it
// did not exit normally).
template <typename F>
int RunInChild(F child) {
  pid_t pid = fork();
  if (pid == 0) _exit(child());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(NamedMutex, LockFileLivesInTheRuntimeFolder) {
  cvie::testing::ScopedCvieRoot root;
  auto mutex = NamedMutex::Open(L"MutexToLog");
  ASSERT_TRUE(mutex);
  EXPECT_TRUE(mutex->cross_process());
  EXPECT_TRUE(fs::exists(root.path() / "run" / "MutexToLog.lock"));
}

TEST(NamedMutex, ExcludesAnotherProcessUntilReleased) {
  cvie::testing::ScopedCvieRoot root;
  auto mutex = NamedMutex::Open(L"TestMutex");
  mutex->Lock();
  // The child opens its own handle, as another process would.
  EXPECT_EQ(RunInChild([] { return NamedMutex::Open(L"TestMutex")->TryLock() ? 1 : 0; }),
            0);
  mutex->Unlock();
  EXPECT_EQ(RunInChild([] { return NamedMutex::Open(L"TestMutex")->TryLock() ? 1 : 0; }),
            1);
}

TEST(NamedMutex, DeadHolderReleasesTheMutex) {
  cvie::testing::ScopedCvieRoot root;
  // The child takes the mutex and exits without releasing it.
  EXPECT_EQ(RunInChild([] {
              NamedMutex::Open(L"TestMutex").release()->Lock();
              return 0;
            }),
            0);
  auto mutex = NamedMutex::Open(L"TestMutex");
  EXPECT_TRUE(mutex->TryLock());
  mutex->Unlock();
}

TEST(NamedMutex, HolderThreadMayLockAgainOthersWait) {
  cvie::testing::ScopedCvieRoot root;
  auto mutex = NamedMutex::Open(L"TestMutex");
  mutex->Lock();
  mutex->Lock();
  std::atomic<bool> other_got_it{false};
  std::thread other([&] {
    other_got_it = mutex->TryLock();
    if (other_got_it) mutex->Unlock();
  });
  other.join();
  EXPECT_FALSE(other_got_it);
  mutex->Unlock();
  // Still held once: another process cannot take it.
  EXPECT_EQ(RunInChild([] { return NamedMutex::Open(L"TestMutex")->TryLock() ? 1 : 0; }),
            0);
  mutex->Unlock();
  EXPECT_EQ(RunInChild([] { return NamedMutex::Open(L"TestMutex")->TryLock() ? 1 : 0; }),
            1);
}

TEST(NamedMutex, ConcurrentThreadsNeverOverlap) {
  cvie::testing::ScopedCvieRoot root;
  auto mutex = NamedMutex::Open(L"TestMutex");
  int inside = 0;  // guarded by the mutex under test
  int max_inside = 0;
  long total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        NamedMutexLock lock(mutex.get());
        ++inside;
        if (inside > max_inside) max_inside = inside;
        ++total;
        --inside;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(max_inside, 1);
  EXPECT_EQ(total, 8000);
}

TEST(NamedMutex, MissingRuntimeFolderStillSerialisesThreads) {
  cvie::testing::ScopedCvieRoot root;
  cvie::testing::WriteFile(root.path() / "run", "a file where the folder should be");
  auto mutex = NamedMutex::Open(L"TestMutex");
  ASSERT_TRUE(mutex);
  EXPECT_FALSE(mutex->cross_process());
  mutex->Lock();
  bool other = true;
  std::thread([&] { other = mutex->TryLock(); }).join();
  EXPECT_FALSE(other);
  mutex->Unlock();
}

TEST(ExclusiveFileLock, SecondHolderIsRefusedAndReleaseDeletesTheFile) {
  cvie::testing::ScopedCvieRoot root;
  const fs::path file = root.path() / "background.lck";
  const std::wstring path = platform::ToWide(file.string());
  auto first = ExclusiveFileLock::Acquire(path);
  ASSERT_TRUE(first);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_FALSE(ExclusiveFileLock::Acquire(path));
  EXPECT_EQ(RunInChild([&] { return ExclusiveFileLock::Acquire(path) ? 1 : 0; }), 0);
  first.reset();
  EXPECT_FALSE(fs::exists(file));
  auto again = ExclusiveFileLock::Acquire(path);
  EXPECT_TRUE(again);
}

TEST(ExclusiveFileLock, StaleFileOfACrashedHolderDoesNotBlock) {
  cvie::testing::ScopedCvieRoot root;
  const fs::path file = root.path() / "background.lck";
  const std::wstring path = platform::ToWide(file.string());
  // The child locks and dies without its destructor: the file stays behind.
  EXPECT_EQ(
      RunInChild([&] { return ExclusiveFileLock::Acquire(path).release() ? 0 : 1; }), 0);
  EXPECT_TRUE(fs::exists(file));
  auto lock = ExclusiveFileLock::Acquire(path);
  EXPECT_TRUE(lock);
}

TEST(ExclusiveFileLock, MissingFolderGivesNoLock) {
  cvie::testing::ScopedCvieRoot root;
  EXPECT_FALSE(ExclusiveFileLock::Acquire(
      platform::ToWide((root.path() / "no/such/background.lck").string())));
}

TEST(ExclusiveFileLock, ConcurrentAcquirersNeverHoldTogether) {
  cvie::testing::ScopedCvieRoot root;
  const std::wstring path = platform::ToWide((root.path() / "background.lck").string());
  std::atomic<int> holders{0};
  std::atomic<int> max_holders{0};
  std::atomic<int> acquired{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        auto lock = ExclusiveFileLock::Acquire(path);
        if (!lock) continue;
        ++acquired;
        int now = ++holders;
        int seen = max_holders.load();
        while (now > seen && !max_holders.compare_exchange_weak(seen, now)) {
        }
        --holders;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(max_holders.load(), 1);
  EXPECT_GT(acquired.load(), 0);
}

TEST(CurrentThreadId, DiffersBetweenThreadsAndIsStable) {
  int main_id = CurrentThreadId();
  EXPECT_EQ(main_id, CurrentThreadId());
  EXPECT_EQ(main_id, static_cast<int>(getpid()));  // the test's main thread
  int other_id = 0;
  std::thread([&] { other_id = CurrentThreadId(); }).join();
  EXPECT_NE(other_id, main_id);
  EXPECT_GT(other_id, 0);
}

}  // namespace
