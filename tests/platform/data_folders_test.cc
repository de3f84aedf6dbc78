#include "platform/data_folders.h"

#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/shell.h"
#include "platform/text.h"

using namespace cvie;
namespace fs = std::filesystem;

namespace {

std::string N(const std::wstring& w) { return platform::ToNarrow(w); }

struct ComposeCase {
  const char* name;
  const wchar_t* shell;  // null: the shell could not give its folder
  const wchar_t* drive;
  const wchar_t* suffix;
  wchar_t separator;
  const wchar_t* want;
};

const ComposeCase kComposeCases[] = {
    {"program files", L"C:\\Program Files", L"C:", L".ALL", L'\\',
     L"C:\\Program Files\\Corvane"},
    {"trailing separator not doubled", L"C:\\Program Files\\", L"C:", L".ALL", L'\\',
     L"C:\\Program Files\\Corvane"},
    {"no shared folder", nullptr, L"C:", L".ALL", L'\\', L"C:\\Corvane.ALL"},
    {"no documents, no user name", nullptr, L"C:", L".User", L'\\', L"C:\\Corvane.User"},
    {"no documents, user name", nullptr, L"D:", L".alice", L'\\', L"D:\\Corvane.alice"},
    {"xdg folder", L"/home/alice/.local/share", L"", L".ALL", L'/',
     L"/home/alice/.local/share/Corvane"},
    {"xdg trailing slash", L"/home/alice/Documents/", L"", L".alice", L'/',
     L"/home/alice/Documents/Corvane"},
    {"linux fallback at the root", nullptr, L"", L".ALL", L'/', L"/Corvane.ALL"},
};

TEST(DataFolders, ComposesFolderFromShellFolderOrDriveFallback) {
  for (const auto& c : kComposeCases) {
    std::wstring shell = c.shell ? c.shell : L"";
    EXPECT_EQ(platform::ComposeDataFolder(c.shell ? &shell : nullptr, c.drive, c.suffix,
                                          c.separator),
              c.want)
        << c.name;
  }
}

TEST(DataFolders, RuleFileUnderProgramFilesLikeWindows) {
  std::wstring shell = L"C:\\Program Files";
  std::wstring folder = platform::ComposeDataFolder(&shell, L"C:", L".ALL", L'\\');
  EXPECT_EQ(folder + L"\\cvie.rle", L"C:\\Program Files\\Corvane\\cvie.rle");
}

TEST(DataFolders, EveryFileUnderCvieRoot) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  const std::string shared = root.path().string() + "/share/Corvane";
  const std::string user = root.path().string() + "/Documents/Corvane";
  struct Case {
    const char* name;
    const std::wstring& path;
    std::string want;
  };
  const Case cases[] = {
      {"shared folder", platform::SharedFolderPath(), shared},
      {"user folder", platform::UserFolderPath(), user},
      {"rule file", platform::RuleFilePath(), shared + "/cvie.rle"},
      {"version file", platform::VersionFilePath(), shared + "/cvie.ver"},
      {"lock file", platform::LockFilePath(), shared + "/background.lck"},
      {"whitelist", platform::WhitelistFilePath(), user + "/whitelist.txt"},
      {"whitelist temp", platform::WhitelistTempPath(), user + "/whitelist.txt.tmp"},
      {"log", platform::LogFilePath(), user + "/log1.txt"},
      {"previous log", platform::PreviousLogFilePath(), user + "/log2.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(N(c.path), c.want) << c.name;
  EXPECT_EQ(platform::DownloadPath(platform::RuleFilePath()),
            platform::RuleFilePath() + L".new");
  EXPECT_EQ(N(platform::DownloadPath(platform::VersionFilePath())),
            shared + "/cvie.ver.new");
}

TEST(DataFolders, FallbackFoldersWhenTheShellHasNone) {
  cvie::testing::ScopedCvieRoot root;
  // Files where the shell's folders should be: the shell cannot give them.
  cvie::testing::WriteFile(root.path() / "share", "x");
  cvie::testing::WriteFile(root.path() / "Documents", "x");
  platform::ResetDataFolderCacheForTesting();
  std::wstring user;
  ASSERT_TRUE(platform::GetUserName(&user));
  EXPECT_EQ(N(platform::SharedFolderPath()), root.path().string() + "/Corvane.ALL");
  EXPECT_EQ(N(platform::UserFolderPath()), root.path().string() + "/Corvane." + N(user));
  EXPECT_EQ(N(platform::RuleFilePath()), root.path().string() + "/Corvane.ALL/cvie.rle");
}

TEST(DataFolders, PathsAreCachedUntilReset) {
  std::wstring first;
  {
    cvie::testing::ScopedCvieRoot root;
    platform::ResetDataFolderCacheForTesting();
    first = platform::SharedFolderPath();
    const std::wstring& reference = platform::RuleFilePath();
    cvie::testing::ScopedCvieRoot other;
    EXPECT_EQ(platform::SharedFolderPath(), first);
    platform::ResetDataFolderCacheForTesting();
    EXPECT_EQ(N(platform::SharedFolderPath()), other.path().string() + "/share/Corvane");
    // A reference taken before the reset still holds the old value.
    EXPECT_EQ(reference, first + L"/cvie.rle");
  }
}

TEST(DataFolders, CreateMakesBothFoldersAndToleratesExistingOnes) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  EXPECT_FALSE(fs::exists(root.path() / "share" / "Corvane"));
  platform::CreateDataFolders();
  EXPECT_TRUE(fs::is_directory(root.path() / "share" / "Corvane"));
  EXPECT_TRUE(fs::is_directory(root.path() / "Documents" / "Corvane"));
  cvie::testing::WriteFile(root.path() / "share" / "Corvane" / "cvie.rle", "rules");
  platform::CreateDataFolders();
  EXPECT_TRUE(fs::exists(root.path() / "share" / "Corvane" / "cvie.rle"));
}

TEST(DataFolders, LongPathsWork) {
  cvie::testing::ScopedCvieRoot root;
  fs::path deep = root.path();
  while (deep.string().size() < 300) deep /= std::string(50, 'p');
  fs::create_directories(deep);
  setenv("CVIE_ROOT", deep.c_str(), 1);  // ScopedCvieRoot restores it
  platform::ResetDataFolderCacheForTesting();
  platform::CreateDataFolders();
  EXPECT_GT(platform::WhitelistFilePath().size(), 260u);
  cvie::testing::WriteFile(N(platform::WhitelistFilePath()), "example.com\n");
  std::string content;
  ASSERT_TRUE(cvie::testing::ReadFile(N(platform::WhitelistFilePath()), &content));
  EXPECT_EQ(content, "example.com\n");
}

TEST(DataFolders, DeleteFolderTreeRemovesEverythingDeepestFirst) {
  cvie::testing::ScopedCvieRoot root;
  const fs::path top = root.path() / "share" / "Corvane";
  fs::create_directories(top / "a" / "b" / "c");
  fs::create_directories(top / "empty");
  cvie::testing::WriteFile(top / "cvie.rle", "x");
  cvie::testing::WriteFile(top / "a" / "one.txt", "x");
  cvie::testing::WriteFile(top / "a" / "b" / "c" / "deep.txt", "x");
  EXPECT_TRUE(platform::DeleteFolderTree(platform::ToWide(top.string())));
  EXPECT_FALSE(fs::exists(top));
  EXPECT_TRUE(fs::exists(root.path() / "share"));
  EXPECT_TRUE(
      platform::DeleteFolderTree(platform::ToWide(top.string())));  // already gone
  EXPECT_FALSE(platform::DeleteFolderTree(L""));
}

TEST(DataFolders, DeleteFolderTreeNeverFollowsLinksOut) {
  cvie::testing::ScopedCvieRoot root;
  const fs::path top = root.path() / "tree";
  const fs::path outside = root.path() / "outside";
  fs::create_directories(top);
  fs::create_directories(outside);
  cvie::testing::WriteFile(outside / "keep.txt", "keep");
  fs::create_directory_symlink(outside, top / "link");
  EXPECT_TRUE(platform::DeleteFolderTree(platform::ToWide(top.string())));
  EXPECT_FALSE(fs::exists(top));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
  // The folder itself being a link: the target is not emptied.
  fs::create_directory_symlink(outside, root.path() / "alias");
  EXPECT_FALSE(
      platform::DeleteFolderTree(platform::ToWide((root.path() / "alias").string())));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
}

TEST(DataFolders, DeleteFolderTreeReportsAFolderThatStays) {
  if (geteuid() == 0) GTEST_SKIP() << "root may delete from read-only folders";
  cvie::testing::ScopedCvieRoot root;
  const fs::path top = root.path() / "tree";
  fs::create_directories(top / "locked");
  cvie::testing::WriteFile(top / "locked" / "f.txt", "x");
  fs::permissions(top / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_FALSE(platform::DeleteFolderTree(platform::ToWide(top.string())));
  EXPECT_TRUE(fs::exists(top / "locked" / "f.txt"));
  fs::permissions(top / "locked", fs::perms::owner_all);
}

TEST(DataFolders, ConcurrentFirstCallsAgreeOnOnePath) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  std::vector<const std::wstring*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&seen, i] {
      seen[i] = i % 2 ? &platform::LogFilePath() : &platform::RuleFilePath();
    });
  }
  for (auto& t : threads) t.join();
  std::set<const std::wstring*> distinct(seen.begin(), seen.end());
  EXPECT_EQ(distinct.size(), 2u);
  EXPECT_EQ(N(*seen[0]), root.path().string() + "/share/Corvane/cvie.rle");
  EXPECT_EQ(N(*seen[1]), root.path().string() + "/Documents/Corvane/log1.txt");
}

}  // namespace
