// Loading rules from a rule file, the process-wide rules, and installing a
// downloaded rule file.

#include "rules/rule_loading.h"

#include <fstream>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rulefile/rulefile_test_util.h"

namespace cvie {
namespace {

using ::cvie::testing::BuildRuleFile;
using ::cvie::testing::LogWatch;
using ::cvie::testing::ReadFile;
using ::cvie::testing::ScratchDir;
using ::cvie::testing::Wide;
using ::cvie::testing::WriteFile;
namespace fs = std::filesystem;

const char kRules[] = "! test rules\n/ads/banner$image\n|http://ad.\n/flash.swf|\n";

class RuleLoadingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cvie::testing::StartLogging();
    dir_ = ScratchDir("loading");
  }

  fs::path Write(const std::string& name, const std::string& contents) {
    fs::path path = dir_ / name;
    WriteFile(path, contents);
    return path;
  }

  fs::path dir_;
};

bool BlocksImage(RulesHolder* holder, const char* url) {
  return holder->CheckElement(kImageElement, url, 0);
}

struct CheckCase {
  const char* name;
  bool exists;
  std::string contents;
  int result;
  int header_problem_lines;
};

TEST_F(RuleLoadingTest, CheckRuleFileAcceptsOnlyGoodFiles) {
  std::string good = BuildRuleFile(kRules);
  std::string changed = good;
  changed[40] ^= 0x20;
  const CheckCase kCases[] = {
      {"good", true, good, 0, 0},
      {"changed body byte", true, changed, -1, 1},
      {"another key", true, BuildRuleFile(kRules, {9, 8, 7, 6}), -1, 1},
      {"shorter than a header", true, good.substr(0, 31), -1, 1},
      {"empty file", true, "", -1, 1},
  };
  for (const CheckCase& c : kCases) {
    fs::path file = Write("check.rle", c.contents);
    LogWatch log;
    EXPECT_EQ(CheckRuleFile(Wide(file)), c.result) << c.name;
    EXPECT_EQ(log.Count("Scanning rule for magic and checksum"), 1) << c.name;
    EXPECT_EQ(log.Count("Header problem, rule file no good."), c.header_problem_lines)
        << c.name;
  }
}

TEST_F(RuleLoadingTest, MissingRuleFileFailsSilently) {
  LogWatch log;
  EXPECT_EQ(CheckRuleFile(Wide(dir_ / "missing.rle")), -1);
  EXPECT_EQ(log.Since(), "");
}

TEST_F(RuleLoadingTest, LoadsEveryRuleOfAGoodFile) {
  fs::path file = Write("rules.rle", BuildRuleFile(std::string(kRules) + "/ads/ad(\n"));
  LogWatch log;
  std::unique_ptr<RulesHolder> holder = LoadRuleFile(Wide(file));
  ASSERT_NE(holder, nullptr);
  EXPECT_TRUE(holder->loaded());
  EXPECT_EQ(holder->RuleCount(), 4u);
  EXPECT_EQ(holder->BadRuleCount(), 1u);
  EXPECT_TRUE(BlocksImage(holder.get(), "http://x/ads/banner.gif"));
  EXPECT_TRUE(BlocksImage(holder.get(), "http://ad.example/a.gif"));
  EXPECT_FALSE(BlocksImage(holder.get(), "http://x/news/photo.gif"));
  EXPECT_EQ(log.Count("rules are good; let's load them."), 1);
}

TEST_F(RuleLoadingTest, LongLineBetweenTwoRulesLeavesBothRules) {
  std::string plain =
      "/ads/first$image\n/" + std::string(4999, 'x') + "\n/ads/second$image\n";
  fs::path file = Write("long.rle", BuildRuleFile(plain));
  std::unique_ptr<RulesHolder> holder = LoadRuleFile(Wide(file));
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(holder->RuleCount(), 2u);
  EXPECT_TRUE(BlocksImage(holder.get(), "http://x/ads/first.gif"));
  EXPECT_TRUE(BlocksImage(holder.get(), "http://x/ads/second.gif"));
}

struct StopCase {
  const char* directive;
  size_t rules;
};

TEST_F(RuleLoadingTest, StopDirectiveEndsLoadingForThisVersion) {
  const StopCase kCases[] = {
      {"!CV STOP 2.2", 1}, {"!CV STOP 3.0", 1}, {"!CV STOP 2.1", 2}, {"!CV hello", 2}};
  for (const StopCase& c : kCases) {
    std::string plain = std::string("/ads/before\n") + c.directive + "\n/ads/after\n";
    fs::path file = Write("stop.rle", BuildRuleFile(plain));
    std::unique_ptr<RulesHolder> holder = LoadRuleFile(Wide(file));
    ASSERT_NE(holder, nullptr) << c.directive;
    EXPECT_EQ(holder->RuleCount(), c.rules) << c.directive;
    EXPECT_TRUE(holder->loaded()) << c.directive;
  }
}

