// The update worker end to end, against a vendor server on a loopback port:
// version file, rule file download, verification, installation, timeouts, the
// lock between workers, and what the user is shown.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "comm/comm_fixture.h"
#include "comm/http_test_server.h"
#include "comm/version_info.h"
#include "platform/sync.h"

namespace cvie {
namespace {

using cvie::testing::CommTest;
using cvie::testing::HttpRoute;
using cvie::testing::HttpTestServer;
namespace fs = std::filesystem;

constexpr int kWait = 30000;

class UpdateWorkerTest : public CommTest {
 protected:
  void SetUp() override {
    CommTest::SetUp();
    ASSERT_TRUE(server_.Start());
    SetUpdateServerUrl(platform::ToWide(server_.base_url()));
    installed_ = MakeRuleFile("! installed rules\n/banner/\n", '1', '3');
    ASSERT_FALSE(installed_.empty());
    InstallRuleFile(installed_);
    manager_ = CommMgr();
    ASSERT_NE(manager_, nullptr);
  }

  void ServeVersionFile(const std::string& text, int delay_ms = 0) {
    HttpRoute route;
    route.body = text;
    route.delay_ms = delay_ms;
    server_.SetRoute("/downloads/cvie.ver", route);
  }

  // Announces rule version 1.5 at /files/r15.rle and serves `bytes` there.
  void AnnounceRules(const std::string& bytes) {
    ServeVersionFile(
        "NewestWin32IEVersionNum=2.2\nNewestenRuleVersionNum=1.5\n"
        "NewestenRuleVersionUrl=" +
        server_.base_url() + "/files/r15.rle\n");
    HttpRoute rules;
    rules.body = bytes;
    rules.piece_size = 1024;
    server_.SetRoute("/files/r15.rle", rules);
  }

  std::string Installed() const {
    std::string bytes;
    cvie::testing::ReadFile(platform::ToNarrow(platform::RuleFilePath()), &bytes);
    return bytes;
  }

  std::vector<std::wstring> BoxTexts() const {
    std::vector<std::wstring> texts;
    for (const auto& box : ui_.MessageBoxes()) texts.push_back(box.text);
    return texts;
  }

  HttpTestServer server_;
  CCommMgr* manager_ = nullptr;
  std::string installed_;
};

TEST_F(UpdateWorkerTest, ANewerRuleFileIsDownloadedVerifiedAndInstalled) {
  std::string newer = MakeRuleFile("! newer rules\n/banner/\n/ads/*\n", '1', '5');
  AnnounceRules(newer);

  EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(true), 0);
  ASSERT_TRUE(manager_->WaitForWorkers(kWait));

  EXPECT_EQ(Installed(), newer);
  EXPECT_FALSE(
      fs::exists(platform::ToNarrow(platform::DownloadPath(platform::RuleFilePath()))));
  EXPECT_FALSE(fs::exists(platform::ToNarrow(platform::LockFilePath())));
  EXPECT_EQ(CheckRuleFile(platform::RuleFilePath()), 0);
  EXPECT_EQ(RuleFileVersion(), "1.5");
  std::string version_file;
  cvie::testing::ReadFile(platform::ToNarrow(platform::VersionFilePath()), &version_file);
  EXPECT_NE(version_file.find("NewestenRuleVersionNum=1.5"), std::string::npos);

  std::vector<platform::ScriptedUi::Call> boxes = ui_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(
      boxes[0].text,
      L"Update has been installed, and it will take effect the next time you start IE");
  EXPECT_EQ(boxes[0].caption, L"Corvane Filter");
  EXPECT_EQ(boxes[0].type, 4096u);
  EXPECT_NE(boxes[0].thread, platform::GetCurrentThreadId());  // shown by the worker

  EXPECT_EQ(server_.requests(),
            (std::vector<std::string>{"/downloads/cvie.ver", "/files/r15.rle"}));
  const std::string base = server_.base_url();
  EXPECT_EQ(
      events_.events(),
      (std::vector<std::string>{
          "started interactive",
          "download " + base + "/downloads/cvie.ver " +
              std::to_string(version_file.size()) + " ok",
          "decision You already have the latest version of DLL: V2.2",
          "decision To upgrade to rule version 1.5",
          "download " + base + "/files/r15.rle " + std::to_string(newer.size()) + " ok",
          "install 0", "ended"}));
}

TEST_F(UpdateWorkerTest, ASilentCheckInstallsWithoutAnyMessage) {
  std::string newer = MakeRuleFile("! newer rules\n/banner/\n", '1', '5');
  AnnounceRules(newer);
  EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(false), 0);
  ASSERT_TRUE(manager_->WaitForWorkers(kWait));
  EXPECT_EQ(Installed(), newer);
  EXPECT_TRUE(ui_.calls().empty());
}

