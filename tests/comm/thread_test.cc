// Per-thread message queues, the message loop, thread timers and threads.

#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

namespace cvie::platform {
namespace {

using namespace std::chrono_literals;

TEST(ThreadMessageQueue, DeliversPostedMessagesInOrderThenQuits) {
  std::vector<UINT> seen;
  std::vector<int> ran;
  std::unique_ptr<Thread> thread = Thread::Create([&] {
    MSG msg;
    while (GetMessage(&msg)) {
      TranslateMessage(&msg);
      DispatchMessage(&msg);
      seen.push_back(msg.message);
    }
    return static_cast<DWORD>(msg.wParam);
  });
  ASSERT_TRUE(thread);
  DWORD id = thread->id();
  EXPECT_TRUE(PostThreadMessage(id, WM_USER + 1, 0, 0));
  EXPECT_TRUE(PostThreadTask(id, [&] { ran.push_back(1); }));
  EXPECT_TRUE(PostThreadMessage(id, WM_USER + 2, 0, 0));
  EXPECT_TRUE(PostThreadTask(id, [&] { ran.push_back(2); }));
  EXPECT_TRUE(PostThreadTask(id, [] { PostQuitMessage(7); }));
  ASSERT_TRUE(thread->Wait(5000));
  EXPECT_EQ(thread->ExitCode(), 7u);
  EXPECT_EQ(seen, (std::vector<UINT>{WM_USER + 1, WM_APP_TASK, WM_USER + 2, WM_APP_TASK,
                                     WM_APP_TASK}));
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(ThreadMessageQueue, PostingToAThreadWithoutQueueFails) {
  std::unique_ptr<Thread> thread = Thread::Create([] { return DWORD{0}; });
  ASSERT_TRUE(thread);
  DWORD id = thread->id();
  thread->Join();
  // The thread has ended, and its queue with it.
  EXPECT_FALSE(PostThreadMessage(id, WM_USER, 0, 0));
  EXPECT_FALSE(PostThreadTask(id, [] {}));
}

TEST(ThreadMessageQueue, QuitPostedFromAnotherThreadEndsTheLoop) {
  std::unique_ptr<Thread> thread = Thread::Create([] {
    MSG msg;
    int count = 0;
    while (GetMessage(&msg)) ++count;
    return static_cast<DWORD>(count);
  });
  ASSERT_TRUE(thread);
  PostThreadMessage(thread->id(), WM_USER, 0, 0);
  PostThreadMessage(thread->id(), WM_QUIT, 0, 0);
  ASSERT_TRUE(thread->Wait(5000));
  EXPECT_EQ(thread->ExitCode(), 1u);  // the message before the quit was taken
}

TEST(ThreadMessageQueue, TimerWakesAnEmptyQueueUntilKilled) {
  UINT_PTR timer = SetThreadTimer(20);
  ASSERT_NE(timer, 0u);
  auto start = std::chrono::steady_clock::now();
  MSG msg;
  ASSERT_TRUE(GetMessage(&msg));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, timer);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 15ms);
  // Posted messages come before a due timer.
  PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0);
  std::this_thread::sleep_for(30ms);
  ASSERT_TRUE(GetMessage(&msg));
  EXPECT_EQ(msg.message, WM_USER);
  EXPECT_TRUE(KillThreadTimer(timer));
  EXPECT_FALSE(KillThreadTimer(timer));
  std::this_thread::sleep_for(40ms);
  EXPECT_FALSE(PeekMessage(&msg));
}

TEST(ThreadMessageQueue, ConcurrentPostersLoseNoMessage) {
  constexpr int kPosters = 4;
  constexpr int kEach = 500;
  std::atomic<int> received{0};
  std::unique_ptr<Thread> owner = Thread::Create([&] {
    MSG msg;
    while (GetMessage(&msg)) DispatchMessage(&msg);
    return DWORD{0};
  });
  ASSERT_TRUE(owner);
  std::vector<std::unique_ptr<Thread>> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.push_back(Thread::Create([&] {
      for (int i = 0; i < kEach; ++i) {
        PostThreadTask(owner->id(), [&] { ++received; });
      }
      return DWORD{0};
    }));
  }
  for (auto& poster : posters) poster->Join();
  PostThreadMessage(owner->id(), WM_QUIT, 0, 0);
  ASSERT_TRUE(owner->Wait(10000));
  EXPECT_EQ(received.load(), kPosters * kEach);
}

TEST(ThreadObject, WaitTimesOutWhileTheRoutineRuns) {
  std::atomic<bool> release{false};
  std::unique_ptr<Thread> thread = Thread::Create([&] {
    while (!release.load()) std::this_thread::sleep_for(1ms);
    return DWORD{42};
  });
  ASSERT_TRUE(thread);
  EXPECT_NE(thread->id(), 0u);
  EXPECT_NE(thread->id(), GetCurrentThreadId());
  EXPECT_FALSE(thread->Wait(30));
  EXPECT_FALSE(thread->Finished());
  release.store(true);
  EXPECT_TRUE(thread->Wait(5000));
  EXPECT_EQ(thread->ExitCode(), 42u);
}

}  // namespace
}  // namespace cvie::platform
