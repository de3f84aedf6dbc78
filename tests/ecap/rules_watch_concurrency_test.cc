// The adapter's rule watcher while pages are filtered on other threads: rule
// files installed one after the other are picked up, and every page is
// filtered wholly with one rule file or the other, never a mix, never with
// rules freed under it. Run under ThreadSanitizer by `make test-tsan`.

#include "rules_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "anyhtml/easy_buffer.h"
#include "ecap/ecap_test_support.h"
#include "ie/page_filter.h"
#include "page_assembly.h"
#include "platform/text.h"
#include "rules/rules_holder.h"

namespace cvie::testing {
namespace {

using ecap::PageAssembly;

const char kUrl[] = "http://news.example/today.html";
const char kRulesA[] = "/ads/\n";
const char kRulesB[] = "/photos/\n";
const char kPage[] =
    "<html><body><p>story</p>\n"
    "<img src=\"http://cdn.example/ads/banner.gif\" width=\"468\" height=\"60\">\n"
    "<img src=\"http://cdn.example/photos/cat.jpg\" width=\"300\" height=\"200\">\n"
    "</body></html>\n";

std::string FilteredWith(const std::string& rules_text) {
  if (!InstallRules(rules_text)) return "(not installed)";
  std::shared_ptr<RulesHolder> rules = LoadInstalledRules();
  if (!rules) return "(not loaded)";
  PageAssembly assembly(kUrl, "", 1 << 20, rules);
  AssemblyRun run = DriveAssembly(&assembly, kPage, 64);
  return run.state == PageAssembly::State::kFiltered ? run.sent : "(not filtered)";
}

TEST(RulesWatchConcurrency, RuleFilesInstalledWhilePagesAreFilteredOnOtherThreads) {
  const std::string with_b = FilteredWith(kRulesB);
  const std::string with_a = FilteredWith(kRulesA);
  ASSERT_NE(with_a, with_b);
  ASSERT_NE(with_a, kPage);
  ASSERT_NE(with_b, kPage);

  ecap::RulesWatch watch(std::chrono::milliseconds(5));
  watch.Start();
  ASSERT_TRUE(watch.Current());
  const int loads_at_start = watch.loads();

  std::atomic<bool> done{false};
  std::atomic<int> pages{0}, seen_a{0}, seen_b{0}, wrong{0};
  std::vector<std::thread> filters;
  for (int t = 0; t < 3; ++t) {
    filters.emplace_back([&] {
      while (!done.load()) {
        PageAssembly assembly(kUrl, "", 1 << 20, watch.Current());
        const std::string sent = DriveAssembly(&assembly, kPage, 40).sent;
        if (sent == with_a) {
          ++seen_a;
        } else if (sent == with_b) {
          ++seen_b;
        } else {
          ++wrong;
        }
        ++pages;
      }
    });
  }
  // Installs B and A in turn; each install waits until the watcher loaded it.
  int installs = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < end && installs < 12) {
    const int before = watch.loads();
    ASSERT_TRUE(InstallRules(installs % 2 == 0 ? kRulesB : kRulesA));
    ++installs;
    const auto wait_end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (watch.loads() == before && std::chrono::steady_clock::now() < wait_end)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_GT(watch.loads(), before) << "install " << installs << " was not picked up";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  done = true;
  for (std::thread& t : filters) t.join();
  watch.Stop();

  EXPECT_EQ(watch.loads() - loads_at_start, installs);
  EXPECT_EQ(wrong.load(), 0) << "of " << pages.load() << " pages";
  EXPECT_GT(seen_a.load(), 0);
  EXPECT_GT(seen_b.load(), 0);
}

// Stopping and starting again, as Squid does at every reconfiguration, keeps
// the holder in force instead of loading another copy of the same file.
TEST(RulesWatchConcurrency, RestartWithTheSameRuleFileKeepsItsHolder) {
  ASSERT_TRUE(InstallRules(kRulesA));
  ecap::RulesWatch watch(std::chrono::milliseconds(5));
  watch.Start();
  std::shared_ptr<RulesHolder> first = watch.Current();
  ASSERT_TRUE(first);
  for (int i = 0; i < 20; ++i) {
    watch.Stop();
    watch.Start();
  }
  EXPECT_EQ(watch.Current(), first);
  EXPECT_EQ(watch.loads(), 1);
}

}  // namespace
}  // namespace cvie::testing
