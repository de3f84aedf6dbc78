// Reading a list: metadata, rule kinds, hiding rules and their exceptions,
// and lines skipped by reason.

#include <string>

#include <gtest/gtest.h>

#include "lists/filter_list.h"

namespace cvie::lists {
namespace {

const char kList[] =
    "\xEF\xBB\xBF[Adblock Plus 2.0]\r\n"
    "! Title: Test list\r\n"
    "! Version: 202607140953\r\n"
    "! Expires: 4 days (update frequency)\r\n"
    "\r\n"
    "||ads.example^$third-party\r\n"
    "@@||ads.example/ok/$script,domain=a.example|~b.a.example\r\n"
    "@@||site.example^$document\r\n"
    "@@||site.example^$generichide\r\n"
    "##.ad-box\r\n"
    "a.example,~b.a.example##div.banner\r\n"
    "a.example#@#.ad-box\r\n"
    "#@##sponsor\r\n"
    "a.example#?#div:-abp-has(.ad)\r\n"
    "a.example#$#abort-on-property-read x\r\n"
    "a.example##+js(nowebrtc)\r\n"
    "||cdn.example^$csp=script-src 'none'\r\n"
    "||cdn.example^$redirect=noop.js\r\n"
    "||cdn.example^$rewrite=abp-resource:blank-js\r\n"
    "||cdn.example^$script,unknownword\r\n"
    "shop.*##div[class$=\"-sponsored\"]\r\n";

TEST(FilterListParse, ReadsMetadataRulesAndSkippedLines) {
  FilterList list = ParseFilterList(kList, "test.txt");
  EXPECT_EQ(list.title, "Test list");
  EXPECT_EQ(list.version, "202607140953");
  EXPECT_EQ(list.expires_hours, 96);

  ASSERT_EQ(list.network.size(), 4u);
  EXPECT_EQ(list.network[0].line, 6u);
  EXPECT_EQ(list.network[0].party, Party::kThird);
  EXPECT_EQ(list.network[0].types, kDefaultTypes);
  EXPECT_EQ(list.network[0].literal, "ads.example");
  const NetworkRule& exception = list.network[1];
  EXPECT_TRUE(exception.exception);
  EXPECT_EQ(exception.types, kTypeScript);
  ASSERT_EQ(exception.domains.included.size(), 1u);
  EXPECT_EQ(exception.domains.included[0], "a.example");
  ASSERT_EQ(exception.domains.excluded.size(), 1u);
  EXPECT_EQ(exception.domains.excluded[0], "b.a.example");
  EXPECT_TRUE(list.network[2].page_document);
  EXPECT_TRUE(list.network[3].page_generichide);
  EXPECT_EQ(list.network[3].types, 0u);

  ASSERT_EQ(list.hiding.size(), 4u);
  EXPECT_EQ(list.hiding[0].selector, ".ad-box");
  EXPECT_TRUE(list.hiding[0].sites.empty());
  EXPECT_EQ(list.hiding[1].selector, "div.banner");
  EXPECT_TRUE(list.hiding[1].sites.Allows("www.a.example"));
  EXPECT_FALSE(list.hiding[1].sites.Allows("b.a.example"));
  EXPECT_TRUE(list.hiding[2].exception);
  EXPECT_TRUE(list.hiding[3].exception);
  EXPECT_TRUE(list.hiding[3].sites.empty());
  EXPECT_EQ(list.hiding[3].selector, "#sponsor");

  EXPECT_EQ(list.skipped["extended hiding syntax"], 3u);
  EXPECT_EQ(list.skipped["option csp="], 1u);
  EXPECT_EQ(list.skipped["option redirect="], 1u);
  EXPECT_EQ(list.skipped["option rewrite="], 1u);
  EXPECT_EQ(list.skipped["option unknownword"], 1u);
  EXPECT_EQ(list.skipped["hiding site not understood"], 1u);
  EXPECT_EQ(list.SkippedCount(), 8u);
}

TEST(FilterListParse, ClampsTheRefreshInterval) {
  EXPECT_EQ(ParseFilterList("! Expires: 30 days\n", "l").expires_hours, 14 * 24);
  EXPECT_EQ(ParseFilterList("! Expires: 6 hours\n", "l").expires_hours, 6);
  EXPECT_EQ(ParseFilterList("! Expires: 0 hours\n", "l").expires_hours, 5 * 24);
  EXPECT_EQ(ParseFilterList("||a.example^\n", "l").expires_hours, 5 * 24);
}

struct TranslationCase {
  const char* rule;
  const char* pattern;
};

TEST(FilterListParse, TranslatesPatternsToPcre2) {
  const TranslationCase kTranslations[] = {
      {"||a.example^",
       "^[a-z][a-z0-9+.\\-]*:\\/\\/(?:[^\\/?#]*\\.)?a\\.example"
       "(?:[^A-Za-z0-9_\\-.%]|\\z)"},
      {"|http://ad", "^http\\:\\/\\/ad"},
      {"swf|", "swf\\z"},
      {"/ads/**.gif", "\\/ads\\/.*\\.gif"},
      {"", ""},
  };
  for (const TranslationCase& c : kTranslations) {
    EXPECT_EQ(TranslatePattern(c.rule), c.pattern) << c.rule;
  }
}

}  // namespace
}  // namespace cvie::lists
