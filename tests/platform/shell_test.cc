#include "platform/shell.h"

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/text.h"

using namespace cvie;
using namespace cvie::platform;
namespace fs = std::filesystem;

namespace {

// Sets or unsets environment variables for one scope, restoring them after.
class ScopedEnv {
 public:
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
  }
  void Set(const char* name, const std::string& value) {
    Save(name);
    setenv(name, value.c_str(), 1);
  }
  void Unset(const char* name) {
    Save(name);
    unsetenv(name);
  }

 private:
  void Save(const char* name) {
    const char* v = getenv(name);
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::string Narrow(const std::wstring& w) { return platform::ToNarrow(w); }

TEST(Shell, EverythingLivesUnderCvieRoot) {
  cvie::testing::ScopedCvieRoot root;
  const std::string r = root.path().string();
  std::wstring program_files, documents;
  ASSERT_TRUE(GetProgramFilesFolder(true, &program_files));
  ASSERT_TRUE(GetDocumentsFolder(true, &documents));
  EXPECT_EQ(Narrow(program_files), r + "/share");
  EXPECT_EQ(Narrow(documents), r + "/Documents");
  EXPECT_TRUE(fs::is_directory(r + "/share"));
  EXPECT_TRUE(fs::is_directory(r + "/Documents"));
  EXPECT_EQ(Narrow(ConfigFolder()), r + "/config");
  EXPECT_EQ(Narrow(RuntimeFolder()), r + "/run");
  EXPECT_EQ(Narrow(CurrentDriveRoot()), r);
}

TEST(Shell, WithoutCreateAMissingFolderIsNotMade) {
  cvie::testing::ScopedCvieRoot root;
  std::wstring documents;
  ASSERT_TRUE(GetDocumentsFolder(false, &documents));
  EXPECT_FALSE(fs::exists(root.path() / "Documents"));
}

TEST(Shell, FolderThatCannotBeMadeIsReportedUnavailable) {
  cvie::testing::ScopedCvieRoot root;
  cvie::testing::WriteFile(root.path() / "share", "a file where the folder should be");
  std::wstring program_files = L"unchanged";
  EXPECT_FALSE(GetProgramFilesFolder(true, &program_files));
  EXPECT_EQ(program_files, L"unchanged");
}

TEST(Shell, XdgFoldersWithoutCvieRoot) {
  cvie::testing::ScopedCvieRoot scratch;  // only a private place for HOME
  const std::string home = (scratch.path() / "home").string();
  fs::create_directories(home + "/.config");
  struct Case {
    const char* name;
    const char* xdg_data_home;   // null: unset
    const char* xdg_documents;   // null: unset
    const char* user_dirs_line;  // null: no user-dirs.dirs
    std::string want_program_files;
    std::string want_documents;
  };
  const Case cases[] = {
      {"defaults", nullptr, nullptr, nullptr, home + "/.local/share",
       home + "/Documents"},
      {"data home set", "/srv/data", nullptr, nullptr, "/srv/data", home + "/Documents"},
      {"documents env", nullptr, "/srv/docs", nullptr, home + "/.local/share",
       "/srv/docs"},
      {"user-dirs relative to home", nullptr, nullptr,
       "XDG_DOCUMENTS_DIR=\"$HOME/Papiers\"", home + "/.local/share", home + "/Papiers"},
      {"user-dirs absolute", nullptr, nullptr, "XDG_DOCUMENTS_DIR=\"/data/docs\"",
       home + "/.local/share", "/data/docs"},
  };
  for (const auto& c : cases) {
    ScopedEnv env;
    env.Unset("CVIE_ROOT");
    env.Set("HOME", home);
    env.Unset("XDG_CONFIG_HOME");
    if (c.xdg_data_home)
      env.Set("XDG_DATA_HOME", c.xdg_data_home);
    else
      env.Unset("XDG_DATA_HOME");
    if (c.xdg_documents)
      env.Set("XDG_DOCUMENTS_DIR", c.xdg_documents);
    else
      env.Unset("XDG_DOCUMENTS_DIR");
    fs::remove(home + "/.config/user-dirs.dirs");
    if (c.user_dirs_line) {
      cvie::testing::WriteFile(
          home + "/.config/user-dirs.dirs",
          std::string("# written by a test\n") + c.user_dirs_line + "\n");
    }
    std::wstring program_files, documents;
    ASSERT_TRUE(GetProgramFilesFolder(false, &program_files)) << c.name;
    ASSERT_TRUE(GetDocumentsFolder(false, &documents)) << c.name;
    EXPECT_EQ(Narrow(program_files), c.want_program_files) << c.name;
    EXPECT_EQ(Narrow(documents), c.want_documents) << c.name;
    EXPECT_EQ(Narrow(CurrentDriveRoot()), "") << c.name;
    EXPECT_EQ(Narrow(ConfigFolder()), home + "/.config/corvane") << c.name;
  }
}

TEST(Shell, UserNameIsKnown) {
  std::wstring name;
  ASSERT_TRUE(GetUserName(&name));
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find(L'/'), std::wstring::npos);
}

TEST(Shell, PathsLongerThan260CharactersAreUsedAsTheyAre) {
  cvie::testing::ScopedCvieRoot root;
  fs::path deep = root.path();
  while (deep.string().size() < 400) deep /= std::string(60, 'd');
  ScopedEnv env;
  env.Set("CVIE_ROOT", deep.string());
  std::wstring documents;
  ASSERT_TRUE(GetDocumentsFolder(true, &documents));
  EXPECT_GT(documents.size(), 260u);
  EXPECT_EQ(Narrow(documents), deep.string() + "/Documents");
  EXPECT_TRUE(fs::is_directory(deep / "Documents"));
}

}  // namespace
