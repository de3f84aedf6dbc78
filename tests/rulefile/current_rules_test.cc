// The rules in force while a process runs: a rule file installed meanwhile
// is loaded and swapped in, a bad one is refused, and pages keep the holder
// they started with.

#include "rules/current_rules.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "rulefile/rulefile_test_util.h"
#include "rules/rule_loading.h"

namespace cvie {
namespace {

using ::cvie::testing::BuildRuleFile;
using ::cvie::testing::ScratchDir;
using ::cvie::testing::Wide;
namespace fs = std::filesystem;

bool Blocks(RulesHolder* holder, const std::string& url) {
  return holder->CheckElement(kImageElement, url.c_str(), 0);
}

class CurrentRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cvie::testing::StartLogging();
    dir_ = ScratchDir("current");
    path_ = Wide(dir_ / "cvie.rle");
  }

  void Install(const std::string& plain, char minor = '0') {
    ASSERT_EQ(InstallRuleFileContents(
                  BuildRuleFile(plain, RuleFileKey(), "!CVR", '1', minor), path_),
              0);
  }

  fs::path dir_;
  std::wstring path_;
};

TEST_F(CurrentRulesTest, LoadsAnInstalledFileOnceAndKeepsTheOldHolderForItsPages) {
  CurrentRules rules;
  EXPECT_EQ(rules.Get(), nullptr);
  EXPECT_FALSE(rules.ReloadIfChanged(path_)) << "no file yet";

  Install("/old/banner$image\n", '1');
  ASSERT_TRUE(rules.ReloadIfChanged(path_));
  std::shared_ptr<RulesHolder> page = rules.Get();  // a page under way
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(rules.state().version, "1.1");
  EXPECT_FALSE(rules.ReloadIfChanged(path_)) << "unchanged file loaded again";
  EXPECT_EQ(rules.Get(), page);

  Install("/new/banner$image\n", '2');
  ASSERT_TRUE(rules.ReloadIfChanged(path_));
  std::shared_ptr<RulesHolder> later = rules.Get();
  EXPECT_NE(later, page);
  EXPECT_EQ(rules.state().version, "1.2");
  EXPECT_TRUE(Blocks(later.get(), "http://x/new/banner.gif"));
  EXPECT_FALSE(Blocks(later.get(), "http://x/old/banner.gif"));
  // The page that started before the install finishes with its rules.
  EXPECT_TRUE(Blocks(page.get(), "http://x/old/banner.gif"));
  EXPECT_FALSE(Blocks(page.get(), "http://x/new/banner.gif"));
}

TEST_F(CurrentRulesTest, AFileThatFailsItsCheckLeavesTheRulesInForce) {
  CurrentRules rules;
  Install("/old/banner$image\n");
  ASSERT_TRUE(rules.ReloadIfChanged(path_));
  std::shared_ptr<RulesHolder> before = rules.Get();

  std::string bad = BuildRuleFile("/new/banner$image\n");
  bad[40] ^= 1;  // the body no longer matches its checksum
  std::string error;
  ASSERT_TRUE(platform::WriteFileAtomically(path_, bad, &error)) << error;
  EXPECT_FALSE(rules.ReloadIfChanged(path_));
  EXPECT_EQ(rules.Get(), before);
  EXPECT_EQ(rules.state().refused, 1);
  EXPECT_FALSE(rules.ReloadIfChanged(path_)) << "the same bad file is not read again";
  EXPECT_EQ(rules.state().refused, 1);
}

TEST_F(CurrentRulesTest, AnAssumedStampSkipsTheFirstLoadUntilTheFileChanges) {
  Install("/old/banner$image\n");
  CurrentRules rules;
  rules.AssumeLoaded(platform::FileVersionStamp(path_), "1.0");
  EXPECT_EQ(rules.state().version, "1.0");
  EXPECT_EQ(rules.state().loaded_at, 0);
  EXPECT_FALSE(rules.ReloadIfChanged(path_));
  EXPECT_EQ(rules.Get(), nullptr);
  Install("/new/banner$image\n");
  EXPECT_TRUE(rules.ReloadIfChanged(path_));
  ASSERT_NE(rules.Get(), nullptr);
  EXPECT_TRUE(Blocks(rules.Get().get(), "http://x/new/banner.gif"));
}

TEST_F(CurrentRulesTest, TheWatcherPicksUpAnInstallOnItsOwnThread) {
  Install("/old/banner$image\n");
  CurrentRules rules;
  RulesWatcher watcher(&rules, path_, std::chrono::milliseconds(20));
  auto wait_for = [&rules](const char* url) {
    for (int i = 0; i < 500; ++i) {
      std::shared_ptr<RulesHolder> holder = rules.Get();
      if (holder && Blocks(holder.get(), url)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  EXPECT_TRUE(wait_for("http://x/old/banner.gif"));
  Install("/new/banner$image\n");
  EXPECT_TRUE(wait_for("http://x/new/banner.gif"));
}

// Pages on many threads take the holder in force and ask it while installs
// and reloads replace it: each holder answers by exactly one rule file.
TEST_F(CurrentRulesTest, ConcurrentPagesSeeOneWholeRuleFileWhileReloadsSwapIt) {
  Install("/even/banner$image\n");
  CurrentRules rules;
  ASSERT_TRUE(rules.ReloadIfChanged(path_));
  std::atomic<bool> stop{false};
  std::atomic<int> mixed{0};
  std::atomic<long> pages{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        std::shared_ptr<RulesHolder> holder = rules.Get();
        const bool even = Blocks(holder.get(), "http://x/even/banner.gif");
        const bool odd = Blocks(holder.get(), "http://x/odd/banner.gif");
        if (even == odd) ++mixed;
        ++pages;
      }
    });
  }
  int swaps = 0;
  for (int i = 1; i <= 8; ++i) {
    Install(i % 2 ? "/odd/banner$image\n" : "/even/banner$image\n");
    if (rules.ReloadIfChanged(path_)) ++swaps;
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(swaps, 8);
  EXPECT_EQ(mixed.load(), 0);
  EXPECT_GT(pages.load(), 0);
  EXPECT_TRUE(Blocks(rules.Get().get(), "http://x/even/banner.gif"));
}

}  // namespace
}  // namespace cvie
