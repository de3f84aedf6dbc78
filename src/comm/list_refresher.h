// comm/list_refresher.h
//
// Keeps the subscribed filter lists fresh while a long-running process (the
// proxy) runs: a thread of its own looks every `interval` for lists whose
// "! Expires:" time has passed (RefreshLists without force, so a list is
// never fetched more often than its expiry, at least an hour, allows) and
// downloads them. The list set's watcher then loads the new bodies.
//
// Threads: construction and destruction on one thread; the destructor stops
// a download in progress and waits for the thread.

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace cvie {

class ListRefresher {
 public:
  // The interval between looks: 15 minutes, or the milliseconds in the
  // environment variable CVIE_LIST_REFRESH_CHECK_MS (for tests).
  static std::chrono::milliseconds DefaultInterval();

  // Starts the thread; the first look is one interval after the start (the
  // start itself already refreshes due lists).
  explicit ListRefresher(std::chrono::milliseconds interval = DefaultInterval());
  ~ListRefresher();
  ListRefresher(const ListRefresher&) = delete;
  ListRefresher& operator=(const ListRefresher&) = delete;

  // Looks completed so far (for tests and logs).
  int looks() const { return looks_.load(); }

 private:
  void Run();

  const std::chrono::milliseconds interval_;
  std::atomic<bool> stop_{false};
  std::atomic<int> looks_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

}  // namespace cvie
