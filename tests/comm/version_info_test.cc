// The update decisions: when the version file is fetched again, what a
// version file means for the program and the rule file, and what the user sees.

#include "comm/version_info.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <filesystem>

#include "comm/comm_fixture.h"
#include "platform/sync.h"

namespace cvie {
namespace {

using cvie::testing::CommTest;
using cvie::testing::WriteFile;
namespace fs = std::filesystem;

struct Box {
  std::wstring text;
  std::wstring caption;
  platform::UINT type;
};

struct Item {
  std::string url;
  int timeout;
};

struct DecisionCase {
  const char* name;
  std::string version_file;
  char installed_major, installed_minor;
  bool interactive;
  std::vector<int> answers;
  std::vector<Box> boxes;
  std::vector<std::string> opened;
  std::vector<Item> items;
  std::vector<std::string> decisions;
};

class VersionInfoTest : public CommTest {
 protected:
  // Forgets earlier rule announcements of this process (they persist from one
  // check to the next), without telling the listener.
  void ForgetAnnouncements() {
    UpdateListener* saved = SetUpdateListener(nullptr);
    WriteFile(platform::ToNarrow(platform::VersionFilePath()),
              "NewestenRuleVersionNum=0\nNewestenRuleVersionUrl=\n");
    std::vector<DownloadItem> items;
    VersionInfo::Instance().ProcessVersionFileAt(platform::VersionFilePath(), false,
                                                 &items);
    SetUpdateListener(saved);
  }
};

const char kLatestDll[] = "You already have the latest version of DLL: V2.2";

TEST_F(VersionInfoTest, DecidesFromTheVersionFile) {
  const std::string long_url = "http://127.0.0.1/" + std::string(600, 'm');
  const std::vector<DecisionCase> kCases = {
      {"minimum above the program",
       "MinimumWin32IEVersionNum=2.3\nMinimumWin32IEVersionUrl=http://127.0.0.1/min\n"
       "NewestenRuleVersionNum=9.9\n",
       '1',
       '3',
       false,
       {},
       {{kNeedsUpgradeText, L"Message", platform::MB_SYSTEMMODAL}},
       {"http://127.0.0.1/min"},
       {},
       {"Your Corvane Filter needs upgrade, please click OK to continue."}},
      {"newer program, answered yes",
       "NewestWin32IEVersionNum=2.3\nNewestWin32IEVersionUrl=http://127.0.0.1/new\n"
       "NewestenRuleVersionNum=9.9\n",
       '1',
       '3',
       false,
       {platform::IDYES},
       {{kNewVersionText, L"Message", platform::MB_YESNO}},
       {"http://127.0.0.1/new"},
       {},
       {"Good news, there's a new and improved version available. Would you like to "
        "install it?"}},
      {"newer program, answered no",
       "NewestWin32IEVersionNum=2.3\nNewestWin32IEVersionUrl=http://127.0.0.1/new\n",
       '1',
       '3',
       true,
       {platform::IDNO},
       {{kNewVersionText, L"Message", platform::MB_YESNO}},
       {},
       {},
       {"Good news, there's a new and improved version available. Would you like to "
        "install it?"}},
      {"same program, newer rules",
       "NewestWin32IEVersionNum 2.2\nNewestenRuleVersionNum=1.4\n"
       "NewestenRuleVersionUrl=http://127.0.0.1/r14.rle\n",
       '1',
       '3',
       false,
       {},
       {},
       {},
       {{"http://127.0.0.1/r14.rle", 30}},
       {kLatestDll, "To upgrade to rule version 1.4"}},
      {"rules current, interactive",
       "NewestENRuleVersionNum=1.4\nNewestenRuleVersionUrl=http://127.0.0.1/r14.rle\n",
       '1',
       '4',
       true,
       {},
       {{L"You already have the latest version", L"Check Update", platform::MB_OK}},
       {},
       {},
       {kLatestDll, "You also have the latest rule file: V1.4"}},
      {"rules current, silent",
       "NewestenRuleVersionNum=1.4\n",
       '1',
       '4',
       false,
       {},
       {},
       {},
       {},
       {kLatestDll, "You also have the latest rule file: V1.4"}},
      {"newer rules without an address",
       "NewestenRuleVersionNum=1.5\n",
       '1',
       '3',
       false,
       {},
       {},
       {},
       {{"", 30}},
       {kLatestDll, "To upgrade to rule version 1.5"}},
      {"rule line without Newest",
       "RuleVersionNum=1.4\nRuleVersionUrl=http://127.0.0.1/x\n",
       '1',
       '3',
       false,
       {},
       {},
       {},
       {},
       {kLatestDll, "You also have the latest rule file: V1.3"}},
      {"rule line of another language",
       "NewestFRRuleVersionNum=1.4\n",
       '1',
       '3',
       false,
       {},
       {},
       {},
       {},
       {kLatestDll, "You also have the latest rule file: V1.3"}},
      {"minimum after blank and equals sign",
       "MinimumWin32IEVersionNum = 2.0\nMinimumWin32IEVersionUrl=http://127.0.0.1/min\n"
       "NewestenRuleVersionNum=1.4\n",
       '1',
       '3',
       false,
       {},
       {},
       {},
       {{"", 30}},
       {kLatestDll, "To upgrade to rule version 1.4"}},
      {"no keys at all",
       "hello\nworld\n",
       '1',
       '3',
       true,
       {},
       {{L"You already have the latest version", L"Check Update", platform::MB_OK}},
       {},
       {},
       {kLatestDll, "You also have the latest rule file: V1.3"}},
      {"upgrade address too long",
       "MinimumWin32IEVersionNum=3\nMinimumWin32IEVersionUrl=" + long_url + "\n",
       '1',
       '3',
       false,
       {},
       {{kNeedsUpgradeText, L"Message", platform::MB_SYSTEMMODAL}},
       {},
       {},
       {"Your Corvane Filter needs upgrade, please click OK to continue."}},
  };
  for (const DecisionCase& c : kCases) {
    SCOPED_TRACE(c.name);
    platform::ScriptedUi ui;
    platform::Ui* saved_ui = platform::SetUi(&ui);
    cvie::testing::EventRecorder events;
    ForgetAnnouncements();
    InstallRuleFile(
        MakeRuleFile("! comment line\n", c.installed_major, c.installed_minor));
    SetUpdateListener(&events);
    for (int answer : c.answers) ui.QueueMessageBoxAnswer(answer);
    size_t opened_before = Opened().size();
    WriteFile(platform::ToNarrow(platform::VersionFilePath()), c.version_file);

    std::vector<DownloadItem> items;
    EXPECT_EQ(VersionInfo::Instance().ProcessVersionFileAt(platform::VersionFilePath(),
                                                           c.interactive, &items),
              0);

    SetUpdateListener(&events_);
    platform::SetUi(saved_ui);
    std::vector<platform::ScriptedUi::Call> boxes = ui.MessageBoxes();
    ASSERT_EQ(boxes.size(), c.boxes.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
      EXPECT_EQ(boxes[i].text, c.boxes[i].text);
      EXPECT_EQ(boxes[i].caption, c.boxes[i].caption);
      EXPECT_EQ(boxes[i].type, c.boxes[i].type);
    }
    std::vector<std::string> opened = Opened();
    opened.erase(opened.begin(), opened.begin() + static_cast<long>(opened_before));
    EXPECT_EQ(opened, c.opened);
    ASSERT_EQ(items.size(), c.items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      // An empty address stands for the server's usual rule file.
      EXPECT_EQ(platform::ToNarrow(items[i].url),
                c.items[i].url.empty() ? platform::ToNarrow(DefaultRuleFileUrl())
                                       : c.items[i].url);
      EXPECT_EQ(items[i].path, platform::RuleFilePath());
      EXPECT_EQ(items[i].timeout_seconds, c.items[i].timeout);
    }
    std::vector<std::string> decisions;
    for (const std::string& e : events.events()) {
      if (e.rfind("decision ", 0) == 0) decisions.push_back(e.substr(9));
    }
    EXPECT_EQ(decisions, c.decisions);
  }
  // Every decision is also a line of the log.
  std::string log = NewLog();
  EXPECT_NE(log.find("L30 To upgrade to rule version 1.4\n"), std::string::npos);
  EXPECT_NE(log.find("L30 You also have the latest rule file: V1.3\n"),
            std::string::npos);
}

TEST_F(VersionInfoTest, AnnouncementsPersistFromOneCheckToTheNext) {
  ForgetAnnouncements();
  InstallRuleFile(MakeRuleFile("! c\n", '1', '3'));
  WriteFile(
      platform::ToNarrow(platform::VersionFilePath()),
      "NewestenRuleVersionNum=1.6\nNewestenRuleVersionUrl=http://127.0.0.1/r16.rle\n");
  std::vector<DownloadItem> items;
  VersionInfo::Instance().ProcessVersionFile(false, &items);
  EXPECT_EQ(VersionInfo::Instance().AnnouncedRuleVersion("EN"), 1.6);
  EXPECT_EQ(VersionInfo::Instance().AnnouncedRuleUrl("en"), "http://127.0.0.1/r16.rle");
  EXPECT_EQ(VersionInfo::Instance().AnnouncedRuleVersion("fr"), 0.0);

  // A later file without rule lines still queues the announced rule file.
  WriteFile(platform::ToNarrow(platform::VersionFilePath()),
            "NewestWin32IEVersionNum=2.2\n");
  items.clear();
  VersionInfo::Instance().ProcessVersionFile(false, &items);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].url, L"http://127.0.0.1/r16.rle");
}

