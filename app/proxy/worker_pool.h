// app/proxy/worker_pool.h
//
// Worker threads taking tasks from one queue in the order they were posted.
// The proxy runs each request start to finish on one of them. `threads`
// workers are always there; when a task is posted and none is idle, another
// worker starts, up to `max_threads`, so that requests that hold a worker for
// long (a slow origin, a stream that never ends, a long poll) do not keep
// every other request waiting. A worker beyond the first `threads` that
// finds nothing to do for `idle_timeout` ends. Idle connections hold no
// worker. A worker that has had nothing to do for `settle` after a task runs
// `on_idle` once (to give back memory it keeps for the next task) before it
// waits on.

#pragma once

#include <stddef.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace cvie::proxy {

class WorkerPool {
 public:
  // Starts `threads` workers (at least one); grows up to `max_threads` (at
  // least `threads`; 0 means `threads`: no growth). At most `max_queued`
  // tasks wait for a worker; 0 means no bound.
  // `on_start`, when given, runs on each worker thread as it starts, before
  // its first task; `on_idle` (see above) on the worker thread, without the
  // pool's lock.
  WorkerPool(size_t threads, size_t max_queued, size_t max_threads = 0,
             std::chrono::milliseconds idle_timeout = std::chrono::seconds(30),
             std::function<void()> on_start = {}, std::function<void()> on_idle = {},
             std::chrono::milliseconds settle = std::chrono::seconds(1));
  // Runs the tasks still queued, then joins the workers.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues a task, starting a worker for it when none is idle and the pool
  // may grow. Returns false, dropping it, when the queue is full or the pool
  // is shutting down. Safe from any thread.
  bool TryPost(std::function<void()> task);

  // Lets the workers finish every queued task, then joins them. Later TryPost
  // calls fail. Safe to call more than once; not from a worker thread.
  void Shutdown();

  // Workers running now (those always there included). Safe from any thread.
  size_t live_workers() const;

 private:
  struct Worker {
    std::thread thread;
    bool exited = false;  // guarded by mu_; the thread is then ready to join
  };
  // Starts a worker; mu_ held.
  void StartWorker();
  void Run(std::list<Worker>::iterator self);

  const size_t base_threads_;
  const size_t max_threads_;
  const size_t max_queued_;
  const std::chrono::milliseconds idle_timeout_;
  const std::function<void()> on_start_;
  const std::function<void()> on_idle_;
  const std::chrono::milliseconds settle_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;  // guarded by mu_
  bool stopping_ = false;                    // guarded by mu_
  size_t live_ = 0;                          // guarded by mu_
  size_t idle_ = 0;                          // guarded by mu_: waiting for a task
  std::list<Worker> workers_;                // guarded by mu_ until Shutdown
};

}  // namespace cvie::proxy
