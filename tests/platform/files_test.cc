#include "platform/files.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/text.h"

using namespace cvie;
using namespace cvie::platform;
namespace fs = std::filesystem;

namespace {

std::wstring W(const fs::path& p) { return platform::ToWide(p.string()); }

TEST(Files, RenameRefusesAnExistingTargetUnlessAskedToReplace) {
  cvie::testing::ScopedCvieRoot root;
  const fs::path a = root.path() / "a", b = root.path() / "b";
  cvie::testing::WriteFile(a, "first");
  cvie::testing::WriteFile(b, "second");
  EXPECT_FALSE(RenameFile(W(a), W(b), false));
  std::string content;
  ASSERT_TRUE(cvie::testing::ReadFile(b, &content));
  EXPECT_EQ(content, "second");
  EXPECT_TRUE(fs::exists(a));
  EXPECT_TRUE(RenameFile(W(a), W(b), true));
  ASSERT_TRUE(cvie::testing::ReadFile(b, &content));
  EXPECT_EQ(content, "first");
  EXPECT_FALSE(fs::exists(a));
  EXPECT_TRUE(RenameFile(W(b), W(a), false));
  EXPECT_TRUE(fs::exists(a));
  EXPECT_FALSE(fs::exists(b));
}

TEST(Files, SizeExistenceAndDeletion) {
  cvie::testing::ScopedCvieRoot root;
  const fs::path file = root.path() / "f.txt";
  uint64_t size = 7;
  EXPECT_FALSE(GetFileSize(W(file), &size));
  EXPECT_FALSE(PathExists(W(file)));
  cvie::testing::WriteFile(file, std::string(1234, 'x'));
  ASSERT_TRUE(GetFileSize(W(file), &size));
  EXPECT_EQ(size, 1234u);
  EXPECT_FALSE(GetFileSize(W(root.path()), &size));  // a folder has no file size
  EXPECT_TRUE(DeleteFileAt(W(file)));
  EXPECT_FALSE(DeleteFileAt(W(file)));
}

TEST(Files, FoldersOneLevelAtATime) {
  cvie::testing::ScopedCvieRoot root;
  EXPECT_TRUE(CreateFolder(W(root.path() / "one")));
  EXPECT_FALSE(CreateFolder(W(root.path() / "one")));
  EXPECT_FALSE(CreateFolder(W(root.path() / "missing" / "two")));
  EXPECT_TRUE(RemoveFolder(W(root.path() / "one")));
  EXPECT_FALSE(fs::exists(root.path() / "one"));
}

TEST(Files, ListingNamesFilesFoldersAndLinks) {
  cvie::testing::ScopedCvieRoot root;
  fs::create_directories(root.path() / "list" / "sub");
  fs::create_directories(root.path() / "elsewhere");
  cvie::testing::WriteFile(root.path() / "list" / "file.txt", "x");
  fs::create_directory_symlink(root.path() / "elsewhere", root.path() / "list" / "link");
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(W(root.path() / "list"), &entries));
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, L"file.txt");
  EXPECT_FALSE(entries[0].is_folder);
  EXPECT_EQ(entries[1].name, L"link");
  EXPECT_FALSE(entries[1].is_folder);
  EXPECT_EQ(entries[2].name, L"sub");
  EXPECT_TRUE(entries[2].is_folder);
  EXPECT_FALSE(ListFolder(W(root.path() / "list" / "link"), &entries));
  EXPECT_FALSE(ListFolder(W(root.path() / "absent"), &entries));
}

TEST(Files, AppendFileAddsAtTheEnd) {
  cvie::testing::ScopedCvieRoot root;
  const fs::path file = root.path() / "log.txt";
  cvie::testing::WriteFile(file, "old\n");
  {
    auto out = AppendFile::Open(W(file));
    ASSERT_TRUE(out);
    EXPECT_TRUE(out->Write("new\n", 4));
  }
  std::string content;
  ASSERT_TRUE(cvie::testing::ReadFile(file, &content));
  EXPECT_EQ(content, "old\nnew\n");
  EXPECT_FALSE(AppendFile::Open(W(root.path() / "absent" / "log.txt")));
}

}  // namespace
