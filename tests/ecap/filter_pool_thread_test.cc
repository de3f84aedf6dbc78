// The adapter's hand-off of whole pages to its editing threads: every page
// comes back on the owner thread (Squid's main thread in the adapter)
// filtered exactly as on that thread, a page whose transaction Squid aborted
// while it was queued or being edited is dropped without its callback, and
// stopping the pool (a reconfiguration) finishes the queued pages first. Run
// under ThreadSanitizer by `make test-tsan`.

#include "filter_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ecap/ecap_test_support.h"
#include "page_assembly.h"
#include "rules/rules_holder.h"

namespace cvie::testing {
namespace {

using ecap::FilterJob;
using ecap::FilterPool;
using ecap::PageAssembly;

const char kUrl[] = "http://news.example/today.html";

// Long enough that a worker is often still editing it when it is cancelled.
std::string Page() {
  std::string page = "<html><head><title>News</title></head><body>\n";
  for (int i = 0; i < 3000; ++i) {
    page += "<p>Paragraph " + std::to_string(i) + "</p><img src=\"http://cdn.example/" +
            (i % 2 ? "ads" : "photos") + "/" + std::to_string(i) + ".gif\">\n";
  }
  return page + "</body></html>\n";
}

class FilterPoolThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InstallRules("/ads/\n"));
    rules_ = LoadInstalledRules();
    ASSERT_TRUE(rules_);
    page_ = Page();
    PageAssembly assembly(kUrl, "", 8 << 20, rules_);
    AssemblyRun run = DriveAssembly(&assembly, page_, 1 << 16);
    ASSERT_EQ(run.state, PageAssembly::State::kFiltered);
    ASSERT_NE(run.sent, page_);
    expected_ = run.sent;
  }

  // What a transaction hands over: the whole page collected.
  std::shared_ptr<FilterJob> MakeJob(std::function<void()> on_done) {
    auto assembly = std::make_unique<PageAssembly>(kUrl, "", 8 << 20, rules_);
    assembly->Add(page_.data(), page_.size());
    return std::make_shared<FilterJob>(std::move(assembly), true, std::move(on_done));
  }

  // Takes finished jobs back until none is pending; false after 20 s.
  static bool DeliverAll(FilterPool* pool) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (pool->pending() > 0) {
      if (std::chrono::steady_clock::now() > end) return false;
      if (pool->DeliverFinished() == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  std::shared_ptr<RulesHolder> rules_;
  std::string page_;
  std::string expected_;
};

// One transaction as the adapter keeps it: its job while a worker edits it,
// and what it sent when the job came back.
struct Transaction {
  std::shared_ptr<FilterJob> job;
  std::weak_ptr<FilterJob> watch;  // to see that a dropped job is freed
  enum class Abort { kNone, kAtOnce, kWhileEdited } abort = Abort::kNone;
  int callbacks = 0;
  std::thread::id called_on;
  PageAssembly::State state = PageAssembly::State::kCollecting;
  std::string sent;
};

TEST_F(FilterPoolThreads, PagesComeBackOnTheOwnerThreadAndAbortedOnesAreDropped) {
  FilterPool pool;
  pool.Start(3);
  const std::thread::id owner = std::this_thread::get_id();
  constexpr int kPages = 48;
  std::vector<Transaction> xactions(kPages);
  for (int i = 0; i < kPages; ++i) {
    Transaction& x = xactions[i];
    x.abort = static_cast<Transaction::Abort>(i % 3);
    x.job = MakeJob([&x] {
      ++x.callbacks;
      x.called_on = std::this_thread::get_id();
      x.state = x.job->state();
      std::unique_ptr<PageAssembly> assembly = x.job->TakeAssembly();
      if (assembly) x.sent.assign(assembly->out().data(), assembly->out().size());
      x.job.reset();
    });
    x.watch = x.job;
    ASSERT_TRUE(pool.Submit(x.job));
    if (x.abort == Transaction::Abort::kAtOnce) {
      x.job->Cancel();
      x.job.reset();
    }
    // Meanwhile the owner thread takes back what is done, and aborts the
    // earlier transactions marked for it, whose pages are queued or being
    // edited by now.
    pool.DeliverFinished();
    if (i >= 3 && xactions[i - 3].abort == Transaction::Abort::kWhileEdited &&
        xactions[i - 3].job) {
      xactions[i - 3].job->Cancel();
      xactions[i - 3].job.reset();
    }
  }
  for (int i = kPages - 3; i < kPages; ++i) {
    if (xactions[i].abort == Transaction::Abort::kWhileEdited && xactions[i].job) {
      xactions[i].job->Cancel();
      xactions[i].job.reset();
    }
  }
  ASSERT_TRUE(DeliverAll(&pool));
  pool.Stop();

  int aborted_after_edit = 0;
  for (int i = 0; i < kPages; ++i) {
    const Transaction& x = xactions[i];
    EXPECT_TRUE(x.watch.expired()) << "job " << i << " is still held";
    if (x.abort == Transaction::Abort::kNone) {
      EXPECT_EQ(x.callbacks, 1) << "job " << i;
      EXPECT_EQ(x.called_on, owner) << "job " << i;
      EXPECT_EQ(x.state, PageAssembly::State::kFiltered) << "job " << i;
      EXPECT_TRUE(x.sent == expected_) << "job " << i << " sent " << x.sent.size();
    } else if (x.abort == Transaction::Abort::kAtOnce) {
      EXPECT_EQ(x.callbacks, 0) << "job " << i;
    } else {
      // Either it came back before the abort (and was sent), or it was
      // dropped: never both, never a second time.
      EXPECT_LE(x.callbacks, 1) << "job " << i;
      if (x.callbacks == 1) {
        EXPECT_TRUE(x.sent == expected_) << "job " << i;
      } else {
        ++aborted_after_edit;
      }
    }
  }
  EXPECT_EQ(pool.pending(), 0u);
  std::printf("%d of %d pages aborted while queued or edited were dropped\n",
              aborted_after_edit, kPages / 3);
}

// A reconfiguration stops the pool: the queued pages are edited first and
// still go back to their transactions; the pool then takes no pages until it
// is started again.
TEST_F(FilterPoolThreads, StoppingFinishesQueuedPagesAndStartsAgain) {
  FilterPool pool;
  pool.Start(2);
  constexpr int kPages = 12;
  std::vector<std::shared_ptr<FilterJob>> jobs(kPages);
  std::vector<std::string> sent(kPages);
  for (int i = 0; i < kPages; ++i) {
    jobs[i] = MakeJob([&, i] {
      std::unique_ptr<PageAssembly> assembly = jobs[i]->TakeAssembly();
      sent[i] = assembly ? std::string(assembly->out().data(), assembly->out().size())
                         : "(none)";
    });
    ASSERT_TRUE(pool.Submit(jobs[i]));
  }
  pool.Stop();
  EXPECT_FALSE(pool.running());
  EXPECT_EQ(pool.pending(), static_cast<size_t>(kPages));
  EXPECT_EQ(pool.DeliverFinished(), static_cast<size_t>(kPages));
  for (int i = 0; i < kPages; ++i) EXPECT_TRUE(sent[i] == expected_) << "page " << i;

  std::shared_ptr<FilterJob> late = MakeJob([] {});
  EXPECT_FALSE(pool.Submit(late));

  pool.Start(2);
  bool back = false;
  std::shared_ptr<FilterJob> again = MakeJob([&] { back = true; });
  ASSERT_TRUE(pool.Submit(again));
  ASSERT_TRUE(DeliverAll(&pool));
  EXPECT_TRUE(back);
  EXPECT_EQ(again->state(), PageAssembly::State::kFiltered);
}

// A job cancelled before a worker reached it is not edited at all.
TEST_F(FilterPoolThreads, CancelledJobIsNotEdited) {
  bool called = false;
  std::shared_ptr<FilterJob> job = MakeJob([&] { called = true; });
  job->Cancel();
  job->Run();
  job->Deliver();
  EXPECT_FALSE(called);
  EXPECT_EQ(job->state(), PageAssembly::State::kCollecting);
}

}  // namespace
}  // namespace cvie::testing
