// The process layer: executable path, browser role, opening pages.

#include "platform/process.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/test_support.h"
#include "platform/text.h"

namespace cvie::platform {
namespace {

namespace fs = std::filesystem;

TEST(Process, ExecutablePathIsThisTestProgram) {
  std::wstring path = ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(fs::path(ToNarrow(path)).filename(), "comm_tests");
  EXPECT_TRUE(fs::exists(ToNarrow(path)));
  EXPECT_EQ(ModuleFilePath(), path);
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

TEST(Process, DeclaredBrowserRoleDecidesTheHostPath) {
  DeclareBrowserProcess(false);
  EXPECT_EQ(HostPathForBrowserTest(), ExecutablePath());
  EXPECT_EQ(HostPathForBrowserTest().find(L"iexplore.exe"), std::wstring::npos);
  DeclareBrowserProcess(true);
  EXPECT_TRUE(IsDeclaredBrowserProcess());
  std::wstring host = HostPathForBrowserTest();
  EXPECT_EQ(fs::path(ToNarrow(host)).filename(), "iexplore.exe");
  EXPECT_EQ(fs::path(ToNarrow(host)).parent_path(),
            fs::path(ToNarrow(ExecutablePath())).parent_path());
  DeclareBrowserProcess(false);
  EXPECT_FALSE(IsDeclaredBrowserProcess());
}

TEST(Process, DiskQueryGivesClusters) {
  uint64_t total = 0, available = 0;
  ASSERT_TRUE(GetDiskFreeClusters(&total, &available));
  EXPECT_GT(total, 0u);
  EXPECT_LE(available, total);
}

TEST(Process, TestOpenerRecordsInsteadOfStarting) {
  std::vector<std::wstring> opened;
  UrlOpener previous = SetUrlOpener([&](const std::wstring& url) {
    opened.push_back(url);
    return 0;
  });
  EXPECT_EQ(OpenUrlInBrowser(L"http://127.0.0.1/upgrade"), 0);
  SetUrlOpener(previous);
  EXPECT_EQ(opened, (std::vector<std::wstring>{L"http://127.0.0.1/upgrade"}));
}

// A stand-in browser: a script that writes its arguments to a file.
fs::path WriteRecorderScript(const fs::path& folder, const fs::path& record) {
  fs::path script = folder / "fake-browser";
  cvie::testing::WriteFile(
      script, "#!/bin/sh\nprintf '%s|' \"$@\" > '" + record.string() + ".part'\nmv '" +
                  record.string() + ".part' '" + record.string() + "'\n");
  chmod(script.c_str(), 0755);
  return script;
}

bool WaitForFile(const fs::path& path) {
  for (int i = 0; i < 500; ++i) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(Process, DefaultOpenerStartsTheBrowserWithTheAddressAsOneArgument) {
  cvie::testing::ScopedCvieRoot root;
  struct Case {
    const char* name;
    bool through_environment;
    std::wstring url;
  };
  const Case kCases[] = {
      {"program given", false, L"http://127.0.0.1/a?b=1&c=2"},
      {"from BROWSER", true, L"http://127.0.0.1/x y;$(false)`z`"},
  };
  int n = 0;
  for (const auto& c : kCases) {
    fs::path record = root.path() / ("record" + std::to_string(n++));
    fs::path script = WriteRecorderScript(root.path(), record);
    int result;
    if (c.through_environment) {
      const char* old = getenv("BROWSER");
      std::string saved = old ? old : "";
      // Only the first entry of the list is used.
      setenv("BROWSER", (script.string() + ":/bin/false").c_str(), 1);
      result = LaunchBrowserProgram("", c.url);
      if (old) {
        setenv("BROWSER", saved.c_str(), 1);
      } else {
        unsetenv("BROWSER");
      }
    } else {
      result = LaunchBrowserProgram(script.string(), c.url);
    }
    EXPECT_EQ(result, 0) << c.name;
    ASSERT_TRUE(WaitForFile(record)) << c.name;
    std::string recorded;
    cvie::testing::ReadFile(record, &recorded);
    EXPECT_EQ(recorded, ToNarrow(c.url) + "|") << c.name;
  }
}

TEST(Process, MissingBrowserProgramIsReported) {
  EXPECT_EQ(LaunchBrowserProgram("/nonexistent/browser-program", L"http://127.0.0.1/"),
            -1);
}

}  // namespace
}  // namespace cvie::platform
