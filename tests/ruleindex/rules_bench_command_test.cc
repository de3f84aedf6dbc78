// cvie rules bench: its figures line, and the same number blocked with the
// index and with --reference.

#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace cvie {
namespace {

using testing::CvieExecutable;
using testing::RunCommand;
using testing::ScopedCvieRoot;
using testing::WriteFile;

struct Figures {
  size_t rules = 0, bad = 0, checks = 0, blocked = 0;
  double load_ms = -1, us_per_check = -1;
};

bool ParseFigures(const std::string& out, Figures* f) {
  return sscanf(out.c_str(),
                "rules %zu bad %zu checks %zu blocked %zu load_ms %lf us_per_check %lf",
                &f->rules, &f->bad, &f->checks, &f->blocked, &f->load_ms,
                &f->us_per_check) == 6;
}

TEST(RulesBenchCommandTest, IndexedAndReferenceRunsBlockTheSame) {
  ScopedCvieRoot root;
  const std::string rules = (root.path() / "rules.txt").string();
  const std::string urls = (root.path() / "urls.txt").string();
  WriteFile(rules,
            "! list\n/ads/$image\n|http://track.\nban(ner|nr)s\nad(\n(pop|up)\\1under\n"
            "adframe$script-text\n");
  WriteFile(
      urls,
      "image http://x/ads/a.gif\nlink http://x/ads/a.gif\ndiv http://track.example/\n"
      "frame http://x/bannrs.html\nlink http://x/popup.html\nlink http://x/poppopunder\n"
      "nonsense http://x/ads/\nscript http://x/adframe.js\n");
  struct Run {
    const char* flags;
  };
  const Run kRuns[] = {{""}, {" --reference"}, {" --passes 2"}};
  for (const Run& run : kRuns) {
    std::string out;
    std::string command = CvieExecutable().string() + " rules bench --rule-text " +
                          rules + " --urls " + urls + run.flags + " 2>/dev/null";
    ASSERT_EQ(RunCommand(command, &out), 0) << run.flags;
    Figures f;
    ASSERT_TRUE(ParseFigures(out, &f)) << run.flags << ": " << out;
    EXPECT_EQ(f.rules, 6u) << run.flags;
    EXPECT_EQ(f.bad, 1u) << run.flags;
    EXPECT_EQ(f.checks, 7u) << run.flags;  // the unknown kind is not a check
    EXPECT_EQ(f.blocked, 4u) << run.flags;
    EXPECT_GE(f.load_ms, 0) << run.flags;
    EXPECT_GE(f.us_per_check, 0) << run.flags;
  }
}

TEST(RulesBenchCommandTest, MissingFilesFail) {
  ScopedCvieRoot root;
  const std::string missing = (root.path() / "missing").string();
  const std::string command_rules = CvieExecutable().string() +
                                    " rules bench --rule-text " + missing + " --urls " +
                                    missing + " 2>&1";
  std::string out;
  EXPECT_NE(RunCommand(command_rules, &out), 0);
  EXPECT_NE(out.find("cvie: "), std::string::npos) << out;
}

}  // namespace
}  // namespace cvie
