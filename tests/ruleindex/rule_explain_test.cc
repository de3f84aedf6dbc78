// The holder names the rule that decided a check: the first rule in list order
// that matches, the same through the index as rule by rule, as
// "<file name>:<line>: <rule text>", with the decision of CheckElement.

#include <string.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "rules/rule_file.h"
#include "rules/rule_loading.h"
#include "rules/rule_text.h"
#include "rules/rules_holder.h"

namespace cvie {
namespace {

using testing::ScopedCvieRoot;

// A small rule text: comments, a hiding rule and a blank line take line
// numbers too; several rules match the same texts so that the order matters.
const char kRuleText[] =
    "! Corvane test rules\n"     // 1
    "/banner/\n"                 // 2
    "example.com##.ad\n"         // 3 hiding rule: not a rule here
    "\n"                         // 4
    "/ads/$image\n"              // 5
    "ads\n"                      // 6
    "@@/ads/good\n"              // 7 exception: ignored by the holder
    "track*js$script-url  \r\n"  // 8 (trailing blanks are not part of it)
    "adframe$script-text\n"      // 9
    "(pop|up)\\1under\n"         // 10 approximated by the index
    "k[.]k\n"                    // 11
    "x[^/]y\n"                   // 12
    "caf\xc3\xa9\n";             // 13

struct NameCase {
  int kind;  // -1: a script block
  const char* text;
  const char* rule;  // empty: allowed
};

const NameCase kNameCases[] = {
    {kImageElement, "http://x/banner/ads/a.gif", "rules.txt:2: /banner/"},
    {kImageElement, "http://x/ads/a.gif", "rules.txt:5: /ads/$image"},
    {kLinkElement, "http://x/ads/a", "rules.txt:6: ads"},
    {kLinkElement, "http://x/nothing", ""},
    {kLinkElement, "", ""},
    {kLinkElement, "http://x/poppopunder", "rules.txt:10: (pop|up)\\1under"},
    {kLinkElement, "http://x/k.k", "rules.txt:11: k[.]k"},
    {kLinkElement, "http://x\xc3\xa9y/caf\xc3\xa9", "rules.txt:12: x[^/]y"},
    {kLinkElement, "http://z/CAF\xc3\x89", "rules.txt:13: caf\xc3\xa9"},
    {-1, "var f = 'adframe'; load(\"http://t/track.js\");",
     "rules.txt:9: adframe$script-text"},
    {-1, "load(\"http://t/track.js\");", "rules.txt:8: track*js$script-url"},
    {-1, "load(\"http://t/clean.js\");", ""},
};

std::unique_ptr<RulesHolder> ReadRules(const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / "rules.txt";
  std::ofstream(path, std::ios::binary) << kRuleText;
  auto holder = std::make_unique<RulesHolder>();
  EXPECT_TRUE(ReadRuleText(path.string(), holder.get()));
  holder->set_loaded(true);
  return holder;
}

TEST(RuleExplainTest, NamesTheFirstMatchingRuleByFileLineAndText) {
  ScopedCvieRoot root;
  auto holder = ReadRules(root.path());
  ASSERT_TRUE(holder->EnableIndex(std::wstring()));
  for (bool reference : {false, true}) {
    holder->set_reference_scan(reference);
    for (const NameCase& c : kNameCases) {
      SCOPED_TRACE(std::string(reference ? "rule by rule: " : "index: ") + c.text);
      CheckVerdict verdict;
      verdict.exception = "left over";
      bool blocked = c.kind < 0
                         ? holder->ExplainScriptCheck(c.text, 0, &verdict)
                         : holder->ExplainElementCheck(c.kind, c.text, 0, &verdict);
      bool checked = c.kind < 0 ? holder->CheckScript(c.text, 0)
                                : holder->CheckElement(c.kind, c.text, 0);
      EXPECT_EQ(blocked, checked);
      EXPECT_EQ(verdict.blocked, blocked);
      EXPECT_EQ(blocked, c.rule[0] != '\0');
      EXPECT_EQ(verdict.rule, c.rule);
      EXPECT_EQ(verdict.exception, "");
    }
  }
  holder->set_reference_scan(false);
  CheckVerdict verdict;
  EXPECT_FALSE(holder->ExplainElementCheck(kLinkElement, nullptr, 0, &verdict));
  EXPECT_FALSE(holder->ExplainElementCheck(99, "ads", 0, &verdict));
  EXPECT_FALSE(holder->ExplainScriptCheck(nullptr, 0, &verdict));
}

// An enciphered rule file names its rules by its file name and the line in
// its plain text; short lines the reader skips still count.
TEST(RuleExplainTest, RuleFileNamesRulesByFileNameAndLine) {
  ScopedCvieRoot root;
  const std::filesystem::path plain = root.path() / "plain.txt";
  const std::filesystem::path file = root.path() / "cvie.rle";
  std::ofstream(plain, std::ios::binary) << kRuleText;
  ASSERT_EQ(EncipherRuleFile(plain.string(), file.string(), '2', '1'), 0);
  std::unique_ptr<RulesHolder> holder = LoadRuleFile(file.wstring());
  ASSERT_NE(holder, nullptr);
  for (const NameCase& c : kNameCases) {
    CheckVerdict verdict;
    if (c.kind < 0) {
      holder->ExplainScriptCheck(c.text, 0, &verdict);
    } else {
      holder->ExplainElementCheck(c.kind, c.text, 0, &verdict);
    }
    std::string expected = c.rule;
    if (!expected.empty()) expected.replace(0, strlen("rules.txt"), "cvie.rle");
    // The reader never hands on a line as short as "ads": no rule there.
    if (expected == "cvie.rle:6: ads") expected.clear();
    EXPECT_EQ(verdict.rule, expected) << c.text;
  }
}

// Generated texts over rules that overlap: the index names the same rule as
// the rule-by-rule scan on every text and every kind.
TEST(RuleExplainTest, IndexNamesTheSameRuleAsTheRuleScan) {
  const char* const kRules[] = {"ad",         "ads",     "/ads/", "ban(ner|nr)s",
                                "[0-9]{3}px", "colou?r", "x*y",   "caf\xc3\xa9",
                                "\\bword\\b", "s$image", "ad(",   "(?=xy)x",
                                "q$div",      "http://", "/b"};
  const char* const kFragments[] = {"http://",  "ad",     "s", "/", "banner",
                                    "123px",    "color",  "x", "y", "caf",
                                    "\xc3\xa9", " word ", "q", "b"};
  RulesHolder holder;
  for (const char* rule : kRules) holder.ParseRule(rule);
  holder.set_source_name("list");
  holder.set_loaded(true);
  ASSERT_TRUE(holder.EnableIndex(std::wstring()));
  std::mt19937 random(77);
  std::uniform_int_distribution<size_t> pick(0, std::size(kFragments) - 1);
  size_t blocked = 0;
  for (int n = 0; n < 2000; ++n) {
    std::string text;
    for (int i = static_cast<int>(random() % 6); i >= 0; --i)
      text += kFragments[pick(random)];
    for (int kind = -1; kind < kElementKindCount; ++kind) {
      CheckVerdict indexed, reference;
      holder.set_reference_scan(false);
      if (kind < 0) {
        holder.ExplainScriptCheck(text.c_str(), 0, &indexed);
      } else {
        holder.ExplainElementCheck(kind, text.c_str(), 0, &indexed);
      }
      holder.set_reference_scan(true);
      if (kind < 0) {
        holder.ExplainScriptCheck(text.c_str(), 0, &reference);
      } else {
        holder.ExplainElementCheck(kind, text.c_str(), 0, &reference);
      }
      EXPECT_EQ(indexed.blocked, reference.blocked) << kind << " [" << text << "]";
      EXPECT_EQ(indexed.rule, reference.rule) << kind << " [" << text << "]";
      blocked += reference.blocked ? 1 : 0;
    }
  }
  holder.set_reference_scan(false);
  EXPECT_GT(blocked, 1000u);
  // Lines given one by one are numbered from 1.
  EXPECT_EQ(holder.RuleName(1), "list:2: ads");
}

}  // namespace
}  // namespace cvie
