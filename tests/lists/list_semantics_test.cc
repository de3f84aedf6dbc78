// The meaning of the list format, one row per case: rules, a request (type,
// address, page) and the decision, checked through the index and through the
// rule-by-rule reference.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lists/filter_list.h"
#include "lists/list_engine.h"
#include "lists/site.h"

namespace cvie::lists {
namespace {

struct SemanticsCase {
  const char* rules;  // list lines, "\n" separated
  const char* type;   // request type name
  const char* url;
  const char* page;  // "" for none
  bool blocked;
};

const SemanticsCase kCases[] = {
    // "||" host anchor: the host's start or just after a "." inside it.
    {"||example.com^", "script", "https://example.com/", "", true},
    {"||example.com^", "script", "http://ads.example.com:8080/x", "", true},
    {"||example.com^", "script", "https://badexample.com/", "", false},
    {"||example.com^", "script", "https://example.com.evil.net/", "", false},
    {"||example.com^", "script", "https://evil.net/example.com/", "", false},
    {"||example.com/ads/", "image", "https://cdn.example.com/ads/a.png", "", true},
    {"||example.com/ads/", "image", "https://cdn.example.com/x/ads/a.png", "", false},
    // "^": a separator or the end of the address.
    {"||doubleclick.net^", "script", "https://ad.doubleclick.net", "", true},
    {"/banner/*/img^", "image", "http://example.com/banner/foo/img", "", true},
    {"/banner/*/img^", "image", "http://example.com/banner/foo/img?x", "", true},
    {"/banner/*/img^", "image", "http://example.com/banner/foo/imgraph", "", false},
    {"/ad^", "image", "http://x.net/ad_x", "", false},
    {"/ad^", "image", "http://x.net/ad-x", "", false},
    {"/ad^", "image", "http://x.net/ad.x", "", false},
    {"/ad^", "image", "http://x.net/ad%20", "", false},
    {"/ad^", "image", "http://x.net/ad:x", "", true},
    {"/ad^x", "image", "http://x.net/ad", "", false},
    // "|" anchors.
    {"|http://ad.", "image", "http://ad.example.net/x", "", true},
    {"|http://ad.", "image", "https://x.net/?u=http://ad.example.net/", "", false},
    {"swf|", "object", "http://x.net/movie.swf", "", true},
    {"swf|", "object", "http://x.net/movie.swf?x=1", "", false},
    // "*" wildcards; an unanchored pattern matches anywhere.
    {"/ads/*.gif", "image", "http://x.net/ads/sub/b.gif", "", true},
    {"/ads/*.gif", "image", "http://x.net/ads/sub/b.png", "", false},
    {"banner", "image", "http://x.net/path/BANNER.png", "", true},
    {"*$image,domain=x.net", "image", "http://any.org/a.png", "https://x.net/", true},
    {"*$image,domain=x.net", "image", "http://any.org/a.png", "https://y.net/", false},
    // Special characters of regular expressions are literal outside /regex/.
    {"/a+b?c(d)", "image", "http://x.net/a+b?c(d)", "", true},
    {"/a+b?c(d)", "image", "http://x.net/aab", "", false},
    // Regular-expression rules.
    {"/\\/ad[0-9]{2}\\./", "image", "http://x.net/ad42.png", "", true},
    {"/\\/ad[0-9]{2}\\./", "image", "http://x.net/ad4.png", "", false},
    {"/^https?:\\/\\/[a-z]+\\.track\\//$script", "script", "https://abc.track/x.js", "",
     true},
    {"/^https?:\\/\\/[a-z]+\\.track\\//$script", "image", "https://abc.track/x.js", "",
     false},
    {"/ad(/", "image", "http://x.net/ad(/", "", false},  // does not compile: skipped
    // Case: insensitive unless match-case.
    {"/BigAd.", "image", "http://x.net/bigad.png", "", true},
    {"/BigAd.$match-case", "image", "http://x.net/bigad.png", "", false},
    {"/BigAd.$match-case", "image", "http://x.net/BigAd.png", "", true},
    // Types and their aliases; no type means all but document and popup.
    {"/t/$script", "script", "http://x.net/t/1", "", true},
    {"/t/$script", "image", "http://x.net/t/1", "", false},
    {"/t/$image", "image", "http://x.net/t/1", "", true},
    {"/t/$stylesheet", "stylesheet", "http://x.net/t/1", "", true},
    {"/t/$css", "stylesheet", "http://x.net/t/1", "", true},
    {"/t/$css", "script", "http://x.net/t/1", "", false},
    {"/t/$object", "object", "http://x.net/t/1", "", true},
    {"/t/$object-subrequest", "object", "http://x.net/t/1", "", true},
    {"/t/$subdocument", "subdocument", "http://x.net/t/1", "", true},
    {"/t/$frame", "subdocument", "http://x.net/t/1", "", true},
    {"/t/$xmlhttprequest", "xmlhttprequest", "http://x.net/t/1", "", true},
    {"/t/$xhr", "xmlhttprequest", "http://x.net/t/1", "", true},
    {"/t/$xhr", "other", "http://x.net/t/1", "", false},
    {"/t/$media", "media", "http://x.net/t/1", "", true},
    {"/t/$font", "font", "http://x.net/t/1", "", true},
    {"/t/$websocket", "websocket", "http://x.net/t/1", "", true},
    {"/t/$ping", "ping", "http://x.net/t/1", "", true},
    {"/t/$other", "other", "http://x.net/t/1", "", true},
    {"/t/$document", "document", "http://x.net/t/1", "", true},
    {"/t/$doc", "document", "http://x.net/t/1", "", true},
    {"/t/$popup", "popup", "http://x.net/t/1", "", true},
    {"/t/$popup", "script", "http://x.net/t/1", "", false},
    {"/t/", "document", "http://x.net/t/1", "", false},
    {"/t/", "popup", "http://x.net/t/1", "", false},
    {"/t/", "font", "http://x.net/t/1", "", true},
    {"/t/$~script", "script", "http://x.net/t/1", "", false},
    {"/t/$~script", "image", "http://x.net/t/1", "", true},
    {"/t/$~script", "document", "http://x.net/t/1", "", false},
    {"/t/$script,image,~image", "image", "http://x.net/t/1", "", false},
    // third-party / first-party and their aliases, by registrable domain.
    {"||example-ads.net^$third-party", "script", "https://cdn.example-ads.net/x.js",
     "https://news.example.org/", true},
    {"||example-ads.net^$third-party", "script", "https://cdn.example-ads.net/x.js",
     "https://www.example-ads.net/", false},
    {"||example-ads.net^$3p", "script", "https://cdn.example-ads.net/x.js",
     "https://news.example.org/", true},
    {"||example-ads.net^$third-party", "script", "https://cdn.example-ads.net/x.js", "",
     true},
    {"||example-ads.net^$third-party", "script", "https://cdn.example-ads.net/x.js",
     "about:blank", true},
    {"||example-ads.net^$~third-party", "script", "https://cdn.example-ads.net/x.js",
     "https://www.example-ads.net/", true},
    {"||example-ads.net^$first-party", "script", "https://cdn.example-ads.net/x.js",
     "https://www.example-ads.net/", true},
    {"||example-ads.net^$1p", "script", "https://cdn.example-ads.net/x.js",
     "https://news.example.org/", false},
    {"||example-ads.net^$~first-party", "script", "https://cdn.example-ads.net/x.js",
     "https://news.example.org/", true},
    // A public suffix of two labels: co.uk sites differ below it.
    {"||shop.co.uk^$third-party", "image", "https://img.shop.co.uk/a.png",
     "https://www.shop.co.uk/", false},
    {"/pixel.$third-party", "image", "https://a.one.co.uk/pixel.gif",
     "https://b.two.co.uk/", true},
    {"/pixel.$~third-party", "image", "https://a.one.co.uk/pixel.gif",
     "https://b.one.co.uk/", true},
    // domain=, with "~" entries and subdomains; the longest entry decides.
    {"/ad.$domain=a.example", "image", "http://x.net/ad.png", "https://a.example/", true},
    {"/ad.$domain=a.example", "image", "http://x.net/ad.png", "https://www.a.example/",
     true},
    {"/ad.$domain=a.example", "image", "http://x.net/ad.png", "https://ba.example/",
     false},
    {"/ad.$domain=a.example", "image", "http://x.net/ad.png", "", false},
    {"/ad.$domain=a.example|~b.a.example", "image", "http://x.net/ad.png",
     "https://b.a.example/", false},
    {"/ad.$domain=a.example|~b.a.example|c.b.a.example", "image", "http://x.net/ad.png",
     "https://c.b.a.example/", true},
    {"/ad.$domain=~b.example", "image", "http://x.net/ad.png", "https://a.example/",
     true},
    {"/ad.$domain=~b.example", "image", "http://x.net/ad.png", "https://www.b.example/",
     false},
    {"/ad.$domain=~b.example", "image", "http://x.net/ad.png", "", true},
    {"/ad.$domain=A.Example", "image", "http://x.net/ad.png",
     "https://WWW.A.EXAMPLE:8080/", true},
    // Exceptions, important, and document exceptions.
    {"||doubleclick.net^\n@@||doubleclick.net/ok/$script", "script",
     "https://ad.doubleclick.net/ok/a.js", "", false},
    {"||doubleclick.net^\n@@||doubleclick.net/ok/$script", "image",
     "https://ad.doubleclick.net/ok/a.js", "", true},
    {"||doubleclick.net^$important\n@@||doubleclick.net/ok/$script", "script",
     "https://ad.doubleclick.net/ok/a.js", "", true},
    {"||doubleclick.net^$important\n@@||news.example^$document", "script",
     "https://ad.doubleclick.net/a.js", "https://news.example/page", false},
    {"||doubleclick.net^\n@@||news.example^$document", "script",
     "https://ad.doubleclick.net/a.js", "https://www.news.example/", false},
    {"||doubleclick.net^\n@@||news.example^$document", "script",
     "https://ad.doubleclick.net/a.js", "https://other.example/", true},
    {"||doubleclick.net^\n@@||news.example^$elemhide", "script",
     "https://ad.doubleclick.net/a.js", "https://news.example/", true},
    {"||doubleclick.net^\n@@||news.example^$generichide", "script",
     "https://ad.doubleclick.net/a.js", "https://news.example/", true},
    {"||doubleclick.net^\n@@||doubleclick.net^$domain=news.example", "script",
     "https://ad.doubleclick.net/a.js", "https://news.example/", false},
    {"||doubleclick.net^\n@@||doubleclick.net^$domain=news.example", "script",
     "https://ad.doubleclick.net/a.js", "https://other.example/", true},
    {"||doubleclick.net^\n@@||doubleclick.net^$~third-party", "script",
     "https://ad.doubleclick.net/a.js", "https://www.doubleclick.net/", false},
    // A rule with an option the product cannot honour is skipped whole.
    {"||tracker.example^$csp=script-src 'none'", "script", "https://tracker.example/a.js",
     "", false},
    {"||tracker.example^$redirect=noop.js", "script", "https://tracker.example/a.js", "",
     false},
    {"||tracker.example^$script,bogus", "script", "https://tracker.example/a.js", "",
     false},
    {"||tracker.example^$domain=example.*", "script", "https://tracker.example/a.js",
     "https://example.com/", false},
    {"||tracker.example^$generichide", "script", "https://tracker.example/a.js", "",
     false},
    {"||tracker.example^\n@@||tracker.example^$removeparam", "script",
     "https://tracker.example/a.js", "", true},
    // An empty pattern or "*" matches every address.
    {"$script,domain=x.net", "script", "https://a.org/a.js", "https://x.net/", true},
    {"$script,domain=x.net", "image", "https://a.org/a.png", "https://x.net/", false},
};

std::unique_ptr<ListEngine> EngineOf(const char* rules) {
  std::vector<FilterList> lists;
  lists.push_back(ParseFilterList(rules, "test"));
  return ListEngine::Build(std::move(lists));
}

TEST(ListSemantics, DecidesEachRequestAsTheFormatSays) {
  for (const SemanticsCase& c : kCases) {
    std::unique_ptr<ListEngine> engine = EngineOf(c.rules);
    ASSERT_NE(engine, nullptr) << c.rules;
    uint32_t type = RequestTypeFromName(c.type);
    ASSERT_NE(type, 0u) << c.type;
    Request request{type, c.url, c.page};
    EXPECT_EQ(engine->Decide(request).blocked, c.blocked)
        << c.rules << " | " << c.type << " " << c.url << " on " << c.page;
    EXPECT_EQ(engine->DecideReference(request).blocked, c.blocked)
        << "reference: " << c.rules << " | " << c.type << " " << c.url << " on "
        << c.page;
  }
}

TEST(ListSemantics, NamesTheDecidingRuleAndTheException) {
  std::unique_ptr<ListEngine> engine =
      EngineOf("! comment\n/ad.\n||ads.example^\n@@||ads.example/ok/$image\n");
  Decision blocked = engine->Decide({kTypeImage, "https://ads.example/x/ad.png", ""});
  EXPECT_TRUE(blocked.blocked);
  EXPECT_EQ(engine->Describe(blocked.blocking), "test:2: /ad.");
  EXPECT_FALSE(blocked.exception.valid());
  Decision allowed = engine->Decide({kTypeImage, "https://ads.example/ok/ad.png", ""});
  EXPECT_FALSE(allowed.blocked);
  EXPECT_EQ(engine->Describe(allowed.blocking), "test:2: /ad.");
  EXPECT_EQ(engine->Describe(allowed.exception), "test:4: @@||ads.example/ok/$image");
}

struct KindCase {
  int kind;
  uint32_t type;
};

TEST(ListSemantics, MapsEditorElementKindsToRequestTypes) {
  const KindCase kKinds[] = {
      {0, kTypeOther},
      {1, kTypeImage},
      {2, kTypeImage},
      {3, kTypeObject},
      {4, kTypeScript},
      {5, kTypeSubdocument},
      {6, kTypeStylesheet},
      {7, 0},
      {8, 0},
      {9, 0},
      {-1, 0},
  };
  for (const KindCase& c : kKinds) EXPECT_EQ(RequestTypeOfKind(c.kind), c.type) << c.kind;
}

TEST(ListSites, TakesRegistrableDomainsFromThePublicSuffixList) {
  EXPECT_EQ(SiteOf("news.example.co.uk"), "example.co.uk");
  EXPECT_EQ(SiteOf("a.b.example.com"), "example.com");
  EXPECT_EQ(SiteOf("co.uk"), "co.uk");
  EXPECT_EQ(SiteOf("192.168.1.20"), "192.168.1.20");
  EXPECT_EQ(HostOf("https://user:pw@WWW.Example.com:8080/x?y"), "www.example.com");
  EXPECT_EQ(HostOf("http://[::1]:80/"), "::1");
  EXPECT_EQ(HostOf("about:blank"), "");
}

}  // namespace
}  // namespace cvie::lists