TEST_F(RuleLoadingTest, LoadingABadFileGivesNothing) {
  std::string bad = BuildRuleFile(kRules);
  bad[bad.size() - 1] ^= 1;
  EXPECT_EQ(LoadRuleFile(Wide(Write("bad.rle", bad))), nullptr);
  EXPECT_EQ(LoadRuleFile(Wide(dir_ / "missing.rle")), nullptr);
}

TEST_F(RuleLoadingTest, SlotPublishesOnceAFileIsThere) {
  RulesSlot slot;
  fs::path file = dir_ / "cvie.rle";
  EXPECT_EQ(slot.Prepare(Wide(file)), 0);
  EXPECT_EQ(slot.Get(), nullptr) << "no rule file yet";

  WriteFile(file, BuildRuleFile(kRules));
  LogWatch log;
  EXPECT_EQ(slot.Prepare(Wide(file)), 0);
  RulesHolder* rules = slot.Get();
  ASSERT_NE(rules, nullptr);
  EXPECT_TRUE(rules->loaded());
  EXPECT_EQ(log.Count("3 good rules loaded."), 1);

  // Later calls return at once: nothing is logged, the rules stay.
  LogWatch second;
  WriteFile(file, BuildRuleFile("/other/rules\n"));
  EXPECT_EQ(slot.Prepare(Wide(file)), 0);
  EXPECT_EQ(slot.Get(), rules);
  EXPECT_EQ(second.Since(), "");
  EXPECT_TRUE(BlocksImage(rules, "http://x/ads/banner.gif"));
}

TEST_F(RuleLoadingTest, ConcurrentPrepareBuildsOneHolder) {
  // Enough rules that loading takes a while, so the threads really overlap.
  std::string plain;
  for (int i = 0; i < 3000; ++i) plain += "/ads/banner" + std::to_string(i) + "$image\n";
  fs::path file = Write("cvie.rle", BuildRuleFile(plain));
  for (int round = 0; round < 5; ++round) {
    RulesSlot slot;
    LogWatch log;
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<RulesHolder*> seen(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        slot.Prepare(Wide(file));
        seen[i] = slot.Get();
        // Readers use the holder at once, while others may still be inside
        // Prepare.
        if (seen[i]) seen[i]->CheckElement(kImageElement, "http://x/ads/banner7.gif", 0);
      });
    }
    for (std::thread& t : threads) t.join();
    std::set<RulesHolder*> distinct(seen.begin(), seen.end());
    EXPECT_EQ(distinct.size(), 1u) << "round " << round;
    EXPECT_NE(slot.Get(), nullptr) << "round " << round;
    EXPECT_EQ(*distinct.begin(), slot.Get()) << "round " << round;
    EXPECT_EQ(log.Count("rules are good; let's load them."), 1) << "round " << round;
    EXPECT_EQ(log.Count("3000 good rules loaded."), 1) << "round " << round;
  }
}

TEST_F(RuleLoadingTest, PrepareRulesLoadsTheInstalledRuleFileOnce) {
  platform::CreateDataFolders();
  const std::wstring& installed = platform::RuleFilePath();
  EXPECT_EQ(PrepareRules(), 0);
  EXPECT_EQ(ProcessRules(), nullptr) << "no rule file installed yet";

  ASSERT_EQ(InstallRuleFileContents(BuildRuleFile(kRules), installed), 0);
  EXPECT_EQ(PrepareRules(nullptr), 0);
  RulesHolder* rules = ProcessRules();
  ASSERT_NE(rules, nullptr);
  EXPECT_TRUE(BlocksImage(rules, "http://x/ads/banner.gif"));

  fs::path other = Write("other.rle", BuildRuleFile("/other/\n"));
  std::wstring other_path = Wide(other);
  EXPECT_EQ(PrepareRules(other_path.c_str()), 0);
  EXPECT_EQ(ProcessRules(), rules);
}

struct InstallCase {
  const char* name;
  bool installed_exists;
  bool downloaded_exists;
  std::string downloaded;
  int result;
  int corrupted_lines;
};

