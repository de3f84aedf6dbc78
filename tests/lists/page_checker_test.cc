// The per-page checker: the product's own rules and the lists decide
// together with the page address; the hiding style element goes after
// <head> (or before the first tag) with the selectors that can apply; and a
// page without lists, or with lists that change nothing, comes out byte for
// byte as the rules alone make it.

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "anyhtml/editor_options.h"
#include "anyhtml/editor_writer.h"
#include "anyhtml/html_editor.h"
#include "anyhtml/rule_checker.h"
#include "editor/editor_test_support.h"
#include "lists/filter_list.h"
#include "lists/hiding.h"
#include "lists/list_set.h"
#include "lists/page_checker.h"
#include "lists/site.h"

namespace cvie::lists {
namespace {

// The product's own rules, reduced to one rule: any text holding "/own-ad/"
// is blocked (whatever the kind), and any script block holding "ownad()".
class OwnRules : public AnyHtmlEditorRuleChecker {
 public:
  bool CheckElement(int, const char* text, int) override {
    return text != nullptr && std::string(text).find("/own-ad/") != std::string::npos;
  }
  bool CheckScript(const char* text, int) override {
    return text != nullptr && std::string(text).find("ownad()") != std::string::npos;
  }
};

using testing::StringWriter;

std::shared_ptr<const ListSet> SetOf(const char* text) {
  std::vector<FilterList> lists;
  lists.push_back(ParseFilterList(text, "test.txt"));
  return BuildListSet(std::move(lists), "1");
}

const char kNetworkList[] =
    "[Adblock Plus 2.0]\n"
    "||ads.example^\n"
    "||tracker.example^$third-party\n"
    "@@||ads.example/ok/\n"
    "||ads.example/forced/$important\n"
    "@@||ads.example/forced/\n"
    "/banner/*\n"
    "@@||trusted.example^$document\n";

struct DecisionCase {
  const char* kind_name;
  int kind;
  const char* text;
  const char* page;
  bool blocked;
};

const DecisionCase kDecisionCases[] = {
    // The product's own rule blocks, lists or not.
    {"own rule", kImageElement, "https://cdn.site.example/own-ad/a.png",
     "https://news.example/", true},
    {"own rule on a division", kDivElement, "/own-ad/", "https://news.example/", true},
    // A list rule blocks; no list rule leaves it allowed.
    {"list rule", kScriptElement, "https://ads.example/x.js", "https://news.example/",
     true},
    {"no rule", kScriptElement, "https://cdn.example/x.js", "https://news.example/",
     false},
    // A list exception undoes a list block, but not an important one.
    {"exception", kImageElement, "https://ads.example/ok/a.png", "https://news.example/",
     false},
    {"important", kImageElement, "https://ads.example/forced/a.png",
     "https://news.example/", true},
    // third-party from the page address.
    {"third-party", kScriptElement, "https://cdn.tracker.example/t.js",
     "https://news.example/", true},
    {"first-party", kScriptElement, "https://cdn.tracker.example/t.js",
     "https://www.tracker.example/", false},
    // A relative address is judged as the address it stands for on the page.
    {"relative, first-party", kScriptElement, "/t.js", "https://www.tracker.example/a/",
     false},
    {"relative path", kImageElement, "banner/x.png", "https://news.example/a/b.html",
     true},
    {"protocol-relative", kScriptElement, "//ads.example/x.js", "https://news.example/",
     true},
    // A document exception on the page lets everything through.
    {"document exception", kScriptElement, "https://ads.example/x.js",
     "https://www.trusted.example/", false},
    // Kinds without a request type are left to the product's rules.
    {"division", kDivElement, "https://ads.example/x.js", "https://news.example/", false},
    {"marquee", kMarqueeElement, "https://ads.example/x.js", "https://news.example/",
     false},
    // Other kinds map to their types.
    {"link", kLinkElement, "https://ads.example/click", "https://news.example/", true},
    {"frame", kFrameElement, "https://ads.example/f.html", "https://news.example/", true},
};

TEST(PageChecker, DecidesWithTheRulesAndTheListsForThePage) {
  std::shared_ptr<const ListSet> set = SetOf(kNetworkList);
  ASSERT_TRUE(set);
  OwnRules own;
  for (const DecisionCase& c : kDecisionCases) {
    PageChecker page(&own, set.get(), c.page);
    EXPECT_EQ(page.CheckElement(c.kind, c.text, 1), c.blocked) << c.kind_name;
    CheckVerdict verdict;
    EXPECT_EQ(page.ExplainElementCheck(c.kind, c.text, 1, &verdict), c.blocked)
        << c.kind_name;
    EXPECT_EQ(verdict.blocked, c.blocked) << c.kind_name;
  }
}

TEST(PageChecker, NamesTheDecidingListRuleAndException) {
  std::shared_ptr<const ListSet> set = SetOf(kNetworkList);
  ASSERT_TRUE(set);
  PageChecker page(nullptr, set.get(), "https://news.example/");
  CheckVerdict verdict;
  EXPECT_TRUE(
      page.ExplainElementCheck(kScriptElement, "https://ads.example/x.js", 1, &verdict));
  EXPECT_EQ(verdict.rule, "test.txt:2: ||ads.example^");
  EXPECT_EQ(verdict.exception, "");
  EXPECT_FALSE(page.ExplainElementCheck(kImageElement, "https://ads.example/ok/a.png", 1,
                                        &verdict));
  EXPECT_EQ(verdict.rule, "");
  EXPECT_EQ(verdict.exception, "test.txt:4: @@||ads.example/ok/");
}

TEST(PageChecker, ScriptBlocksAreLeftToTheProductRules) {
  std::shared_ptr<const ListSet> set = SetOf("ads.example\nownad\n");
  ASSERT_TRUE(set);
  OwnRules own;
  PageChecker page(&own, set.get(), "https://news.example/");
  EXPECT_TRUE(page.CheckScript("<script>ownad()</script>", 1));
  EXPECT_FALSE(page.CheckScript("<script>load('https://ads.example/x')</script>", 1));
}

TEST(ResolveAgainst, GivesTheAddressAReferenceStandsFor) {
  struct Case {
    const char* page;
    const char* reference;
    const char* resolved;
  };
  const Case kCases[] = {
      {"https://a.example/b/c.html?q#f", "https://x.example/y", "https://x.example/y"},
      {"https://a.example/b/c.html", "//x.example/y", "https://x.example/y"},
      {"https://a.example:8080/b/c.html", "/y.js", "https://a.example:8080/y.js"},
      {"https://a.example/b/c.html?q", "d.js", "https://a.example/b/d.js"},
      {"https://a.example", "d.js", "https://a.example/d.js"},
      {"https://a.example/b/c.html?q#f", "?z", "https://a.example/b/c.html?z"},
      {"https://a.example/b/c.html?q#f", "#z", "https://a.example/b/c.html?q#z"},
      {"https://a.example/b/", "  /y.js\n", "https://a.example/y.js"},
      {"", "/y.js", "/y.js"},
      {"about:blank", "y.js", "y.js"},
      {"https://a.example/", "javascript:void(0)", "javascript:void(0)"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(ResolveAgainst(c.page, c.reference), c.resolved)
        << c.page << " + " << c.reference;
  }
}

// --- Hiding -----------------------------------------------------------------

const char kHidingList[] =
    "[Adblock Plus 2.0]\n"
    "##.ad-box\n"                      // keyed by a class the page has
    "##.not-on-page\n"                 // keyed by a class the page lacks
    "###banner\n"                      // keyed by an id the page has
    "##div.sponsor\n"                  // element name, then class
    "##[data-ad]\n"                    // key-less
    "##a[href^=\"https://ads.\"]\n"    // keyed by an href the page has
    "##a[href*=\"/nowhere/\"]\n"       // keyed by an href the page lacks
    "news.example##.site-only\n"       // site-specific, class absent from page
    "other.example##.elsewhere\n"      // another site's
    "##.ad-box > .x, .no-key-group\n"  // a group: key-less
    "##.excepted\n"
    "news.example#@#.excepted\n"
    "##script:has(</style>)\n"  // would end the style element: never used
    "##.gone-everywhere\n"
    "#@#.gone-everywhere\n"
    "~news.example##.not-here\n";  // generic except on news.example

const char kHidingPage[] =
    "<!DOCTYPE html>\n<html><HEAD lang=en>\n<title>t</title></head>\n"
    "<body><div class=\"x  AD-box\">a</div><p id=banner>b</p>"
    "<div class='sponsor'>c</div><p class=excepted>d</p>"
    "<p class=gone-everywhere>e</p><p class=not-here>f</p>"
    "<a href=\"HTTPS://ADS.example/x\">g</a></body></html>\n";

std::string Edit(const char* page, AnyHtmlEditorRuleChecker* checker,
                 AnyHtmlEditorPageStyle* style) {
  EditorOptions options;
  StringWriter writer;
  AnyHtmlEditor editor(&writer, &options, checker);
  editor.SetPageStyle(style);
  std::string input(page);
  input.append(2, '\0');
  EXPECT_EQ(editor.Edit(input.data(), input.size() - 2, 0), 0);
  return writer.out;
}

TEST(PageHiding, AddsOneStyleElementAfterHeadWithTheSelectorsThatCanApply) {
  std::shared_ptr<const ListSet> set = SetOf(kHidingList);
  ASSERT_TRUE(set);
  OwnRules own;
  PageChecker page(&own, set.get(), "https://www.news.example/story");
  const std::string out = Edit(kHidingPage, &page, &page);
  const std::string sheet =
      "<style>.ad-box,#banner,div.sponsor,[data-ad],a[href^=\"https://ads.\"],"
      ".site-only,.ad-box > .x, .no-key-group"
      "{display:none!important}</style>";
  std::string expected = kHidingPage;
  const size_t head_end = expected.find("<HEAD lang=en>") + strlen("<HEAD lang=en>");
  expected.insert(head_end, sheet);
  EXPECT_EQ(out, expected);
}

TEST(PageHiding, HonoursPageExceptionsAndOtherSites) {
  struct Case {
    const char* extra;  // lines added to kHidingList
    const char* page_url;
    const char* selectors;
  };
  const Case kCases[] = {
      // Another site: its own rules, no ".site-only"; ".excepted" and
      // ".not-here" apply there.
      {"", "https://other.example/",
       ".ad-box,#banner,div.sponsor,[data-ad],a[href^=\"https://ads.\"],.elsewhere,"
       ".ad-box > .x, .no-key-group,.excepted,.not-here"},
      // generichide: only the site's own.
      {"@@||news.example^$generichide\n", "https://news.example/", ".site-only"},
      // elemhide and document: nothing.
      {"@@||news.example^$elemhide\n", "https://news.example/", ""},
      {"@@||news.example^$document\n", "https://news.example/", ""},
      // No page address: the generic ones that can apply.
      {"", "",
       ".ad-box,#banner,div.sponsor,[data-ad],a[href^=\"https://ads.\"],"
       ".ad-box > .x, .no-key-group,.excepted,.not-here"},
  };
  for (const Case& c : kCases) {
    std::shared_ptr<const ListSet> set =
        SetOf((std::string(kHidingList) + c.extra).c_str());
    ASSERT_TRUE(set);
    PageChecker page(nullptr, set.get(), c.page_url);
    Edit(kHidingPage, &page, &page);  // collects the page's keys
    EXPECT_EQ(page.HidingSelectors(), c.selectors) << c.extra << " " << c.page_url;
  }
}

TEST(PageHiding, GoesBeforeTheFirstTagWithoutHeadAndNowhereWithoutSelectors) {
  std::shared_ptr<const ListSet> set = SetOf("##[data-ad]\n");
  ASSERT_TRUE(set);
  PageChecker page(nullptr, set.get(), "https://news.example/");
  const char kNoHead[] = "<!DOCTYPE html><!-- c --><p>x</p>";
  EXPECT_EQ(Edit(kNoHead, &page, &page),
            "<!DOCTYPE html><!-- c --><style>[data-ad]{display:none!important}</style>"
            "<p>x</p>");
  // A head tag inside a link region: the element follows it there.
  const char kHeadInLink[] = "<a href=x><head><img src=y></a>";
  EXPECT_EQ(Edit(kHeadInLink, &page, &page),
            "<a href=x><head><style>[data-ad]{display:none!important}</style>"
            "<img src=y></a>");
  std::shared_ptr<const ListSet> empty = SetOf("##.absent\n");
  ASSERT_TRUE(empty);
  PageChecker nothing(nullptr, empty.get(), "https://news.example/");
  EXPECT_EQ(Edit(kHidingPage, &nothing, &nothing), kHidingPage);
}

TEST(PageHiding, KeysOfSelectors) {
  struct Case {
    const char* selector;
    SelectorKey::Kind kind;
    const char* name;
  };
  const Case kCases[] = {
      {".Ad-Box", SelectorKey::Kind::kClass, "ad-box"},
      {"#banner > a", SelectorKey::Kind::kId, "banner"},
      {"div.ad:not(.x)", SelectorKey::Kind::kClass, "ad"},
      {"div#top_ad", SelectorKey::Kind::kId, "top_ad"},
      {"[id^=\"ad\"]", SelectorKey::Kind::kAttribute, "ad"},
      {"a[href]", SelectorKey::Kind::kNone, ""},
      {"a[href^=\"https://Ads.\"]", SelectorKey::Kind::kAttribute, "https://ads."},
      {"[href*=\"/ad/\"]", SelectorKey::Kind::kAttribute, "/ad/"},
      {"a[href*=\"x\"] > img", SelectorKey::Kind::kAttribute, "x"},
      {"div[id^=\"div-gpt\"]", SelectorKey::Kind::kAttribute, "div-gpt"},
      {"iframe[src*=\"ads\"][width]", SelectorKey::Kind::kAttribute, "ads"},
      {"a[href*=\"x\"], .y", SelectorKey::Kind::kNone, ""},
      {"a[href*=\"x\" i]", SelectorKey::Kind::kNone, ""},
      {"a[href*='x']", SelectorKey::Kind::kNone, ""},
      {"[data-ad=\"x\"]", SelectorKey::Kind::kNone, ""},
      {".a, .b", SelectorKey::Kind::kNone, ""},
      {".ad\\:x", SelectorKey::Kind::kNone, ""},
      {"div > .ad", SelectorKey::Kind::kNone, ""},
  };
  for (const Case& c : kCases) {
    SelectorKey key = KeyOfSelector(c.selector);
    EXPECT_EQ(key.kind, c.kind) << c.selector;
    EXPECT_EQ(key.name, c.name) << c.selector;
  }
}

// --- Without lists, or with lists that change nothing --------------------------

const char kMixedPage[] =
    "<html><head><script src=\"/own-ad/s.js\"></script>"
    "<link rel=stylesheet type=text/css href=\"/c.css\"></head>"
    "<body background=\"/own-ad/bg.png\"><a href=\"/own-ad/click\"><img "
    "src=\"/own-ad/i.png\"></a><iframe src=\"https://frames.example/f\"></iframe>"
    "<div class=ad id=x>t</div><script>ownad()</script><script>ok()</script>"
    "<marquee><a href=\"/own-ad/m\">m</a></marquee></body></html>";

TEST(PageChecker, WithoutListsOrWithListsThatChangeNothingTheRulesAloneDecide) {
  OwnRules own;
  const std::string alone = Edit(kMixedPage, &own, nullptr);
  ASSERT_NE(alone, kMixedPage);  // the own rules did change the page
  PageChecker no_lists(&own, nullptr, "https://news.example/");
  EXPECT_EQ(Edit(kMixedPage, &no_lists, &no_lists), alone);
  std::shared_ptr<const ListSet> unrelated =
      SetOf("||elsewhere.example^\n##.absent-class\nother.example##div\n");
  ASSERT_TRUE(unrelated);
  PageChecker idle(&own, unrelated.get(), "https://news.example/");
  EXPECT_EQ(Edit(kMixedPage, &idle, &idle), alone);
}

}  // namespace
}  // namespace cvie::lists
