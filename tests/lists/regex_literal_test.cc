// The run of characters the rule index looks for on behalf of a /regex/ rule:
// the longest one every match holds, and none where the pattern reads in a
// way the reader does not follow (alternation, inline options, quoting,
// escapes it does not know, a "{" that is no quantifier).

#define PCRE2_CODE_UNIT_WIDTH 8
#include <ctype.h>

#include <string>

#include <gtest/gtest.h>

#include "lists/regex_literal.h"
#include "pcre2_matches.h"

namespace cvie::lists {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

struct LiteralCase {
  const char* pattern;
  const char* literal;  // expected run ("" for none)
  const char* match;    // a text the pattern matches, or null
};

const LiteralCase kCases[] = {
    {"(https?:\\/\\/)104\\.154\\..{100,}", "104.154.", nullptr},
    {"^https?:\\/\\/www\\.[0-9a-z]{8,}\\.com\\/[0-9a-z]{1,4}\\.js$", "://www.",
     "https://www.abcdefgh.com/ab.js"},
    {"\\/[0-9a-f]{32}\\/invoke\\.js", "/invoke.js",
     "http://x.net/0123456789abcdef0123456789abcdef/invoke.js"},
    {"\\w{30,}\\.me\\/\\w{30,}\\.", ".me/", nullptr},
    // An optional or repeated character ends the run; a "+" keeps it once.
    {"banners?", "banner", "http://a.net/BANNER.gif"},
    {"trackerx*y", "tracker", "http://a.net/trackery"},
    {"abc+?de", "abc", "http://a.net/abcccde"},
    {"pixel{2}ab", "pixe", "http://a.net/pixellab"},
    {"x{2,}yz", "yz", "http://a.net/xxxyz"},
    // Groups, classes and class escapes end runs; the longest run wins.
    {"ab(cd|ef)ghij", "ghij", "http://a.net/abefghij"},
    {"[]a]bcd", "bcd", "http://a.net/]bcd"},
    {"[[:digit:]]adserve", "adserve", "http://a.net/7adserve"},
    {"ad\\dvert", "vert", "http://a.net/ad7vert"},
    {"ad.vert", "vert", "http://a.net/adXvert"},
    // Nothing certain.
    {"adbanner|tracker", "", "http://a.net/tracker"},
    {"(?i)adbanner", "", nullptr},
    {"\\Qad.banner\\E", "", nullptr},
    {"(ads)\\1banner", "", nullptr},
    {"\\x41dbanner", "", nullptr},
    {"ad{x|tracker}", "", nullptr},
    {"ads{", "", nullptr},
    {"[abc", "", nullptr},
    {"(abc", "", nullptr},
};

TEST(RegexLiteral, FindsTheLongestRunEveryMatchHolds) {
  for (const LiteralCase& c : kCases) {
    const std::string literal = RequiredLiteralOfRegex(c.pattern);
    EXPECT_EQ(literal, c.literal) << c.pattern;
    if (c.match == nullptr) continue;
    ASSERT_TRUE(Pcre2Matches(c.pattern, /*match_case=*/false, c.match))
        << c.pattern << " on " << c.match;
    EXPECT_NE(Lower(c.match).find(Lower(literal)), std::string::npos)
        << c.pattern << " on " << c.match;
  }
}

}  // namespace
}  // namespace cvie::lists
