// The host process test: the pure path rule, and the answer the process gets
// from its declared role, computed once.

#include "ie/host_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/text.h"

using namespace cvie;

namespace {

TEST(HostProcess, PathNamesTheBrowserWhenItContainsIexploreExe) {
  struct PathCase {
    const wchar_t* path;
    bool browser;
  };
  const PathCase cases[] = {
      {L"C:\\Program Files\\Internet Explorer\\iexplore.exe", true},
      {L"C:\\PROGRAM FILES\\INTERNET EXPLORER\\IEXPLORE.EXE", true},
      {L"c:\\tools\\iexplore.exe.bak\\runner.exe", true},
      {L"C:\\Windows\\explorer.exe", false},
      {L"/usr/bin/cvie", false},
      {L"/opt/corvane/IExplore.Exe", true},
      {L"iexplore", false},
      {L"", false},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(IsBrowserHostPath(c.path), c.browser) << platform::ToNarrow(c.path);
  }
}

TEST(HostProcess, AFolderLongerThanAWindowsPathDoesNotHideTheName) {
  std::wstring folder = L"/";
  while (folder.size() < 400) folder += L"deep-folder/";
  EXPECT_TRUE(IsBrowserHostPath(folder + L"iexplore.exe"));
}

TEST(HostProcess, FollowsTheDeclaredRoleAndKeepsItsFirstAnswer) {
  platform::DeclareBrowserProcess(true);
  ResetBrowserProcessForTesting();
  EXPECT_TRUE(IsBrowserProcess());
  // Computed once: a later declaration does not change the answer...
  platform::DeclareBrowserProcess(false);
  EXPECT_TRUE(IsBrowserProcess());
  // ...until the answer is forgotten.
  ResetBrowserProcessForTesting();
  EXPECT_FALSE(IsBrowserProcess());
  // The program as it runs here (a test program) is not the browser.
  EXPECT_FALSE(IsBrowserHostPath(platform::ExecutablePath()));
}

TEST(HostProcess, ThreadsAskingFirstTogetherGetOneAnswer) {
  for (bool declared : {true, false}) {
    platform::DeclareBrowserProcess(declared);
    ResetBrowserProcessForTesting();
    std::atomic<int> browser{0}, other{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] { (IsBrowserProcess() ? browser : other)++; });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(declared ? browser.load() : other.load(), 8) << "declared " << declared;
  }
  platform::DeclareBrowserProcess(false);
  ResetBrowserProcessForTesting();
}

}  // namespace
