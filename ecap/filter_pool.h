// ecap/filter_pool.h
//
// The Squid adapter's page editing, off Squid's main thread. When a page's
// body is complete, its transaction wraps the PageAssembly in a FilterJob,
// submits it to the FilterPool and returns to Squid at once; a worker thread
// runs the editor over the page (PageAssembly::End) and puts the job on the
// finished list. Squid's thread takes the finished jobs back
// (DeliverFinished, from the service's resume()) and each job whose
// transaction still waits calls its `on_done`, in which the transaction
// sends the result. libecap is never called from a worker.
//
// Ownership: a job is shared by its transaction and the pool. A transaction
// that Squid aborts cancels its job and lets go of it: a job still queued is
// not edited, and a job being edited finishes and is dropped when it comes
// back; its `on_done` is never called.
//
// Threads: Start, Stop, Submit, DeliverFinished and FilterJob's Cancel,
// TakeAssembly and state() belong to one owner thread (Squid's main thread);
// pending() may be read from any thread. Workers only run jobs.

#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "page_assembly.h"

namespace cvie::ecap {

class FilterJob {
 public:
  // Ends the body of `assembly` (collecting, with the whole page in it) with
  // End(at_end) when run; `on_done` is called on the owner thread once the
  // job is back, unless it was cancelled.
  FilterJob(std::unique_ptr<PageAssembly> assembly, bool at_end,
            std::function<void()> on_done);
  FilterJob(const FilterJob&) = delete;
  FilterJob& operator=(const FilterJob&) = delete;

  // Runs the editor, unless the job was cancelled. On a worker, or on the
  // owner thread when no pool runs.
  void Run();

  // The transaction is gone: the job is not run if it has not started, and
  // `on_done` is never called. Owner thread.
  void Cancel();
  bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }

  // After the job came back (on_done) or ran on the owner thread: the final
  // state, and the assembly with out() to send (taken once).
  PageAssembly::State state() const { return state_; }
  std::unique_ptr<PageAssembly> TakeAssembly() { return std::move(assembly_); }

  // Calls on_done unless cancelled. Owner thread, after the job came back.
  void Deliver();

 private:
  std::unique_ptr<PageAssembly> assembly_;  // a worker's while it runs the job
  const bool at_end_;
  PageAssembly::State state_ = PageAssembly::State::kCollecting;
  std::atomic<bool> cancelled_{false};
  std::function<void()> on_done_;  // owner thread only
};

class FilterPool {
 public:
  FilterPool() = default;
  ~FilterPool() { Stop(); }
  FilterPool(const FilterPool&) = delete;
  FilterPool& operator=(const FilterPool&) = delete;

  // Starts `threads` workers (at least one), once per process: workers
  // started before Squid forked this process do not run here, so the
  // process starts its own (the copies of the parent's thread objects are
  // left alone, since joining them would wait forever). Does nothing while
  // the pool runs.
  void Start(unsigned threads);

  // Lets the workers finish every queued job, then joins them. The finished
  // jobs stay for DeliverFinished.
  void Stop();

  bool running() const { return !workers_.empty(); }

  // Queues `job`; false when the pool does not run (the caller then runs the
  // job itself).
  bool Submit(std::shared_ptr<FilterJob> job);

  // Takes the finished jobs and calls Deliver on each; returns how many
  // came back (cancelled ones included, which are dropped).
  size_t DeliverFinished();

  // Jobs submitted and not yet taken back by DeliverFinished.
  size_t pending() const { return pending_.load(std::memory_order_acquire); }

 private:
  void Work();

  std::vector<std::thread> workers_;
  pid_t owner_ = 0;  // the process that started workers_
  std::mutex mu_;    // queue_, finished_, stopping_
  std::condition_variable wake_;
  std::deque<std::shared_ptr<FilterJob>> queue_;
  std::vector<std::shared_ptr<FilterJob>> finished_;
  bool stopping_ = false;
  std::atomic<size_t> pending_{0};
};

}  // namespace cvie::ecap
