// cvie update, run as a program against a vendor server on a loopback port.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "comm/http_test_server.h"
#include "common/test_support.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "rules/rule_file.h"

namespace cvie {
namespace {

using cvie::testing::HttpRoute;
using cvie::testing::HttpTestServer;
using cvie::testing::ReadFile;
using cvie::testing::WriteFile;
namespace fs = std::filesystem;

class CmdUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(cvie::testing::CvieExecutable())) GTEST_SKIP() << "cvie is not built";
    // The logger of this process stays with the process's own folders.
    platform::CreateDataFolders();
    Logger::Instance();
    root_ = std::make_unique<cvie::testing::ScopedCvieRoot>();
    platform::ResetDataFolderCacheForTesting();  // paths of the program's private root
    platform::CreateDataFolders();
    ASSERT_TRUE(server_.Start());
    installed_ = MakeRuleFile("! installed\n/banner/\n", '1', '3');
    WriteFile(platform::ToNarrow(platform::RuleFilePath()), installed_);
    // A stand-in browser that records what it was asked to open.
    browser_record_ = root_->path() / "browser-record";
    fs::path browser = root_->path() / "browser";
    WriteFile(browser, "#!/bin/sh\necho \"$@\" > '" + browser_record_.string() + "'\n");
    chmod(browser.c_str(), 0755);
    browser_ = browser.string();
  }
  void TearDown() override {
    server_.Stop();
    root_.reset();
    platform::ResetDataFolderCacheForTesting();
  }

  std::string MakeRuleFile(const std::string& rules, char major, char minor) {
    fs::path plain = root_->path() / ("plain" + std::to_string(++files_));
    fs::path output = root_->path() / ("rules" + std::to_string(files_));
    WriteFile(plain, rules);
    EXPECT_EQ(EncipherRuleFile(plain.string(), output.string(), major, minor), 0);
    std::string bytes;
    ReadFile(output, &bytes);
    return bytes;
  }

  void Serve(const std::string& path, const std::string& body) {
    HttpRoute route;
    route.body = body;
    server_.SetRoute(path, route);
  }

  // Runs cvie update with `arguments`, no terminal, under the private root.
  int Run(const std::string& arguments, std::string* out,
          const std::string& environment = "") {
    std::string command = environment + " CVIE_ROOT='" + root_->path().string() +
                          "' BROWSER='" + browser_ + "' '" +
                          cvie::testing::CvieExecutable().string() + "' update " +
                          arguments + " < /dev/null";
    return cvie::testing::RunCommand(command, out, /*merge_stderr=*/true);
  }

  std::string Installed() {
    std::string bytes;
    ReadFile(platform::ToNarrow(platform::RuleFilePath()), &bytes);
    return bytes;
  }

  std::unique_ptr<cvie::testing::ScopedCvieRoot> root_;
  HttpTestServer server_;
  std::string installed_;
  fs::path browser_record_;
  std::string browser_;
  int files_ = 0;
};

TEST_F(CmdUpdateTest, InstallsANewerRuleFileAndSaysSo) {
  std::string newer = MakeRuleFile("! newer\n/banner/\n/ads/\n", '1', '5');
  Serve("/downloads/cvie.ver", "NewestenRuleVersionNum=1.5\n");  // default rule address
  Serve("/downloads/cvie.rle", newer);
  std::string out;
  EXPECT_EQ(Run("--interactive --server " + server_.base_url(), &out), 0) << out;
  EXPECT_EQ(Installed(), newer);
  const std::string base = server_.base_url();
  for (const std::string& line : std::vector<std::string>{
           "Update server: " + base + "\n",
           "Update check started (interactive)\n",
           "Decision: You already have the latest version of DLL: V2.2\n",
           "Decision: To upgrade to rule version 1.5\n",
           "Downloaded " + base + "/downloads/cvie.rle to " +
               platform::ToNarrow(platform::RuleFilePath()) + ".new (" +
               std::to_string(newer.size()) + " bytes)\n",
           "[Corvane Filter] Update has been installed, and it will take effect the next "
           "time you start IE\n",
           "Rule file installed: yes\n",
       }) {
    EXPECT_NE(out.find(line), std::string::npos) << "missing: " << line << "in:\n" << out;
  }
}