TEST_F(RuleLoadingTest, InstallReplacesOnlyWithAGoodFile) {
  const std::string old_file =
      BuildRuleFile("/old/rules\n", RuleFileKey(), "!CVR", '1', '0');
  const std::string new_file = BuildRuleFile(kRules, RuleFileKey(), "!CVR", '1', '4');
  std::string changed = new_file;
  changed[new_file.size() - 3] ^= 0x40;
  const InstallCase kCases[] = {
      {"good over old", true, true, new_file, 0, 0},
      {"good, nothing installed", false, true, new_file, 0, 0},
      {"changed byte", true, true, changed, -1, 1},
      {"another key", true, true, BuildRuleFile(kRules, {5, 5, 5, 5}), -1, 1},
      {"not a rule file", true, true, "hello", -1, 1},
      {"nothing downloaded", true, false, "", -1, 1},
  };
  for (const InstallCase& c : kCases) {
    fs::path installed = dir_ / "cvie.rle";
    fs::path downloaded = dir_ / "cvie.rle.new";
    fs::remove(installed);
    fs::remove(downloaded);
    if (c.installed_exists) WriteFile(installed, old_file);
    if (c.downloaded_exists) WriteFile(downloaded, c.downloaded);

    LogWatch log;
    EXPECT_EQ(InstallDownloadedRuleFile(Wide(installed), Wide(downloaded)), c.result)
        << c.name;
    EXPECT_EQ(log.Count("The downloaded rule file is corrupted"), c.corrupted_lines)
        << c.name;
    std::string now;
    if (c.result == 0) {
      ASSERT_TRUE(ReadFile(installed, &now)) << c.name;
      EXPECT_EQ(now, c.downloaded) << c.name;
      EXPECT_FALSE(fs::exists(downloaded)) << c.name << ": the download was moved";
      EXPECT_EQ(CheckRuleFile(Wide(installed)), 0) << c.name;
      EXPECT_EQ(RuleFileVersion(), "1.4") << c.name;
    } else {
      ASSERT_TRUE(ReadFile(installed, &now)) << c.name;
      EXPECT_EQ(now, old_file) << c.name << ": installed file unchanged";
      EXPECT_EQ(fs::exists(downloaded), c.downloaded_exists) << c.name;
    }
  }
}

TEST_F(RuleLoadingTest, FailedRenameKeepsTheDownloadAndReportsErrno) {
  fs::path downloaded = Write("cvie.rle.new", BuildRuleFile(kRules));
  fs::path installed = dir_ / "no-such-folder" / "cvie.rle";
  LogWatch log;
  EXPECT_EQ(InstallDownloadedRuleFile(Wide(installed), Wide(downloaded)), -1);
  EXPECT_EQ(log.Count("Rename failed, and errno is 2"), 1);
  EXPECT_TRUE(fs::exists(downloaded));
}

TEST_F(RuleLoadingTest, InstallingDoesNotChangeTheRulesInMemory) {
  fs::path installed = Write("cvie.rle", BuildRuleFile("/old/banner$image\n"));
  RulesSlot slot;
  slot.Prepare(Wide(installed));
  ASSERT_NE(slot.Get(), nullptr);
  ASSERT_EQ(
      InstallRuleFileContents(BuildRuleFile("/new/banner$image\n"), Wide(installed)), 0);
  EXPECT_TRUE(BlocksImage(slot.Get(), "http://x/old/banner.gif"));
  EXPECT_FALSE(BlocksImage(slot.Get(), "http://x/new/banner.gif"));
  slot.Prepare(Wide(installed));
  EXPECT_FALSE(BlocksImage(slot.Get(), "http://x/new/banner.gif"));
}

TEST_F(RuleLoadingTest, InstallingContentsCleansUpAfterABadFile) {
  fs::path installed = Write("cvie.rle", BuildRuleFile("/old/rules\n"));
  std::string before;
  ASSERT_TRUE(ReadFile(installed, &before));
  std::string bad = BuildRuleFile(kRules);
  bad[33] ^= 1;
  EXPECT_EQ(InstallRuleFileContents(bad, Wide(installed)), -1);
  std::string after;
  ASSERT_TRUE(ReadFile(installed, &after));
  EXPECT_EQ(after, before);
  EXPECT_FALSE(fs::exists(dir_ / "cvie.rle.new"));

  EXPECT_EQ(InstallRuleFileContents(bad, Wide(dir_ / "missing-folder" / "cvie.rle")), -1);
}

// The shared big rule list, enciphered and loaded through the reader, gives the
// same rules as feeding its lines to a holder directly.
TEST_F(RuleLoadingTest, BigRuleListLoadsLikeItsPlainLines) {
  fs::path shared = cvie::testing::SharedDir();
  if (shared.empty() || !fs::exists(shared / "rules" / "big_rules.txt")) {
    GTEST_SKIP() << "shared rule list absent";
  }
  fs::path text = dir_ / "big.txt";
  fs::copy_file(shared / "rules" / "big_rules.txt", text);
  std::string plain;
  ASSERT_TRUE(ReadFile(text, &plain));
  fs::path file = dir_ / "big.rle";
  ASSERT_EQ(EncipherRuleFile(text.string(), file.string(), '1', '0'), 0);
  std::unique_ptr<RulesHolder> loaded = LoadRuleFile(Wide(file));
  ASSERT_NE(loaded, nullptr);

  RulesHolder direct;
  std::ifstream lines(text, std::ios::binary);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 5 || line.size() > static_cast<size_t>(kMaxRuleLineLength))
      continue;
    if (direct.ParseRule(line) == -1) break;
  }
  ASSERT_GT(direct.RuleCount(), 1000u);
  ASSERT_EQ(loaded->RuleCount(), direct.RuleCount());
  for (size_t i = 0; i < direct.RuleCount(); ++i) {
    ASSERT_EQ(loaded->Rule(i).pattern, direct.Rule(i).pattern) << "rule " << i;
    ASSERT_EQ(loaded->Rule(i).options, direct.Rule(i).options) << "rule " << i;
  }
}

}  // namespace
}  // namespace cvie
