// Reading a plain rule list: every line reaches the parser whole, without its
// line end, in file order, up to a stop directive.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "rules/rule_text.h"
#include "rules/rules_holder.h"

namespace cvie {
namespace {

using testing::ScopedCvieRoot;
using testing::WriteFile;

struct RuleTextCase {
  const char* name;
  std::string contents;
  std::vector<std::string> patterns;
};

TEST(RuleText, PassesEveryLineWithoutItsLineEnd) {
  const std::string long_rule = "/" + std::string(5000, 'a') + "/";
  const RuleTextCase kCases[] = {
      {"unix line ends", "/one/\n/two/\n", {"\\/one\\/", "\\/two\\/"}},
      {"windows line ends", "/one/\r\n/two/\r\n", {"\\/one\\/", "\\/two\\/"}},
      {"no final line end", "/one/\n/two/", {"\\/one\\/", "\\/two\\/"}},
      {"short lines are rules too", "ad\nx\n", {"ad", "x"}},
      {"comments and blanks", "! c\n\n   \n/one/\n", {"\\/one\\/"}},
      {"stop directive", "/one/\r\n!CV STOP 2.2\r\n/two/\n", {"\\/one\\/"}},
      {"older stop directive",
       "/one/\n!CV STOP 1.0\n/two/\n",
       {"\\/one\\/", "\\/two\\/"}},
      {"long line",
       long_rule + "\n/two/\n",
       {"\\/" + std::string(5000, 'a') + "\\/", "\\/two\\/"}},
      {"empty file", "", {}},
  };
  ScopedCvieRoot root;
  for (const RuleTextCase& c : kCases) {
    auto path = root.path() / "rules.txt";
    WriteFile(path, c.contents);
    RulesHolder holder;
    ASSERT_TRUE(ReadRuleText(path.string(), &holder)) << c.name;
    std::vector<std::string> patterns;
    for (size_t i = 0; i < holder.RuleCount(); ++i)
      patterns.push_back(holder.Rule(i).pattern);
    EXPECT_EQ(patterns, c.patterns) << c.name;
    EXPECT_FALSE(holder.loaded()) << c.name;
  }
}

TEST(RuleText, FailsOnAMissingFileOrAFolder) {
  ScopedCvieRoot root;
  RulesHolder holder;
  EXPECT_FALSE(ReadRuleText((root.path() / "missing.txt").string(), &holder));
  EXPECT_FALSE(ReadRuleText(root.path().string(), &holder));
  EXPECT_EQ(holder.RuleCount(), 0u);
}

}  // namespace
}  // namespace cvie
