// cvie rules test with filter lists: the decision printed last, the page
// address deciding third-party and domain=, the explanation naming the list
// line, and a batch file answered line by line.

#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace cvie {
namespace {

using testing::CvieExecutable;
using testing::RunCommand;
using testing::ScopedCvieRoot;
using testing::WriteFile;

const char kList[] =
    "[Adblock Plus 2.0]\n"
    "! Title: Command test\n"
    "||example-ads.net^$third-party\n"
    "/banner/*/img^\n"
    "@@/banner/ok/img^$image,domain=good.example\n";

struct CommandCase {
  const char* arguments;
  const char* last_line;
};

TEST(RulesTestCommand, DecidesWithFilterListsAndThePage) {
  ScopedCvieRoot root;
  const std::string list = (root.path() / "list.txt").string();
  WriteFile(list, kList);
  const CommandCase kCases[] = {
      {"--page https://news.example.org/ script https://cdn.example-ads.net/x.js",
       "blocked"},
      {"--page https://www.example-ads.net/ script https://cdn.example-ads.net/x.js",
       "allowed"},
      {"script https://cdn.example-ads.net/x.js", "blocked"},  // no page: third-party
      {"image http://example.com/banner/foo/img?x", "blocked"},
      {"image http://example.com/banner/foo/imgraph", "allowed"},
      {"--page https://www.good.example/ image http://x.net/banner/ok/img", "allowed"},
      {"--page https://bad.example/ image http://x.net/banner/ok/img", "blocked"},
      {"div http://x.net/banner/foo/img", "allowed"},  // lists never block divisions
  };
  for (const CommandCase& c : kCases) {
    std::string out;
    std::string command =
        CvieExecutable().string() + " rules test --list " + list + " " + c.arguments;
    ASSERT_EQ(RunCommand(command, &out), 0) << c.arguments;
    ASSERT_FALSE(out.empty()) << c.arguments;
    std::string last = out.substr(out.find_last_of('\n', out.size() - 2) + 1);
    EXPECT_EQ(last, std::string(c.last_line) + "\n") << c.arguments << "\n" << out;
  }
}

TEST(RulesTestCommand, ExplainsAndAnswersABatch) {
  ScopedCvieRoot root;
  const std::string list = (root.path() / "list.txt").string();
  WriteFile(list, kList);
  std::string out;
  ASSERT_EQ(
      RunCommand(CvieExecutable().string() + " rules test --explain --list " + list +
                     " --page https://good.example/ image http://x.net/banner/ok/img",
                 &out),
      0);
  EXPECT_EQ(out,
            "list rule list.txt:4: /banner/*/img^\n"
            "list exception list.txt:5: @@/banner/ok/img^$image,domain=good.example\n"
            "allowed\n");

  const std::string batch = (root.path() / "batch.txt").string();
  WriteFile(batch,
            "script https://cdn.example-ads.net/x.js https://www.example-ads.net/\n"
            "script https://cdn.example-ads.net/x.js\n"
            "image http://x.net/banner/ok/img https://good.example/\n");
  ASSERT_EQ(RunCommand(CvieExecutable().string() + " rules test --list " + list +
                           " --batch " + batch,
                       &out),
            0);
  EXPECT_EQ(out, "allowed\nblocked\nallowed\n");
}

}  // namespace
}  // namespace cvie