TEST_F(CmdUpdateTest, ReportsACurrentInstallation) {
  Serve("/downloads/cvie.ver",
        "NewestWin32IEVersionNum=2.2\nNewestenRuleVersionNum=1.3\n");
  std::string out;
  EXPECT_EQ(Run("--interactive --server " + server_.base_url(), &out), 0) << out;
  EXPECT_NE(out.find("Decision: You also have the latest rule file: V1.3\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[Check Update] You already have the latest version\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Rule file installed: no\n"), std::string::npos) << out;
  EXPECT_EQ(Installed(), installed_);
}

TEST_F(CmdUpdateTest, ProgramUpgradesAreShownButNotOpenedWithoutATerminal) {
  struct Case {
    const char* name;
    std::string version_file;
    std::vector<std::string> lines;
  };
  const Case kCases[] = {
      {"required upgrade",
       "MinimumWin32IEVersionNum=2.3\nMinimumWin32IEVersionUrl=http://127.0.0.1/"
       "install\n",
       {"[Message] Your Corvane Filter needs upgrade, please click OK to continue.\n",
        "Install page (not opened without a terminal): http://127.0.0.1/install\n"}},
      {"offered upgrade",
       "NewestWin32IEVersionNum=3.0\nNewestWin32IEVersionUrl=http://127.0.0.1/new\n",
       {"[Message] Good news, there's a new and improved version available. Would you "
        "like "
        "to install it?\n",
        "Answered: No\n"}},
  };
  for (const auto& c : kCases) {
    Serve("/downloads/cvie.ver", c.version_file);
    std::string out;
    EXPECT_EQ(Run("--interactive --server " + server_.base_url(), &out), 0) << c.name;
    for (const std::string& line : c.lines) {
      EXPECT_NE(out.find(line), std::string::npos)
          << c.name << " missing: " << line << out;
    }
    EXPECT_EQ(out.find("Opening the install page"), std::string::npos) << c.name;
    EXPECT_FALSE(fs::exists(browser_record_)) << c.name;
  }
}

TEST_F(CmdUpdateTest, CannotStartWhileAnotherCheckHoldsTheLock) {
  auto held = platform::ExclusiveFileLock::Acquire(platform::LockFilePath());
  ASSERT_TRUE(held);
  struct Case {
    const char* arguments;
    const char* shown;
  };
  const Case kCases[] = {
      {"", "Another update check is running; nothing was done\n"},
      {"--interactive", "[Message] Network busy, please try again later.\n"},
  };
  for (const auto& c : kCases) {
    std::string out;
    EXPECT_EQ(Run(std::string(c.arguments) + " --server " + server_.base_url(), &out), 1)
        << out;
    EXPECT_NE(out.find(c.shown), std::string::npos) << out;
    EXPECT_NE(out.find("cvie: the update check could not start"), std::string::npos)
        << out;
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(CmdUpdateTest, AnUnreachableServerFailsTheCheckAndIsNotCalledCurrent) {
  std::string out;
  // The server comes from the environment here, and nobody serves its port.
  std::string unreachable =
      "http://127.0.0.1:" + std::to_string(cvie::testing::UnusedLoopbackPort());
  EXPECT_EQ(Run("--interactive", &out, "CVIE_UPDATE_SERVER=" + unreachable), 1) << out;
  EXPECT_NE(out.find("cvie: the update check failed: download failed: " + unreachable +
                     "/downloads/cvie.ver"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Update server: " + unreachable + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Download failed: " + unreachable + "/downloads/cvie.ver"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[Corvane Filter] Error retrieving update. Please retry later.\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Decision:"), std::string::npos) << out;
  EXPECT_EQ(Installed(), installed_);
}

}  // namespace
}  // namespace cvie