TEST_F(UpdateWorkerTest, ABadDownloadIsRefusedAndTheInstalledFileStays) {
  std::string newer = MakeRuleFile("! newer rules\n/banner/\n/ads/*\n", '1', '5');
  std::string corrupted = newer;
  corrupted[corrupted.size() - 3] ^= 0x20;
  struct Case {
    const char* name;
    std::string served;
    bool missing;
  };
  const Case kCases[] = {
      {"one body byte changed", corrupted, false},
      {"cut short", newer.substr(0, newer.size() / 2), false},
      {"not on the server", "", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    platform::ScriptedUi ui;
    platform::Ui* saved = platform::SetUi(&ui);
    AnnounceRules(c.served);
    if (c.missing) server_.SetRoute("/files/r15.rle", HttpRoute{404, "gone"});
    uint64_t log_before = NewLog().size();

    EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(true), 0);
    ASSERT_TRUE(manager_->WaitForWorkers(kWait));
    platform::SetUi(saved);

    EXPECT_EQ(Installed(), installed_);  // byte for byte
    ASSERT_EQ(ui.MessageBoxes().size(), 1u);
    EXPECT_EQ(ui.MessageBoxes()[0].text, L"Error retrieving update. Please retry later.");
    EXPECT_EQ(ui.MessageBoxes()[0].caption, L"Corvane Filter");
    EXPECT_NE(
        NewLog().substr(log_before).find("L30 The downloaded rule file is corrupted"),
        std::string::npos);
    EXPECT_FALSE(fs::exists(platform::ToNarrow(platform::LockFilePath())));
  }
  EXPECT_EQ(events_.Count("install -1"), 3);
  EXPECT_EQ(events_.Count("install 0"), 0);
}

TEST_F(UpdateWorkerTest, AVersionFileSlowerThanTheTimeoutIsAbandonedWithoutMessages) {
  manager_->SetTimeoutsForTesting(400, 0);
  ServeVersionFile("NewestenRuleVersionNum=9.9\n", /*delay_ms=*/5000);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(true), 0);
  ASSERT_TRUE(manager_->WaitForWorkers(kWait));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(400));
  EXPECT_LT(took, std::chrono::milliseconds(4000));
  EXPECT_TRUE(ui_.calls().empty());
  EXPECT_EQ(events_.Count("decision"), 0);
  EXPECT_EQ(events_.Count("install"), 0);
  EXPECT_EQ(
      events_.Count("download " + server_.base_url() + "/downloads/cvie.ver 0 timeout"),
      1);
  EXPECT_EQ(Installed(), installed_);
  EXPECT_FALSE(fs::exists(platform::ToNarrow(platform::LockFilePath())));
}

TEST_F(UpdateWorkerTest, AStalledRuleDownloadStillEndsAtItsTimeout) {
  // The server sends the headers, then nothing at all: no message reaches the
  // worker, only its timer wakes it.
  manager_->SetTimeoutsForTesting(0, 600);
  AnnounceRules("");
  HttpRoute stalled;
  stalled.body = std::string(100000, 'x');
  stalled.stall = true;
  server_.SetRoute("/files/r15.rle", stalled);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(true), 0);
  ASSERT_TRUE(manager_->WaitForWorkers(kWait));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));
  EXPECT_EQ(events_.Count("download " + server_.base_url() + "/files/r15.rle 0 timeout"),
            1);
  EXPECT_EQ(events_.Count("install -1"), 1);  // the partial file is still handed on
  EXPECT_EQ(BoxTexts(),
            (std::vector<std::wstring>{L"Error retrieving update. Please retry later."}));
  EXPECT_EQ(Installed(), installed_);
}

