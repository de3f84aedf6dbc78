// The log cannot be written: its folder is read-only, the log file's name is
// taken by a folder, the file sits on a full disk, or the per-user folder
// itself is a plain file. Logging is on, so every page tries to write; the
// proxy keeps serving and filtering, and stops cleanly.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "case_name.h"
#include "common/test_support.h"
#include "fault_origin.h"
#include "proxy_child.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

namespace fs = std::filesystem;

enum class LogFault {
  kReadOnlyFolder,
  kFolderInPlaceOfFile,
  kFullDisk,
  kUserFolderIsFile
};

struct LogCase {
  const char* name;
  LogFault fault;
};

// Test names and failure messages show the case by its name.
void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

const LogCase kLogCases[] = {
    {"read-only log folder", LogFault::kReadOnlyFolder},
    {"a folder where the log file goes", LogFault::kFolderInPlaceOfFile},
    {"log file on a full disk", LogFault::kFullDisk},
    {"user folder is a plain file", LogFault::kUserFolderIsFile},
};

const char kAdPage[] =
    "<html><body><p>Story text</p><img src=\"/ads/top.gif\"><p>More</p></body></html>";

class LogFolder : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogFolder, ProxyKeepsServingAndFilteringWhenTheLogCannotBeWritten) {
  const LogCase& c = GetParam();
  if (c.fault == LogFault::kReadOnlyFolder && geteuid() == 0) {
    GTEST_SKIP() << "running as root: a read-only folder does not stop root's writes "
                    "(the other rows make the log unwritable in ways root cannot pass)";
  }
  cvie::testing::ScopedCvieRoot root;
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  // Logging on (also the default), stored before the fault is made.
  std::string out;
  ASSERT_EQ(cvie::testing::RunCommand(
                cvie::testing::CvieExecutable().string() + " options set EnableLogging 1",
                &out, true),
            0)
      << out;
  const fs::path user_folder = root.path() / "Documents" / "Corvane";
  const fs::path log = user_folder / "log1.txt";
  std::error_code ec;
  switch (c.fault) {
    case LogFault::kReadOnlyFolder:
      fs::create_directories(user_folder);
      fs::remove(log, ec);
      ASSERT_EQ(chmod(user_folder.c_str(), 0555), 0);
      break;
    case LogFault::kFolderInPlaceOfFile:
      fs::remove(log, ec);
      fs::create_directories(log);
      break;
    case LogFault::kFullDisk:
      if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
      fs::create_directories(user_folder);
      fs::remove(log, ec);
      fs::create_symlink("/dev/full", log);
      break;
    case LogFault::kUserFolderIsFile:
      fs::remove_all(user_folder, ec);
      fs::create_directories(user_folder.parent_path());
      cvie::testing::WriteFile(user_folder, "not a folder\n");
      break;
  }

  FaultOrigin origin;
  origin.Set("/story.html", WholeHtmlPage(kAdPage));
  const std::string url =
      "http://127.0.0.1:" + std::to_string(origin.port()) + "/story.html";
  ProxyChild proxy;
  std::string error;
  ASSERT_TRUE(proxy.Start({}, (root.path() / "proxy.err").string(), &error))
      << c.name << ": " << error;
  for (int i = 0; i < 50; ++i) {
    StreamedResponse r;
    ASSERT_TRUE(
        StreamGet(proxy.port(), url, {"Sec-Fetch-Dest: document"}, 20000, nullptr, &r))
        << c.name << ": no answer to page " << i;
    ASSERT_EQ(r.status, 200) << c.name << ", page " << i;
    ASSERT_TRUE(r.complete) << c.name << ", page " << i;
    ASSERT_EQ(r.body_prefix.find("/ads/top.gif"), std::string::npos)
        << c.name << ": page " << i << " not filtered: " << r.body_prefix;
    ASSERT_NE(r.body_prefix.find("Story text"), std::string::npos) << c.name;
  }
  EXPECT_TRUE(proxy.running()) << c.name;
  EXPECT_EQ(proxy.Stop(SIGTERM), 0) << c.name;

  // The fault was still in place while the pages went through.
  switch (c.fault) {
    case LogFault::kReadOnlyFolder:
      EXPECT_FALSE(fs::exists(log)) << c.name;
      chmod(user_folder.c_str(), 0755);
      break;
    case LogFault::kFolderInPlaceOfFile:
      EXPECT_TRUE(fs::is_directory(log)) << c.name;
      break;
    case LogFault::kFullDisk:
      EXPECT_TRUE(fs::is_symlink(log)) << c.name;
      break;
    case LogFault::kUserFolderIsFile:
      EXPECT_TRUE(fs::is_regular_file(user_folder)) << c.name;
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, LogFolder, ::testing::ValuesIn(kLogCases),
                         CaseTestName<LogCase>);

}  // namespace
}  // namespace cvie::faults