TEST_F(VersionInfoTest, AMissingOrBrokenRuleFileIsReplacedByAnyAnnouncedVersion) {
  std::string good = MakeRuleFile("! c\n/banner/\n", '1', '5');
  std::string broken = good;
  broken[broken.size() - 2] ^= 0x40;  // its header still says 1.5
  struct Case {
    const char* name;
    const std::string* installed;  // null: no rule file
    const char* announced;
    size_t items;
  };
  const Case kCases[] = {
      {"no rule file", nullptr, "0.1", 1},
      {"broken file of the announced version", &broken, "1.5", 1},
      {"good file of the announced version", &good, "1.5", 0},
  };
  for (const auto& c : kCases) {
    ForgetAnnouncements();
    fs::remove(platform::ToNarrow(platform::RuleFilePath()));
    if (c.installed)
      WriteFile(platform::ToNarrow(platform::RuleFilePath()), *c.installed);
    WriteFile(platform::ToNarrow(platform::VersionFilePath()),
              std::string("NewestenRuleVersionNum=") + c.announced + "\n");
    std::vector<DownloadItem> items;
    VersionInfo::Instance().ProcessVersionFile(false, &items);
    EXPECT_EQ(items.size(), c.items) << c.name;
  }
}

TEST_F(VersionInfoTest, ARefusedDownloadDoesNotPassForTheInstalledVersion) {
  ForgetAnnouncements();
  InstallRuleFile(MakeRuleFile("! c\n", '1', '3'));
  // Checking a refused download of version 1.5 keeps its version text...
  std::string refused = MakeRuleFile("! c\n/ads/\n", '1', '5');
  refused[refused.size() - 1] ^= 0x01;
  WriteFile(platform::ToNarrow(platform::DownloadPath(platform::RuleFilePath())),
            refused);
  EXPECT_EQ(InstallDownloadedRuleFile(platform::RuleFilePath(),
                                      platform::DownloadPath(platform::RuleFilePath())),
            -1);
  // ...but the installed file is still 1.3, so 1.5 is still wanted.
  WriteFile(platform::ToNarrow(platform::VersionFilePath()),
            "NewestenRuleVersionNum=1.5\n");
  std::vector<DownloadItem> items;
  VersionInfo::Instance().ProcessVersionFile(false, &items);
  EXPECT_EQ(items.size(), 1u);
}

