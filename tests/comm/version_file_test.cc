// Reading the version file: keys, values, numbers, rule slots and bounds.

#include "comm/version_file.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>

#include <sstream>
#include <string>

namespace cvie {
namespace {

struct NumberCase {
  const char* text;
  double value;
};

TEST(VersionNumber, ReadsDigitsAndOnePointLikeTheCLibrary) {
  static const std::string kHuge(400, '9');
  const NumberCase kCases[] = {
      {"2.2", strtod("2.2", nullptr)},
      {"  \t1.5", 1.5},
      {"1.4\r", 1.4},
      {"-1", -1.0},
      {"+3", 3.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"1.2.3", 1.2},
      {"1e5", 1.0},   // no exponent: digits and a point only
      {"0x10", 0.0},  // no hexadecimal
      {"nan", 0.0},
      {"inf", 0.0},
      {"= 2.0", 0.0},  // does not start with a number
      {"", 0.0},
      {".", 0.0},
      {"-", 0.0},
      {"12345678901234567890.5", 12345678901234567890.5},
      {kHuge.c_str(), HUGE_VAL},  // too large, as strtod says
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ParseVersionNumber(c.text), c.value) << "'" << c.text << "'";
  }
  EXPECT_EQ(ParseVersionNumber(nullptr), 0.0);
}

TEST(RuleSlots, OnlyTheFirstSlotHasATagAndLookupIgnoresCase) {
  RuleSlots slots;
  EXPECT_EQ(slots.slot(0).tag, "en");
  for (int i = 1; i < kRuleSlotCount; ++i) EXPECT_EQ(slots.slot(i).tag, "") << i;
  EXPECT_EQ(slots.Find("en"), 0);
  EXPECT_EQ(slots.Find("EN"), 0);
  EXPECT_EQ(slots.Find("eN"), 0);
  EXPECT_EQ(slots.Find("FR"), -1);
  EXPECT_EQ(slots.Find(""), -1);  // empty slots are never matched
}

struct LineCase {
  const char* name;
  std::string line;
  VersionLine kind;
  double minimum = 0, newest = 0, rule = 0;
  std::string minimum_url = "", newest_url = "", rule_url = "";
};

TEST(VersionLine, EachLineIsDecidedByTheFirstKeyOfTheTable) {
  const std::string long_url = "http://h/" + std::string(502, 'u');  // 511 characters
  const LineCase kCases[] = {
      {"minimum", "MinimumWin32IEVersionNum=2.3", VersionLine::kMinimumNumber, 2.3, 0, 0},
      {"blank equals blank", "MinimumWin32IEVersionNum = 2.0",
       VersionLine::kMinimumNumber, 0, 0, 0},
      {"blank separator", "NewestWin32IEVersionNum 2.2", VersionLine::kNewestNumber, 0,
       2.2, 0},
      {"any separator", "NewestWin32IEVersionNumX2.5", VersionLine::kNewestNumber, 0, 2.5,
       0},
      {"key anywhere", "# MinimumWin32IEVersionNum=3", VersionLine::kMinimumNumber, 3, 0,
       0},
      {"key at the end", "MinimumWin32IEVersionNum", VersionLine::kMinimumNumber, 0, 0,
       0},
      {"not a number", "MinimumWin32IEVersionNum=two", VersionLine::kMinimumNumber, 0, 0,
       0},
      {"minimum url", "MinimumWin32IEVersionUrl=http://h/min\r", VersionLine::kMinimumUrl,
       0, 0, 0, "http://h/min"},
      {"newest url", "NewestWin32IEVersionUrl=http://h/new", VersionLine::kNewestUrl, 0,
       0, 0, "", "http://h/new"},
      {"url of 511", "NewestWin32IEVersionUrl=" + long_url, VersionLine::kNewestUrl, 0, 0,
       0, "", long_url},
      {"url of 512", "NewestWin32IEVersionUrl=" + long_url + "x",
       VersionLine::kUrlTooLong, 0, 0, 0},
      {"rule version", "NewestenRuleVersionNum=1.4", VersionLine::kRuleNumber, 0, 0, 1.4},
      {"rule tag case", "NewestENRuleVersionNum=1.6", VersionLine::kRuleNumber, 0, 0,
       1.6},
      {"rule url", "NewestenRuleVersionUrl=http://h/r.rle", VersionLine::kRuleUrl, 0, 0,
       0, "", "", "http://h/r.rle"},
      {"rule url too long", "NewestenRuleVersionUrl=" + long_url + "x",
       VersionLine::kUrlTooLong, 0, 0, 0},
      {"no Newest prefix", "RuleVersionNum=1.4", VersionLine::kIgnored, 0, 0, 0},
      {"prefix not at start", " NewestenRuleVersionNum=1.4", VersionLine::kIgnored, 0, 0,
       0},
      {"unknown tag", "NewestFRRuleVersionNum=1.4", VersionLine::kIgnored, 0, 0, 0},
      {"empty tag", "NewestRuleVersionNum=1.4", VersionLine::kIgnored, 0, 0, 0},
      {"tag of 24", "Newest" + std::string(24, 'e') + "RuleVersionNum=1.4",
       VersionLine::kIgnored, 0, 0, 0},
      {"table order wins", "NewestenRuleVersionNum=1.4 MinimumWin32IEVersionNum=9",
       VersionLine::kMinimumNumber, 9, 0, 0},
      {"no key", "Hello=1", VersionLine::kIgnored, 0, 0, 0},
      {"text ends at NUL", std::string("MinimumWin32IE\0VersionNum=5", 28),
       VersionLine::kIgnored, 0, 0, 0},
      {"empty", "", VersionLine::kIgnored, 0, 0, 0},
  };
  for (const auto& c : kCases) {
    VersionFileValues values;
    RuleSlots slots;
    EXPECT_EQ(ApplyVersionLine(c.line, &values, &slots), c.kind) << c.name;
    EXPECT_EQ(values.minimum, c.minimum) << c.name;
    EXPECT_EQ(values.newest, c.newest) << c.name;
    EXPECT_EQ(slots.slot(0).version, c.rule) << c.name;
    EXPECT_EQ(values.minimum_url, c.minimum_url) << c.name;
    EXPECT_EQ(values.newest_url, c.newest_url) << c.name;
    EXPECT_EQ(slots.slot(0).url, c.rule_url) << c.name;
  }
}

TEST(VersionLine, ATooLongUrlKeepsTheValueReadBefore) {
  VersionFileValues values;
  RuleSlots slots;
  ApplyVersionLine("NewestenRuleVersionUrl=http://h/first.rle", &values, &slots);
  ApplyVersionLine("NewestenRuleVersionUrl=http://h/" + std::string(600, 'x'), &values,
                   &slots);
  EXPECT_EQ(slots.slot(0).url, "http://h/first.rle");
  ApplyVersionLine("NewestenRuleVersionUrl=http://h/second.rle", &values, &slots);
  EXPECT_EQ(slots.slot(0).url, "http://h/second.rle");
}

TEST(VersionFileReader, SkipsOverlongLinesWholeAndReadsTheRest) {
  // "MinimumWin32IEVersionNum=" is 25 characters; blanks before a number are skipped.
  const std::string fits = "MinimumWin32IEVersionNum=" + std::string(995, ' ') + "2.5";
  const std::string too_long =
      "MinimumWin32IEVersionNum=" + std::string(996, ' ') + "2.5";
  ASSERT_EQ(fits.size(), 1023u);
  struct Case {
    const char* name;
    std::string text;
    double minimum, newest;
    int lines, long_lines;
  };
  const Case kCases[] = {
      {"1023 characters fit", fits + "\n", 2.5, 0, 1, 0},
      {"and a carriage return", fits + "\r\n", 2.5, 0, 1, 0},
      {"1024 characters are skipped", too_long + "\nNewestWin32IEVersionNum=2.5\n", 0,
       2.5, 1, 1},
      {"1024 at the end of the file", too_long, 0, 0, 0, 1},
      // The tail of an overlong line is not read as a line of its own.
      {"tail not applied",
       std::string(1020, '#') +
           "MinimumWin32IEVersionNum=9.9\nNewestWin32IEVersionNum=3\n",
       0, 3, 1, 1},
      {"last line without line feed", "MinimumWin32IEVersionNum=2.5", 2.5, 0, 1, 0},
      {"carriage returns",
       "MinimumWin32IEVersionNum=2.4\r\nNewestWin32IEVersionNum=2.6\r\n", 2.4, 2.6, 2, 0},
      {"empty lines", "\n\n\nNewestWin32IEVersionNum=2.7\n\n", 0, 2.7, 1, 0},
      {"a megabyte line", std::string(1 << 20, 'z') + "\nMinimumWin32IEVersionNum=4\n", 4,
       0, 1, 1},
      {"empty file", "", 0, 0, 0, 0},
  };
  for (const auto& c : kCases) {
    VersionFileValues values;
    RuleSlots slots;
    std::istringstream in(c.text);
    VersionFileStats stats = ReadVersionFile(in, &values, &slots);
    EXPECT_EQ(values.minimum, c.minimum) << c.name;
    EXPECT_EQ(values.newest, c.newest) << c.name;
    EXPECT_EQ(stats.lines, c.lines) << c.name;
    EXPECT_EQ(stats.long_lines, c.long_lines) << c.name;
  }
}

TEST(VersionFileReader, CountsIgnoredUrls) {
  VersionFileValues values;
  RuleSlots slots;
  std::istringstream in("MinimumWin32IEVersionUrl=" + std::string(600, 'a') +
                        "\nNewestWin32IEVersionUrl=http://h/n\n");
  VersionFileStats stats = ReadVersionFile(in, &values, &slots);
  EXPECT_EQ(stats.ignored_urls, 1);
  EXPECT_EQ(values.minimum_url, "");
  EXPECT_EQ(values.newest_url, "http://h/n");
}

}  // namespace
}  // namespace cvie
