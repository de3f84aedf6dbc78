// ecap/filter_pool.cc

#include "filter_pool.h"

#include <unistd.h>

#include <utility>

namespace cvie::ecap {

FilterJob::FilterJob(std::unique_ptr<PageAssembly> assembly, bool at_end,
                     std::function<void()> on_done)
    : assembly_(std::move(assembly)), at_end_(at_end), on_done_(std::move(on_done)) {}

void FilterJob::Run() {
  if (cancelled() || !assembly_) return;
  state_ = assembly_->End(at_end_);
}

void FilterJob::Cancel() {
  cancelled_.store(true, std::memory_order_release);
  on_done_ = nullptr;
}

void FilterJob::Deliver() {
  if (cancelled() || !on_done_) return;
  std::function<void()> on_done = std::move(on_done_);
  on_done_ = nullptr;
  on_done();
}

void FilterPool::Start(unsigned threads) {
  const pid_t pid = getpid();
  if (!workers_.empty() && owner_ == pid) return;
  if (!workers_.empty()) {
    // Copies of a parent's threads: nothing runs behind them here.
    for (std::thread& worker : workers_) {
      auto* leaked = new std::thread(std::move(worker));
      (void)leaked;
    }
    workers_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = false;
  }
  if (threads == 0) threads = 1;
  for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
  owner_ = pid;
}

void FilterPool::Stop() {
  if (workers_.empty() || owner_ != getpid()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

bool FilterPool::Submit(std::shared_ptr<FilterJob> job) {
  if (workers_.empty() || owner_ != getpid()) return false;
  pending_.fetch_add(1, std::memory_order_acq_rel);
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

size_t FilterPool::DeliverFinished() {
  std::vector<std::shared_ptr<FilterJob>> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    done.swap(finished_);
  }
  pending_.fetch_sub(done.size(), std::memory_order_acq_rel);
  for (const std::shared_ptr<FilterJob>& job : done) job->Deliver();
  return done.size();
}

void FilterPool::Work() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and every queued job is done
    std::shared_ptr<FilterJob> job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    job->Run();
    lock.lock();
    finished_.push_back(std::move(job));
  }
}

}  // namespace cvie::ecap
