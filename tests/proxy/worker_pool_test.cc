#include "proxy/worker_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace cvie::proxy {
namespace {

TEST(WorkerPool, ConcurrentTasksNeverExceedThePoolSize) {
  constexpr size_t kThreads = 3;
  constexpr int kTasks = 60;
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  std::atomic<int> done{0};
  std::mutex mu;
  std::set<std::thread::id> threads;
  {
    WorkerPool pool(kThreads, 0);
    for (int i = 0; i < kTasks; ++i) {
      ASSERT_TRUE(pool.TryPost([&] {
        int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        {
          std::lock_guard<std::mutex> lock(mu);
          threads.insert(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --running;
        ++done;
      }));
    }
  }  // the destructor runs what is queued, then joins
  EXPECT_EQ(done.load(), kTasks);
  EXPECT_LE(most.load(), static_cast<int>(kThreads));
  EXPECT_LE(threads.size(), kThreads);
  EXPECT_GE(most.load(), 2) << "tasks should overlap on a pool of three";
}

TEST(WorkerPool, ConcurrentPostsBeyondTheQueueBoundAreRefused) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> started{false};
  WorkerPool pool(1, 2);
  ASSERT_TRUE(pool.TryPost([&] {
    started = true;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return release; });
  }));
  while (!started) std::this_thread::yield();
  std::atomic<int> ran{0};
  EXPECT_TRUE(pool.TryPost([&] { ++ran; }));
  EXPECT_TRUE(pool.TryPost([&] { ++ran; }));
  EXPECT_FALSE(pool.TryPost([&] { ++ran; })) << "the queue holds two";
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  pool.Shutdown();
  EXPECT_EQ(ran.load(), 2);
  EXPECT_FALSE(pool.TryPost([] {})) << "a pool that shut down takes no task";
}

// Tasks that hold their worker for long do not keep the next ones waiting:
// the pool starts workers up to its cap, and the extra ones end once idle.
TEST(WorkerPool, ConcurrentLongTasksGrowThePoolToItsCapThenItShrinks) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> running{0};
  WorkerPool pool(2, 0, 6, std::chrono::milliseconds(100));
  EXPECT_EQ(pool.live_workers(), 2u);
  auto hold = [&] {
    ++running;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return release; });
    --running;
  };
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(pool.TryPost(hold));
  for (int i = 0; i < 500 && running < 6; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(running.load(), 6) << "six workers at most: the seventh task waits";
  EXPECT_EQ(pool.live_workers(), 6u);
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  size_t live = pool.live_workers();
  for (int i = 0; i < 400 && live > 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    live = pool.live_workers();
  }
  EXPECT_EQ(live, 2u) << "idle extra workers must end";
  std::atomic<bool> ran{false};
  ASSERT_TRUE(pool.TryPost([&] { ran = true; }));
  pool.Shutdown();
  EXPECT_TRUE(ran.load());
  EXPECT_EQ(running.load(), 0);
}

// A worker quiet for the settle time after a task runs the idle hook once,
// on its own thread; one kept busy does not run it; a task posted after the
// hook still runs.
TEST(WorkerPool, AWorkerQuietAfterATaskRunsTheIdleHookOnceOnItsThread) {
  std::mutex mu;
  std::vector<std::thread::id> idle_threads;
  std::thread::id task_thread;
  WorkerPool pool(
      1, 0, 1, std::chrono::seconds(30), {},
      [&] {
        std::lock_guard<std::mutex> lock(mu);
        idle_threads.push_back(std::this_thread::get_id());
      },
      std::chrono::milliseconds(300));
  // Tasks 20 ms apart: never quiet for 300 ms, so no idle hook in between.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(pool.TryPost([&] {
      std::lock_guard<std::mutex> lock(mu);
      task_thread = std::this_thread::get_id();
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_TRUE(idle_threads.empty()) << "the hook ran while tasks kept coming";
  }
  size_t seen = 0;
  for (int i = 0; i < 600 && seen == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard<std::mutex> lock(mu);
    seen = idle_threads.size();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::atomic<bool> ran{false};
  ASSERT_TRUE(pool.TryPost([&] { ran = true; }));
  pool.Shutdown();
  EXPECT_TRUE(ran.load());
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(idle_threads.size(), 1u) << "once per quiet spell, not once per wait";
  EXPECT_EQ(idle_threads[0], task_thread);
}

}  // namespace
}  // namespace cvie::proxy
