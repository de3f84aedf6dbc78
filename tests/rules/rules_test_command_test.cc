// cvie rules test: the verdict, the explanation and the errors of the command.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace cvie {
namespace {

using testing::CvieExecutable;
using testing::RunCommand;
using testing::ScopedCvieRoot;
using testing::WriteFile;

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string Command(const std::vector<std::string>& args) {
  std::string command = Quote(CvieExecutable().string()) + " rules test";
  for (const std::string& arg : args) command += " " + Quote(arg);
  return command;
}

const char kRuleList[] =
    "! a plain rule list\r\n"
    "/ads/$image\r\n"
    "|http://track.\n"
    "adframe$script-text\n"
    "example.com##.banner\n"
    "!CV STOP 2.2\n"
    "/late/\n";

struct VerdictCase {
  const char* kind;
  const char* text;
  const char* verdict;
};

const VerdictCase kVerdicts[] = {
    {"image", "http://x/ads/a.gif", "blocked\n"},
    {"link", "http://x/ads/a.gif", "allowed\n"},
    {"div", "http://track.example/", "blocked\n"},
    {"frame", "http://x/page.html", "allowed\n"},
    {"script-block", "var u='http://track.example/p.js';", "blocked\n"},
    {"script-block", "var f = 'adframe';", "blocked\n"},
    {"script-block", "var f = 'frame';", "allowed\n"},
    // Rules after the stop directive are not loaded.
    {"image", "http://x/late/a.gif", "allowed\n"},
};

TEST(RulesTestCommand, PrintsTheVerdict) {
  ScopedCvieRoot root;
  std::string rules = (root.path() / "rules.txt").string();
  WriteFile(rules, kRuleList);
  for (const VerdictCase& c : kVerdicts) {
    std::string out;
    int status = RunCommand(Command({"--rule-text", rules, c.kind, c.text}), &out);
    EXPECT_EQ(status, 0) << c.kind << " " << c.text;
    EXPECT_EQ(out, c.verdict) << c.kind << " " << c.text;
  }
}

TEST(RulesTestCommand, ExplainShowsEachRuleTried) {
  ScopedCvieRoot root;
  std::string rules = (root.path() / "rules.txt").string();
  WriteFile(rules, "/nothing/\n/img/$script\n/ads/\n/never/\n");
  std::string out;
  ASSERT_EQ(RunCommand(Command({"--explain", "--rule-text", rules, "image",
                                "http://x/ads/a.gif"}),
                       &out),
            0);
  EXPECT_EQ(out,
            "rule 1: \\/nothing\\/ on http://x/ads/a.gif: no match\n"
            "rule 3: \\/ads\\/ on http://x/ads/a.gif: matched\n"
            "blocked\n");
}

TEST(RulesTestCommand, ExplainMarksRulesThatDoNotCompile) {
  ScopedCvieRoot root;
  std::string rules = (root.path() / "rules.txt").string();
  WriteFile(rules, "ad(\n");
  std::string out;
  ASSERT_EQ(RunCommand(Command({"--explain", "--rule-text", rules, "link", "ad("}), &out),
            0);
  EXPECT_EQ(out, "rule 1: ad( on ad(: no match (does not compile)\nallowed\n");
}

struct ErrorCase {
  std::vector<std::string> args;
  const char* message;
};

TEST(RulesTestCommand, FailsWithOneLineOnBadKindOrMissingFile) {
  ScopedCvieRoot root;
  std::string rules = (root.path() / "rules.txt").string();
  WriteFile(rules, "/ads/\n");
  std::string missing = (root.path() / "missing.txt").string();
  const ErrorCase kErrors[] = {
      {{"--rule-text", rules, "picture", "http://x/"}, "cvie: unknown kind: picture\n"},
      {{"--rule-text", rules, "Image", "http://x/"}, "cvie: unknown kind: Image\n"},
      {{"--rule-text", missing, "image", "http://x/"}, "cvie: cannot read rule file: "},
      {{"--rule-text", root.path().string(), "image", "http://x/"},
       "cvie: cannot read rule file: "},
  };
  for (const ErrorCase& c : kErrors) {
    std::string out;
    int status = RunCommand(Command(c.args) + " 2>&1 >/dev/null", &out);
    EXPECT_EQ(status, 1) << c.args[1] << " " << c.args[2];
    EXPECT_EQ(out.rfind(c.message, 0), 0u) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  }
}

}  // namespace
}  // namespace cvie
