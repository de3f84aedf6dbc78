// Rule text: translation into patterns, option words, ignored lines, stop
// directives and rules that do not compile.

#include <locale.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "rules/rule_options.h"
#include "rules/rules_holder.h"
#include "rules_test_support.h"

namespace cvie {
namespace {

using testing::HolderWith;
using testing::LogWatch;

[[maybe_unused]] ::testing::Environment* const kLogFolders =
    ::testing::AddGlobalTestEnvironment(new testing::LogFolderEnvironment);

struct TranslationCase {
  const char* rule;
  const char* pattern;
  uint32_t options;
};

const TranslationCase kTranslations[] = {
    {"/banner/*.gif", "\\/banner\\/.*\\.gif", 0xFFFBFF},
    {"|http://ad", "^http:\\/\\/ad", 0xFFFBFF},
    {"swf|", "swf\\Z", 0xFFFBFF},
    {"*/ads/*", "\\/ads\\/", 0xFFFBFF},
    {"a**", "a.*", 0xFFFBFF},
    {"*a*b*", "a.*b", 0xFFFBFF},
    // A run of wildcards is one: the same texts match without the matcher
    // trying every split of a text among them (which took seconds a check).
    {"s*****************criext'=", "s.*criext'=", 0xFFFBFF},
    {"a***b**", "a.*b.*", 0xFFFBFF},
    {"***a", ".*a", 0xFFFBFF},
    {"||ad", "^|ad", 0xFFFBFF},
    {"ad+", "ad+", 0xFFFBFF},
    {"/ad?id=1.2", "\\/ad\\?id=1\\.2", 0xFFFBFF},
    {"ad[0-9]{2}(x|y)", "ad[0-9]{2}(x|y)", 0xFFFBFF},
    {"foo$image", "foo", 0x2},
    {"foo$imagery", "foo", 0x2},
    {"foo$imagelink", "foo", 0x22},
    {"foo$image object,,link", "foo", 0x32},
    {"foo$IMAGE", "foo$IMAGE", 0xFFFBFF},
    {"foo$", "foo$", 0xFFFBFF},
    {"a$b$image", "a$b", 0x2},
    {"foo$~image", "foo", 0xFFFFFD},
    {"foo$image,~object", "foo", 0xFFFFED},
    {"foo$image,~popup", "foo", 0xFFFFFD},
    {"foo$match-case", "foo", 0x1FFFBFF},
    {"foo$~match-case", "foo", 0x1FFFBFF},
    {"foo$collapse", "foo", 0x2FFFBFF},
    {"foo$image,match-case", "foo", 0x1000002},
    {"foo$~image,match-case", "foo", 0x1FFFFFD},
    {"foo$script", "foo", 0x100},
    {"foo$script-url", "foo", 0x200},
    {"foo$script-text", "foo", 0x400},
    {"foo$scripts", "foo", 0x100},
    {"foo$div,marquee", "foo", 0x1800},
    {"foo$subdocument,document,other", "foo", 0xC1},
    {"foo$stylesheet,background", "foo", 0xC},
    {"foo/*$stylesheet", "foo\\/", 0x8},
    {"/ads/$image \t\r\n", "\\/ads\\/", 0x2},
    {"/ads/ \r", "\\/ads\\/", 0xFFFBFF},
    {"  /ads/", "  \\/ads\\/", 0xFFFBFF},
};

TEST(RuleTranslation, TranslatesWildcardsAnchorsEscapesAndOptions) {
  for (const TranslationCase& c : kTranslations) {
    RulesHolder holder;
    ASSERT_EQ(holder.ParseRule(c.rule), 1) << c.rule;
    ASSERT_EQ(holder.RuleCount(), 1u) << c.rule;
    const FilterRule& rule = holder.Rule(0);
    EXPECT_EQ(rule.pattern, c.pattern) << c.rule;
    EXPECT_EQ(rule.options, c.options) << std::hex << c.rule;
    EXPECT_EQ(rule.good, 1) << c.rule;
    EXPECT_NE(rule.compiled, nullptr) << c.rule;
  }
}

TEST(RuleTranslation, LineEndsAtItsFirstNulByte) {
  RulesHolder holder;
  ASSERT_EQ(holder.ParseRule(std::string("/ads/\0(", 7)), 1);
  EXPECT_EQ(holder.Rule(0).pattern, "\\/ads\\/");
  EXPECT_EQ(holder.Rule(0).good, 1);
  EXPECT_EQ(holder.ParseRule(std::string("\0/ads/", 6)), 0);
}

TEST(RuleTranslation, CompilesCaselessUnlessMatchCase) {
  RulesHolder holder;
  ASSERT_EQ(holder.ParseRule("/Banner/"), 1);
  ASSERT_EQ(holder.ParseRule("/Banner/$match-case"), 1);
  EXPECT_TRUE(holder.Rule(0).caseless());
  EXPECT_FALSE(holder.Rule(1).caseless());
  EXPECT_NE(holder.Rule(0).compile_options(), holder.Rule(1).compile_options());
  EXPECT_GT(holder.MatchRule(0, "http://x/banner/a"), 0);
  EXPECT_EQ(holder.MatchRule(1, "http://x/banner/a"), 0);
  EXPECT_GT(holder.MatchRule(1, "http://x/Banner/a"), 0);
}

TEST(RuleTranslation, KeywordTableHasItsOrder) {
  const char* const kOrder[] = {"image",       "background",  "stylesheet", "object",
                                "link",        "subdocument", "document",   "other",
                                "match-case",  "collapse",    "div",        "script-url",
                                "script-text", "script",      "marquee"};
  ASSERT_EQ(kRuleKeywordCount, sizeof(kOrder) / sizeof(kOrder[0]));
  for (size_t i = 0; i < kRuleKeywordCount; ++i) {
    EXPECT_STREQ(kRuleKeywords[i].keyword, kOrder[i]) << i;
  }
  EXPECT_EQ(DEFAULT_TYPE_MASK, 0xFFFBFFu);
}

struct OptionsCase {
  const char* line;
  uint32_t word;
};

const OptionsCase kOptions[] = {
    {"x$image", 0x2},
    {"x$imagexyz", 0x2},
    {"x$xyzimage", 0x0},
    {"x$xyz image", 0x2},
    {"x$~image", 0xFFFFFD},
    {"x$image,~object", 0xFFFFED},
    {"x$~image,~object", 0xFFFFED},
    {"x$~match-case", 0x1000000},
    {"x$~collapse,match-case", 0x3000000},
    {"x$~image,collapse", 0x2FFFFFD},
    {"x$script-text,script-url,script", 0x700},
    {"x$~script", 0xFFFEFF},
    {"x$popup,third-party", 0x0},
    {"x$~", 0x0},
    {"x$", 0x0},
    {"x$\t ,", 0x0},
};

TEST(RuleOptions, ReadsKeywordsByPrefixAndNegatesTheWholeList) {
  for (const OptionsCase& c : kOptions) {
    std::string line = c.line;
    EXPECT_EQ(RulesHolder::ParseOptions(line, line.rfind('$')), c.word)
        << std::hex << c.line;
  }
}

// Lines that never become rules.
const char* const kIgnoredLines[] = {
    "",
    "*",
    "**",
    "   \r\n",
    "$image",
    "*$image",
    "!CV",
    "!CV hello",
    "!CVSTOP 9",
    "! any comment",
    "!",
    "@@/ads/",
    "@@",
    "example#div.banner",
    "##.banner",
    "#",
    "/page.html#top",
    "/ads/$image#x",
};

TEST(RuleLines, IgnoresCommentsExceptionsHidingRulesAndEmptyPatterns) {
  for (const char* line : kIgnoredLines) {
    RulesHolder holder;
    EXPECT_EQ(holder.ParseRule(line), 0) << "[" << line << "]";
    EXPECT_EQ(holder.RuleCount(), 0u) << "[" << line << "]";
  }
}

TEST(RuleLines, HidingRuleIsAnyLineWithAHash) {
  EXPECT_TRUE(RulesHolder::IsHidingRule("#ad"));
  EXPECT_TRUE(RulesHolder::IsHidingRule("example.com##.ad"));
  EXPECT_TRUE(RulesHolder::IsHidingRule("/a#b"));
  EXPECT_FALSE(RulesHolder::IsHidingRule("/ads/"));
}

struct DirectiveCase {
  const char* line;
  int result;
};

const DirectiveCase kDirectives[] = {
    {"!CV STOP 2.2", -1},  {"!CV STOP 2.21", -1},  {"!CV STOP 3", -1},
    {"!CV STOP 10.0", -1}, {"!CV STOP 2.2\r", -1}, {"!CV STOP  2.5", -1},
    {"!CV STOP 2.1", 0},   {"!CV STOP 2", 0},      {"!CV STOP 0.9", 0},
    {"!CV STOPX", 0},      {"!CV STOP", 0},        {"!CV STOP ", 0},
    {"!CV STOP x", 0},     {"!CV stop 9", 0},      {"!CV  STOP 9", 0},
    {"!CV QUIT 9", 0},
};

TEST(StopDirective, StopsOnlyAtAVersionNotBelowTheProgram) {
  for (const DirectiveCase& c : kDirectives) {
    RulesHolder holder;
    EXPECT_EQ(holder.ParseRule(c.line), c.result) << c.line;
    EXPECT_EQ(holder.RuleCount(), 0u) << c.line;
  }
}

TEST(StopDirective, ReadsTheNumberWithADotWhateverTheLocale) {
  // In a locale whose decimal separator is a comma, "2.1" must not read as 2
  // (which would stop reading rules meant for this version). The locale is
  // compiled into the test's own folder when the system lacks it.
  testing::ScopedCvieRoot root;
  std::string previous = setlocale(LC_NUMERIC, nullptr);
  const char* chosen = setlocale(LC_NUMERIC, "de_DE.UTF-8");
  if (chosen == nullptr) {
    std::string folder = root.path().string();
    testing::RunCommand(
        "localedef -i de_DE -f UTF-8 '" + folder + "/de_DE.UTF-8' 2>/dev/null", nullptr);
    setenv("LOCPATH", folder.c_str(), 1);
    chosen = setlocale(LC_NUMERIC, "de_DE.UTF-8");
    unsetenv("LOCPATH");
  }
  if (chosen == nullptr) GTEST_SKIP() << "no locale with a decimal comma available";
  ASSERT_EQ(*localeconv()->decimal_point, ',');
  int older = RulesHolder::CheckStopDirective("!CV STOP 2.1", 4);
  int same = RulesHolder::CheckStopDirective("!CV STOP 2.2", 4);
  int newer = RulesHolder::CheckStopDirective("!CV STOP 2.3", 4);
  setlocale(LC_NUMERIC, previous.c_str());
  EXPECT_EQ(older, 0);
  EXPECT_EQ(same, 1);
  EXPECT_EQ(newer, 1);
}

TEST(StopDirective, LinesAfterTheDirectiveAreNotPassed) {
  auto holder = HolderWith({"/one/", "!CV STOP 2.2", "/two/"});
  EXPECT_EQ(holder->RuleCount(), 1u);
  EXPECT_EQ(holder->Rule(0).pattern, "\\/one\\/");
}

TEST(BadRules, AreKeptLoggedCountedAndNeverMatch) {
  const char* const kBadRules[] = {"ad(",  "[z-a]",         "ad)x",
                                   "ad\\", "\xff\xfe/ads/", "a{2,1}"};
  for (const char* text : kBadRules) {
    LogWatch log;
    RulesHolder holder;
    EXPECT_EQ(holder.ParseRule(text), 1) << text;
    ASSERT_EQ(holder.RuleCount(), 1u) << text;
    const FilterRule& rule = holder.Rule(0);
    EXPECT_EQ(rule.good, 0) << text;
    EXPECT_EQ(rule.compiled, nullptr) << text;
    EXPECT_EQ(holder.BadRuleCount(), 1u) << text;
    EXPECT_FALSE(holder.compile_error_message().empty()) << text;
    std::string expected = "Rule compilation failed at offset " +
                           std::to_string(holder.compile_error_offset()) + " : " +
                           holder.compile_error_message();
    EXPECT_EQ(log.Count(expected), 1u) << text << "\nlog: " << log.NewText();
    for (int kind = 0; kind < kElementKindCount; ++kind) {
      EXPECT_FALSE(holder.CheckElement(kind, text, 0)) << text << " kind " << kind;
    }
    EXPECT_FALSE(holder.CheckScript(text, 0)) << text;
    EXPECT_EQ(holder.MatchRule(0, text), 0) << text;
  }
}

TEST(BadRules, OffsetPointsAtTheFault) {
  RulesHolder holder;
  ASSERT_EQ(holder.ParseRule("ad("), 1);
  EXPECT_EQ(holder.compile_error_offset(), 3);
  ASSERT_EQ(holder.ParseRule("a[z-a]"), 1);
  EXPECT_EQ(holder.compile_error_offset(), 4);
}

TEST(BadRules, EachCheckLogsTheMatcherErrorAndTriesTheNextRule) {
  auto holder = HolderWith({"ad(", "/ads/"});
  ASSERT_EQ(holder->BadRuleCount(), 1u);
  LogWatch log;
  EXPECT_TRUE(holder->CheckElement(kImageElement, "http://x/ads/a.gif", 0));
  EXPECT_EQ(log.Count("Matching error "), 1u) << log.NewText();
}

TEST(RuleCount, LogsEveryRuleInTheListBadOnesIncluded) {
  auto holder = HolderWith({"/one/", "ad(", "! comment", "/two/", "#hide"});
  LogWatch log;
  holder->LogRuleCount();
  EXPECT_EQ(log.Count("3 good rules loaded."), 1u) << log.NewText();
}

}  // namespace
}  // namespace cvie
