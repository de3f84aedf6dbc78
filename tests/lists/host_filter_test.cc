// The decision on a whole host (CONNECT tunnels): which rules are host-level,
// how exceptions and important rules act, and which rule is named.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lists/host_filter.h"

namespace cvie::lists {
namespace {

const char kAds[] =
    "! Title: Ads list\n"
    "||ads.example^\n"                         // 2
    "||tracker.example\n"                      // 3
    "||third.example^$third-party\n"           // 4
    "||onpage.example^$domain=news.example\n"  // 5
    "||scripts.example^$script\n"              // 6
    "||pathy.example/ads/\n"                   // 7
    "||all.example^$script,image,stylesheet,object,subdocument,xhr,media,font,"
    "websocket,ping,other\n"                      // 8
    "||cdn.ads.example^\n"                        // 9
    "@@||ok.ads.example^\n"                       // 10
    "@@||ads.example/allowed/$script\n"           // 11
    "@@||cdn.ads.example^$domain=news.example\n"  // 12
    "||strong.example^$important\n"               // 13
    "@@||strong.example^\n"                       // 14
    "@@||x.tracker.example^$script\n"             // 15
    "@@||hide.example^$elemhide\n"                // 16
    "@@/banner/*$image\n"                         // 17
    "||*.wild.example^\n"                         // 18
    "||ads.example:8443^\n";                      // 19

const char kSecond[] = "||second.example^\n@@||ads.example^$third-party\n";

struct HostCase {
  const char* host;
  bool blocked;
  uint32_t line;  // of the rule that decided; 0: none
  const char* list;
};

TEST(HostFilter, DecidesByHostAndParentDomains) {
  std::vector<FilterList> lists;
  lists.push_back(ParseFilterList(kAds, "ads.txt"));
  lists.push_back(ParseFilterList(kSecond, "second.txt"));
  HostFilter filter(lists);

  const HostCase cases[] = {
      {"ads.example", true, 2, "Ads list"},
      {"www.ADS.example.", true, 2, "Ads list"},
      {"badads.example", false, 0, ""},
      {"ads.example.evil.net", false, 0, ""},
      {"tracker.example", true, 3, "Ads list"},
      {"a.b.tracker.example", true, 3, "Ads list"},
      // Page-dependent and type-restricted rules block no tunnel.
      {"third.example", false, 0, ""},
      {"onpage.example", false, 0, ""},
      {"scripts.example", false, 0, ""},
      {"pathy.example", false, 0, ""},
      // Every page type named: the whole host.
      {"all.example", true, 8, "Ads list"},
      // A host-level exception under a blocked domain opens it.
      {"ok.ads.example", false, 10, "Ads list"},
      {"v.ok.ads.example", false, 10, "Ads list"},
      // domain= exception cannot be judged: the block stays.
      {"cdn.ads.example", true, 9, "Ads list"},
      // important beats the exception.
      {"strong.example", true, 13, "Ads list"},
      // A type-restricted exception still undoes the whole-host block.
      {"x.tracker.example", false, 15, "Ads list"},
      {"second.example", true, 1, "second.txt"},
      {"wild.example", false, 0, ""},
      {"", false, 0, ""},
      {"[::1]", false, 0, ""},
  };
  for (const HostCase& c : cases) {
    SCOPED_TRACE(c.host);
    HostDecision d = filter.Decide(c.host);
    EXPECT_EQ(d.blocked, c.blocked);
    if (c.line == 0) {
      EXPECT_EQ(d.rule, nullptr);
    } else {
      ASSERT_NE(d.rule, nullptr);
      EXPECT_EQ(d.rule->line, c.line);
      EXPECT_EQ(d.rule->list, c.list);
    }
  }
  // 11, 12, 17 and the $third-party one of the second list; not the
  // elemhide-only exception (it says nothing about requests).
  EXPECT_EQ(filter.page_dependent_exceptions(), 4u);
}

TEST(HostFilter, NamesTheRuleAsWritten) {
  std::vector<FilterList> lists;
  lists.push_back(ParseFilterList("||Ads.Example^$important\n", "x.txt"));
  HostFilter filter(lists);
  HostDecision d = filter.Decide("ads.example");
  ASSERT_TRUE(d.blocked);
  ASSERT_NE(d.rule, nullptr);
  EXPECT_EQ(d.rule->text, "||Ads.Example^$important");
  EXPECT_TRUE(d.rule->important);
  EXPECT_EQ(d.rule->list, "x.txt");
}

TEST(HostFilter, HostOfRuleTakesOnlyBareHostPatterns) {
  struct Case {
    const char* text;
    const char* host;
  } cases[] = {
      {"||a.example^", "a.example"},
      {"@@||A.example", "a.example"},
      {"||a.example^$script", "a.example"},
      {"||a.example/x", ""},
      {"||a.example^*", ""},
      {"|https://a.example^", ""},
      {"||a*.example^", ""},
      {"||.example^", ""},
      {"||a..example^", ""},
      {"a.example", ""},
      {"||a.example:81^", ""},
      {"||a.example^|", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostOfRule(c.text), c.host) << c.text;
  }
}

}  // namespace
}  // namespace cvie::lists
