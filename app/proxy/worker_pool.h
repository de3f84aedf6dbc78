// app/proxy/worker_pool.h
//
// A fixed number of worker threads taking tasks from one queue in the order they
// were posted. The proxy runs each request start to finish on one of them, so the
// number of requests being handled at once never exceeds the pool's size; idle
// connections hold no worker.

#pragma once

#include <stddef.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cvie::proxy {

class WorkerPool {
 public:
  // Starts `threads` workers (at least one). At most `max_queued` tasks wait for
  // a worker; 0 means no bound.
  WorkerPool(size_t threads, size_t max_queued);
  // Runs the tasks still queued, then joins the workers.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues a task. Returns false, dropping it, when the queue is full or the pool
  // is shutting down. Safe from any thread.
  bool TryPost(std::function<void()> task);

  // Lets the workers finish every queued task, then joins them. Later TryPost
  // calls fail. Safe to call more than once; not from a worker thread.
  void Shutdown();

  size_t size() const { return threads_.size(); }

 private:
  void Run();

  const size_t max_queued_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;  // guarded by mu_
  bool stopping_ = false;                    // guarded by mu_
  std::vector<std::thread> threads_;
};

}  // namespace cvie::proxy
