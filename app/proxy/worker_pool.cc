#include "proxy/worker_pool.h"

#include <algorithm>
#include <utility>

namespace cvie::proxy {

WorkerPool::WorkerPool(size_t threads, size_t max_queued, size_t max_threads,
                       std::chrono::milliseconds idle_timeout,
                       std::function<void()> on_start, std::function<void()> on_idle,
                       std::chrono::milliseconds settle)
    : base_threads_(std::max<size_t>(1, threads)),
      max_threads_(std::max(base_threads_, max_threads)),
      max_queued_(max_queued),
      idle_timeout_(idle_timeout),
      on_start_(std::move(on_start)),
      on_idle_(std::move(on_idle)),
      settle_(std::min(settle, idle_timeout)) {
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 0; i < base_threads_; ++i) StartWorker();
}

WorkerPool::~WorkerPool() { Shutdown(); }

void WorkerPool::StartWorker() {
  workers_.emplace_back();
  auto self = std::prev(workers_.end());
  ++live_;
  self->thread = std::thread([this, self] { Run(self); });
}

bool WorkerPool::TryPost(std::function<void()> task) {
  std::list<Worker> ended;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return false;
    if (max_queued_ != 0 && queue_.size() >= max_queued_) return false;
    queue_.push_back(std::move(task));
    if (idle_ < queue_.size() && live_ < max_threads_) StartWorker();
    // Workers that ended are joined here, outside the lock.
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto next = std::next(it);
      if (it->exited) ended.splice(ended.end(), workers_, it);
      it = next;
    }
  }
  cv_.notify_one();
  for (Worker& w : ended) w.thread.join();
  return true;
}

void WorkerPool::Shutdown() {
  std::list<Worker> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    // No worker starts after this; the nodes keep their places for the
    // running workers, which mark them under the lock.
    all.splice(all.end(), workers_);
  }
  cv_.notify_all();
  for (Worker& w : all) {
    if (w.thread.joinable()) w.thread.join();
  }
}

size_t WorkerPool::live_workers() const {
  std::lock_guard<std::mutex> lock(mu_);
  return live_;
}

void WorkerPool::Run(std::list<Worker>::iterator self) {
  if (on_start_) on_start_();
  bool settled = true;  // on_idle has run since the last task (none yet)
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mu_);
      ++idle_;
      bool timed_out = false;
      auto ready = [this] { return stopping_ || !queue_.empty(); };
      if (!settled && on_idle_ && !cv_.wait_for(lock, settle_, ready)) {
        // Quiet for a while after a task: give back what the worker keeps,
        // still counted idle so that a new task does not start a worker.
        settled = true;
        lock.unlock();
        on_idle_();
        lock.lock();
      }
      if (ready()) {
        // A task came (or the pool stops) while on_idle ran.
      } else if (live_ > base_threads_) {
        timed_out = !cv_.wait_for(lock, idle_timeout_, ready);
      } else {
        cv_.wait(lock, ready);
      }
      --idle_;
      if (queue_.empty() && (stopping_ || (timed_out && live_ > base_threads_))) {
        // Stopping and drained, or one worker too many with nothing to do.
        --live_;
        self->exited = true;
        return;
      }
      if (queue_.empty()) continue;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
    settled = false;
  }
}

}  // namespace cvie::proxy