TEST_F(VersionInfoTest, AMissingVersionFileDecidesNothing) {
  std::vector<DownloadItem> items;
  EXPECT_EQ(VersionInfo::Instance().ProcessVersionFile(true, &items), -1);
  EXPECT_TRUE(items.empty());
  EXPECT_TRUE(ui_.calls().empty());
  EXPECT_EQ(events_.Count("decision"), 0);
  EXPECT_NE(NewLog().find("L30 can't open sw_info file\n"), std::string::npos);
}

TEST_F(VersionInfoTest, OverlongLinesAreSkippedAndLogged) {
  ForgetAnnouncements();
  InstallRuleFile(MakeRuleFile("! c\n", '1', '3'));
  WriteFile(platform::ToNarrow(platform::VersionFilePath()),
            "MinimumWin32IEVersionNum=" + std::string(2000, ' ') + "9\n");
  std::vector<DownloadItem> items;
  EXPECT_EQ(VersionInfo::Instance().ProcessVersionFile(false, &items), 0);
  EXPECT_TRUE(ui_.calls().empty());  // the minimum of 9 was never read
  EXPECT_NE(NewLog().find("Skipped 1 version file lines longer than 1023 characters"),
            std::string::npos);
}

TEST_F(VersionInfoTest, AHugeAnnouncedVersionIsDecidedAndLoggedWhole) {
  // 125 digits: its decision line is longer than any fixed line buffer.
  ForgetAnnouncements();
  InstallRuleFile(MakeRuleFile("! c\n", '1', '3'));
  const std::string digits(125, '2');
  WriteFile(platform::ToNarrow(platform::VersionFilePath()),
            "NewestenRuleVersionNum=" + digits + "\n");
  cvie::testing::EventRecorder events;
  SetUpdateListener(&events);
  std::vector<DownloadItem> items;
  EXPECT_EQ(VersionInfo::Instance().ProcessVersionFile(false, &items), 0);
  SetUpdateListener(&events_);
  EXPECT_EQ(items.size(), 1u);
  std::string upgrade;
  for (const std::string& e : events.events()) {
    if (e.rfind("decision To upgrade", 0) == 0) upgrade = e.substr(9);
  }
  // A double keeps about 16 significant digits; the rest of its expansion
  // differs, but every one of the 125 integer digits and the ".0" are there.
  const std::string prefix = "To upgrade to rule version " + digits.substr(0, 15);
  EXPECT_EQ(upgrade.compare(0, prefix.size(), prefix), 0) << upgrade;
  EXPECT_EQ(upgrade.size(), 27u + 125u + 2u) << upgrade;
  EXPECT_EQ(upgrade.substr(upgrade.size() - 2), ".0");
}

