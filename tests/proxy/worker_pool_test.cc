#include "proxy/worker_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

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

}  // namespace
}  // namespace cvie::proxy
