// cvie whitelist list|add|remove|contains, run as a user would, each test
// under its own CVIE_ROOT.

#include <gtest/gtest.h>

#include <string>

#include "common/test_support.h"

using cvie::testing::CvieExecutable;
using cvie::testing::ReadFile;
using cvie::testing::RunCommand;
using cvie::testing::ScopedCvieRoot;

namespace {

struct Step {
  const char* args;
  int status;
  const char* out;  // stdout, or for a failure the whole stderr line
};

TEST(WhitelistCommand, ListsAddsRemovesAndLooksUp) {
  ScopedCvieRoot root;
  const Step steps[] = {
      {"list", 0, ""},
      {"add example.com", 0, "added: example.com\n"},
      {"add abc.org", 0, "added: abc.org\n"},
      {"list", 0, "abc.org\nexample.com\n"},
      {"add example.com", 0, "already on the whitelist: example.com\n"},
      {"list", 0, "abc.org\nexample.com\n"},
      {"contains http://www.example.com/a.html", 0, "yes\n"},
      {"contains --exact http://www.example.com/a.html", 0, "no\n"},
      {"contains --exact example.com", 0, "yes\n"},
      {"contains http://Example.COM/", 0, "no\n"},
      {"contains http://other.example/", 0, "no\n"},
      {"remove zzz", 1, "cvie: not on the whitelist: zzz\n"},
      {"remove abc.org", 0, "removed: abc.org\n"},
      {"list", 0, "example.com\n"},
      {"add ''", 2, "cvie: cannot add \"\": an entry must be one line of text\n"},
      {"contains", 1, nullptr},
      {"frobnicate", 1, nullptr},
  };
  for (const Step& s : steps) {
    std::string out;
    std::string command = "'" + CvieExecutable().string() + "' whitelist " + s.args;
    int status = RunCommand(s.status == 0 ? command : command + " 2>&1 >/dev/null", &out);
    if (s.status == 0) {
      EXPECT_EQ(status, 0) << s.args;
    } else {
      EXPECT_NE(status, 0) << s.args;
    }
    if (s.out) {
      EXPECT_EQ(out, s.out) << s.args;
    }
  }
  // The file the proxy reads, as the commands left it.
  std::string bytes;
  ASSERT_TRUE(ReadFile(root.path() / "Documents" / "Corvane" / "whitelist.txt", &bytes));
  EXPECT_EQ(bytes, "example.com\r\n");
}

}  // namespace