TEST_F(VersionInfoTest, ProgramVersionIsTwoPointTwo) {
  EXPECT_STREQ(VersionInfo::Instance().GetProgramVersion(), "2.2");
}

TEST_F(VersionInfoTest, OpensOnlyRealAddresses) {
  EXPECT_EQ(VersionInfo::Instance().OpenInNewBrowser(""), 0);
  EXPECT_EQ(VersionInfo::Instance().OpenInNewBrowser("http://127.0.0.1/install"), 0);
  EXPECT_EQ(Opened(), (std::vector<std::string>{"http://127.0.0.1/install"}));
}

struct AgeCase {
  const char* name;
  int64_t age_seconds;  // negative: in the future
  size_t size;
  bool needed;
  std::vector<const char*> lines;
};

TEST_F(VersionInfoTest, StaleShortOrMissingVersionFilesAreFetchedAgain) {
  const int64_t kDay = 86400;
  const AgeCase kCases[] = {
      {"eight days old",
       8 * kDay,
       40,
       true,
       {"It's been a while, updating version file"}},
      {"six days old", 6 * kDay, 40, false, {}},
      {"dated in the future", -30 * kDay, 40, false, {}},
      {"nine bytes", 60, 9, true, {"Version file is corrupted"}},
      {"ten bytes", 60, 10, false, {}},
      {"old and short",
       8 * kDay,
       3,
       true,
       {"It's been a while, updating version file", "Version file is corrupted"}},
  };
  int64_t now = static_cast<int64_t>(time(nullptr));
  for (const auto& c : kCases) {
    uint64_t log_before = NewLog().size();
    std::string path = platform::ToNarrow(platform::VersionFilePath());
    WriteFile(path, std::string(c.size, 'x'));
    auto when =
        std::chrono::system_clock::from_time_t(static_cast<time_t>(now - c.age_seconds));
    fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
    EXPECT_EQ(
        VersionInfo::Instance().VersionFileNeedsUpdate(platform::VersionFilePath(), now),
        c.needed)
        << c.name;
    std::string logged = NewLog().substr(log_before);
    for (const char* line : c.lines) {
      EXPECT_NE(logged.find(std::string("L30 ") + line + "\n"), std::string::npos)
          << c.name;
    }
    if (c.lines.empty()) {
      EXPECT_EQ(logged, "") << c.name;
    }
  }
  fs::remove(platform::ToNarrow(platform::VersionFilePath()));
  EXPECT_TRUE(
      VersionInfo::Instance().VersionFileNeedsUpdate(platform::VersionFilePath(), now));
  EXPECT_NE(NewLog().find("L30 Problem reading version file\n"), std::string::npos);
}

TEST_F(VersionInfoTest, CheckVersionFileStartsASilentCheckOnlyWhenNeeded) {
  // Fresh and long enough: no worker.
  WriteFile(platform::ToNarrow(platform::VersionFilePath()),
            "NewestWin32IEVersionNum=2.2\n");
  EXPECT_EQ(VersionInfo::Instance().CheckVersionFile(), 0);
  ASSERT_TRUE(CommMgr()->WaitForWorkers(20000));
  EXPECT_EQ(events_.Count("started"), 0);

  // Missing: a silent worker runs (and finds no server).
  fs::remove(platform::ToNarrow(platform::VersionFilePath()));
  EXPECT_EQ(VersionInfo::Instance().CheckVersionFile(), 0);
  ASSERT_TRUE(CommMgr()->WaitForWorkers(20000));
  EXPECT_EQ(events_.Count("started silent"), 1);
  EXPECT_EQ(events_.Count("ended"), 1);
  EXPECT_TRUE(ui_.MessageBoxes().empty());
}

TEST_F(VersionInfoTest, InteractiveCheckWhileBusyOnlySaysSo) {
  auto held = platform::ExclusiveFileLock::Acquire(platform::LockFilePath());
  ASSERT_TRUE(held);
  EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(true), 0);
  ASSERT_TRUE(CommMgr()->WaitForWorkers(20000));
  std::vector<platform::ScriptedUi::Call> boxes = ui_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"Network busy, please try again later.");
  EXPECT_EQ(boxes[0].caption, L"Message");
  EXPECT_EQ(boxes[0].type, platform::MB_OK);
  EXPECT_EQ(events_.Count("started"), 0);
  EXPECT_EQ(events_.Count("busy"), 0);  // no worker was even started
}

}  // namespace
}  // namespace cvie