TEST_F(UpdateWorkerTest, ASecondWorkerWhileOneRunsOnlyLogsThatOneIsRunning) {
  HttpRoute stalled;
  stalled.body = "NewestWin32IEVersionNum=2.2\n";
  stalled.stall = true;
  server_.SetRoute("/downloads/cvie.ver", stalled);
  EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(false), 0);
  ASSERT_TRUE(server_.WaitForRequests(1, kWait));  // the first worker holds the lock

  uint64_t log_before = NewLog().size();
  EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(false), 0);
  for (int i = 0; i < 1000 && events_.Count("busy") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(events_.Count("busy"), 1);
  EXPECT_NE(NewLog().substr(log_before).find("L30 background thread already running\n"),
            std::string::npos);
  // An interactive check meanwhile is told the network is busy.
  EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(true), 0);
  EXPECT_EQ(BoxTexts(),
            (std::vector<std::wstring>{L"Network busy, please try again later."}));
  EXPECT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(events_.Count("started"), 1);

  ASSERT_TRUE(manager_->StopWorkers(kWait));
  EXPECT_FALSE(fs::exists(platform::ToNarrow(platform::LockFilePath())));
  EXPECT_EQ(events_.Count("decision"), 0);  // stopped: nothing processed
}

TEST_F(UpdateWorkerTest, ConcurrentChecksFromManyThreadsRunOneWorkerAtATime) {
  ServeVersionFile("NewestWin32IEVersionNum=2.2\n", /*delay_ms=*/300);
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([] { VersionInfo::Instance().RunUpdateCheck(false); });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(manager_->WaitForWorkers(kWait));
  // Each started worker either ran (and ended) or found the lock taken.
  EXPECT_EQ(events_.Count("started") + events_.Count("busy"), 6);
  EXPECT_EQ(events_.Count("started"), events_.Count("ended"));
  EXPECT_GE(events_.Count("started"), 1);
  EXPECT_EQ(static_cast<int>(server_.requests().size()), events_.Count("started"));
  EXPECT_FALSE(fs::exists(platform::ToNarrow(platform::LockFilePath())));
}

TEST_F(UpdateWorkerTest, AProgramUpgradeIsOfferedEvenToASilentCheck) {
  ServeVersionFile(
      "MinimumWin32IEVersionNum=2.3\nMinimumWin32IEVersionUrl=http://127.0.0.1/install\n"
      "NewestenRuleVersionNum=9.9\n");
  EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(false), 0);
  ASSERT_TRUE(manager_->WaitForWorkers(kWait));
  std::vector<platform::ScriptedUi::Call> boxes = ui_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            L"Your Corvane Filter needs upgrade, please click OK to continue.");
  EXPECT_EQ(boxes[0].caption, L"Message");
  EXPECT_EQ(boxes[0].type, 4096u);
  EXPECT_EQ(Opened(), (std::vector<std::string>{"http://127.0.0.1/install"}));
  // Rules are not examined after an upgrade notice.
  EXPECT_EQ(server_.requests(), (std::vector<std::string>{"/downloads/cvie.ver"}));
  EXPECT_EQ(Installed(), installed_);
}

TEST_F(UpdateWorkerTest, AnUnreachableServerIsNeverReportedAsCurrent) {
  struct Case {
    const char* name;
    bool interactive;
    std::vector<std::wstring> boxes;
  };
  const Case kCases[] = {
      {"silent", false, {}},
      {"interactive", true, {L"Error retrieving update. Please retry later."}},
  };
  SetUpdateServerUrl(platform::ToWide(
      "http://127.0.0.1:" + std::to_string(cvie::testing::UnusedLoopbackPort())));
  for (const auto& c : kCases) {
    platform::ScriptedUi ui;
    platform::Ui* saved = platform::SetUi(&ui);
    uint64_t log_before = NewLog().size();
    EXPECT_EQ(VersionInfo::Instance().RunUpdateCheck(c.interactive), 0) << c.name;
    ASSERT_TRUE(manager_->WaitForWorkers(kWait)) << c.name;
    platform::SetUi(saved);
    std::vector<std::wstring> texts;
    for (const auto& box : ui.MessageBoxes()) texts.push_back(box.text);
    EXPECT_EQ(texts, c.boxes) << c.name;
    std::string logged = NewLog().substr(log_before);
    EXPECT_NE(logged.find("L30 Version file not retrieved, no update decision"),
              std::string::npos)
        << c.name;
  }
  EXPECT_EQ(events_.Count("decision"), 0);
  EXPECT_EQ(Installed(), installed_);
}

}  // namespace
}  // namespace cvie
