// cvie rules test: the verdict, the explanation and the errors of the command.

#include <algorithm>
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

// The filter lists' type names stand for the kinds the page editor asks about.
TEST(RulesTestCommand, AcceptsListTypeNamesForItsKinds) {
  ScopedCvieRoot root;
  std::string rules = (root.path() / "rules.txt").string();
  WriteFile(rules, "/f/$subdocument\n/o/$object\n/c/$stylesheet\n/l/$link\n");
  struct AliasCase {
    const char* kind;
    const char* url;
    const char* verdict;
  };
  const AliasCase kCases[] = {
      {"subdocument", "http://x/f/", "blocked\n"},
      {"frame", "http://x/f/", "blocked\n"},
      {"subdocument", "http://x/o/", "allowed\n"},
      {"object", "http://x/o/", "blocked\n"},
      {"object-subrequest", "http://x/o/", "blocked\n"},
      {"css", "http://x/c/", "blocked\n"},
      {"other", "http://x/l/", "blocked\n"},
      {"image", "http://x/f/", "allowed\n"},
  };
  for (const AliasCase& c : kCases) {
    std::string out;
    EXPECT_EQ(RunCommand(Command({"--rule-text", rules, c.kind, c.url}), &out), 0)
        << c.kind;
    EXPECT_EQ(out, c.verdict) << c.kind << " " << c.url;
  }
}

// A rule of the list that does not compile is named on stderr with its line;
// it is skipped and the other rules still decide.
TEST(RulesTestCommand, NamesRulesThatDoNotCompileWithTheirLine) {
  ScopedCvieRoot root;
  std::string rules = (root.path() / "rules.txt").string();
  WriteFile(rules, "/ads/\nad(\n! a comment\n[x(\n");
  std::string err;
  ASSERT_EQ(RunCommand(Command({"--rule-text", rules, "image", "http://x/ads/"}) +
                           " 2>&1 >/dev/null",
                       &err),
            0);
  // The compiler's own words sit between the parentheses.
  const std::string prefix = "cvie: " + rules + " line ";
  const std::string says = ": rule skipped, it does not compile (";
  const size_t end = err.find('\n');
  ASSERT_NE(end, std::string::npos) << err;
  const std::string first = err.substr(0, end);
  const std::string second = err.substr(end + 1);
  EXPECT_EQ(first.rfind(prefix + "2" + says, 0), 0u) << err;
  EXPECT_EQ(first.substr(first.size() - 6), "): ad(") << err;
  EXPECT_EQ(second.rfind(prefix + "4" + says, 0), 0u) << err;
  EXPECT_EQ(second.substr(second.size() - 7), "): [x(\n") << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
  std::string out;
  ASSERT_EQ(RunCommand(Command({"--rule-text", rules, "image", "http://x/ads/"}), &out),
            0);
  EXPECT_EQ(out, "blocked\n");
}

struct ErrorCase {
  std::vector<std::string> args;
  int status;  // 2 for an argument that cannot be used, 1 for a file
  const char* message;
};

TEST(RulesTestCommand, FailsWithOneLineOnBadKindOrMissingFile) {
  ScopedCvieRoot root;
  std::string rules = (root.path() / "rules.txt").string();
  WriteFile(rules, "/ads/\n");
  std::string missing = (root.path() / "missing.txt").string();
  const ErrorCase kErrors[] = {
      // An unknown kind names the valid ones.
      {{"--rule-text", rules, "picture", "http://x/"},
       2,
       "cvie: unknown kind: picture (kinds: link, image, background, flash, script, "
       "frame, stylesheet, marquee, div, script-block; list type names: subdocument = "
       "frame, object = flash, object-subrequest = flash, css = stylesheet, other = "
       "link)\n"},
      {{"--rule-text", rules, "Image", "http://x/"}, 2, "cvie: unknown kind: Image ("},
      {{"--rule-text", missing, "image", "http://x/"},
       1,
       "cvie: cannot read rule list: "},
      {{"--rule-text", root.path().string(), "image", "http://x/"},
       1,
       "cvie: cannot read rule list: "},
      {{"--rules", rules, "image", "http://x/"}, 1, "cvie: not a good rule file"},
      {{"--rules", missing, "image", "http://x/"}, 1, "cvie: not a good rule file"},
      // Neither option and nothing installed under this CVIE_ROOT.
      {{"image", "http://x/"}, 1, "cvie: no rule file is installed at "},
  };
  for (const ErrorCase& c : kErrors) {
    std::string out;
    int status = RunCommand(Command(c.args) + " 2>&1 >/dev/null", &out);
    EXPECT_EQ(status, c.status) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(out.rfind(c.message, 0), 0u) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  }
}

// The same questions answered from an enciphered rule file, given with --rules
// or installed as the product installs it.
TEST(RulesTestCommand, ReadsEncipheredAndInstalledRuleFiles) {
  ScopedCvieRoot root;
  std::string plain = (root.path() / "rules.txt").string();
  std::string enciphered = (root.path() / "rules.rle").string();
  WriteFile(plain, kRuleList);
  std::string exe = Quote(CvieExecutable().string());
  ASSERT_EQ(RunCommand(exe + " rules encipher " + Quote(plain) + " " + Quote(enciphered) +
                           " --version 1.0",
                       nullptr),
            0);
  ASSERT_EQ(RunCommand(exe + " rules install " + Quote(enciphered), nullptr), 0);
  for (const VerdictCase& c : kVerdicts) {
    std::string from_file, from_installed;
    ASSERT_EQ(RunCommand(Command({"--rules", enciphered, c.kind, c.text}), &from_file),
              0);
    ASSERT_EQ(RunCommand(Command({c.kind, c.text}), &from_installed), 0);
    EXPECT_EQ(from_file, c.verdict) << c.kind << " " << c.text;
    EXPECT_EQ(from_installed, c.verdict) << c.kind << " " << c.text;
  }
}

}  // namespace
}  // namespace cvie
