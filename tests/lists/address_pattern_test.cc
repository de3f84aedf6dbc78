// The list syntax matcher accepts exactly what the rule's PCRE2 translation
// accepts: host anchors (with subdomains, ports, user parts and schemes in any
// case), start and end anchors, "*" and "^" (including the end of the address
// and bytes outside ASCII), and case.

#define PCRE2_CODE_UNIT_WIDTH 8

#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "lists/address_pattern.h"
#include "lists/filter_list.h"
#include "pcre2_matches.h"

namespace cvie::lists {
namespace {

struct MatchCase {
  const char* written;
  bool match_case;
  const char* text;
  bool matches;
};

const MatchCase kCases[] = {
    {"||example.com^", false, "http://example.com/", true},
    {"||example.com^", false, "https://ads.example.com/x", true},
    {"||example.com^", false, "HTTP://EXAMPLE.COM:8080/", true},
    {"||example.com^", false, "http://example.com", true},
    {"||example.com^", false, "http://badexample.com/", false},
    {"||example.com^", false, "http://example.com.evil.org/", false},
    {"||example.com^", false, "http://user@example.com/", false},
    {"||example.com^", false, "http://other.org/?u=http://example.com/", false},
    {"||example.com^", false, "http://other.org/example.com/", false},
    {"||example.com^", false, "example.com", false},
    {"||example.com^", false, "1ttp://example.com/", false},
    {"||example.com^", false, "h+t.t-p://example.com/", true},
    {"||exam", false, "http://example.com/", true},
    {"||ads.example.com/banner", false, "http://x.ads.example.com/banner1.gif", true},
    {"||ads.example.com/banner", false, "http://ads.example.com.net/banner", false},
    {"||ads.example.com^", true, "HTTP://ads.example.com/", false},
    {"||ads.example.com^", true, "http://ads.example.com/", true},
    {"||Ads.example.com^", true, "http://ads.example.com/", false},
    {"|http://ads.", false, "http://ads.example.com/", true},
    {"|http://ads.", false, "https://http://ads.x/", false},
    {"swf|", false, "http://x.org/movie.swf", true},
    {"swf|", false, "http://x.org/movie.swf?x", false},
    {"ad^", false, "http://x.org/ad?x", true},
    {"ad^", false, "http://x.org/ad", true},
    {"ad^", false, "http://x.org/ads", false},
    {"ad^", false, "http://x.org/ad.gif", false},
    {"ad^", false, "http://x.org/ad\xc3\xa9", true},
    {"^ad^", false, "http://x.org/ad/", true},
    {"/banner/*/img^", false, "http://x.org/banner/a/b/img?1", true},
    {"/banner/*/img^", false, "http://x.org/banner/img?1", false},
    {"a*b*c", false, "http://x.org/cba-abc", true},
    {"a*b|", false, "http://x.org/a-b-b", true},
    {"a*b|", false, "http://x.org/a-b-bc", false},
    {"ads^*^", false, "http://x.org/ads/", true},
    {"ads^^", false, "http://x.org/ads/", true},
    {"ads^^", false, "http://x.org/ads/x", false},
    {"*", false, "anything", true},
    {"", false, "anything", true},
    {"|", false, "", true},
    {"||", false, "http://x", true},
    {"||", false, "x", false},
    {"%20ad", false, "http://x.org/a%20AD", true},
    {"Ad.js", true, "http://x.org/ad.js", false},
    {"Ad.js", true, "http://x.org/Ad.js", true},
    {"line*end", false, "http://x.org/line\nend", true},
    {"a|b", false, "http://x.org/a|b", true},
    {"|||x", false, "http://|x", true},
};

TEST(AddressPattern, MatchesExactlyWhatTheTranslatedPatternMatches) {
  for (const MatchCase& c : kCases) {
    AddressPattern pattern(c.written, c.match_case);
    EXPECT_EQ(pattern.Matches(c.text), c.matches)
        << c.written << " on " << c.text << (c.match_case ? " (match case)" : "");
    EXPECT_EQ(Pcre2Matches(TranslatePattern(c.written), c.match_case, c.text), c.matches)
        << "PCRE2: " << c.written << " on " << c.text;
  }
}

// A rule keyed by host is found through the host table: it must match
// exactly when its body matches from one of the places whose token is its
// host, as the index looks for it.
TEST(AddressPattern, HostKeyedRulesMatchOnlyFromATokenEqualToTheirHost) {
  const MatchCase extra[] = {
      {"||ads.example.com/x^", false, "http://a.ads.example.com/x?1", true},
      {"||ads.example.com/x^", false, "http://ads.example.com.ads.example.com/x", true},
      {"||ads.example.com/x^", false, "http://ads.example.com:80/x", false},
      {"||example.com^*/ad.js", false, "http://cdn.example.com:80/a/ad.js", true},
      {"||example.com^*/ad.js", false, "http://example.community/ad.js", false},
  };
  size_t keyed_rows = 0;
  for (const auto* table : {&kCases[0], &extra[0]}) {
    const size_t rows = table == &kCases[0] ? std::size(kCases) : std::size(extra);
    for (size_t r = 0; r < rows; ++r) {
      const MatchCase& c = table[r];
      const AddressPattern pattern(c.written, c.match_case);
      std::string_view key;
      if (!pattern.HostKey(&key)) continue;
      ++keyed_rows;
      bool from_token = false;
      AddressPattern::HostTokens(c.text, [&](std::string_view token, size_t at) {
        // Only the token equal to the host may match from its place.
        const bool here = pattern.MatchesAt(c.text, at, token);
        EXPECT_TRUE(!here || token == key)
            << c.written << " on " << c.text << " at " << at;
        from_token = from_token || here;
      });
      EXPECT_EQ(from_token, c.matches) << c.written << " on " << c.text;
      EXPECT_EQ(pattern.Matches(c.text), c.matches) << c.written << " on " << c.text;
    }
  }
  EXPECT_GT(keyed_rows, std::size(extra));
}

TEST(AddressPattern, TellsHostOnlyRulesAndTheHostTokensOfAnAddress) {
  struct HostCase {
    const char* written;
    bool match_case;
    const char* host;  // null: not a host-only rule
  };
  const HostCase host_cases[] = {
      {"||Example.com^", false, "example.com"},
      {"||example.com^", true, nullptr},
      {"||example.com", false, nullptr},
      {"||ex*ample.com^", false, nullptr},
      {"|example.com^", false, nullptr},
      {"||example.com^|", false, nullptr},
      {"||a/b^", false, nullptr},
      {"||^", false, nullptr},
  };
  for (const HostCase& c : host_cases) {
    // The host is a view into the pattern, which must outlive it.
    const AddressPattern pattern(c.written, c.match_case);
    std::string_view host;
    bool host_only = pattern.HostOnly(&host);
    EXPECT_EQ(host_only, c.host != nullptr) << c.written;
    if (host_only && c.host != nullptr) {
      EXPECT_EQ(host, c.host) << c.written;
    }
  }
  struct KeyCase {
    const char* written;
    bool match_case;
    const char* key;  // null: not keyed by host
  };
  const KeyCase key_cases[] = {
      {"||Example.com^", false, "example.com"},
      {"||ads.Example.com/banner/*.gif", false, "ads.example.com"},
      {"||example.com:8080^", false, "example.com"},
      {"||example.com^*/ad.js", false, "example.com"},
      {"||example.com/ad|", false, "example.com"},
      {"||example.com/ad", true, nullptr},
      {"||example.com", false, nullptr},
      {"||example.com|", false, nullptr},
      {"||example*.com/ad", false, nullptr},
      {"||example.com*/ad", false, nullptr},
      {"|https://example.com/", false, nullptr},
      {"/example.com/", false, nullptr},
      {"||/ad", false, nullptr},
  };
  for (const KeyCase& c : key_cases) {
    const AddressPattern pattern(c.written, c.match_case);
    std::string_view key;
    bool keyed = pattern.HostKey(&key);
    EXPECT_EQ(keyed, c.key != nullptr) << c.written;
    if (keyed && c.key != nullptr) {
      EXPECT_EQ(key, c.key) << c.written;
    }
  }
  std::string tokens;
  AddressPattern::HostTokens(
      "HTTP://u.v@Ads.Example.COM:80/a.b/c.d",
      [&](std::string_view token) { tokens += std::string(token) + " "; });
  EXPECT_EQ(tokens, "u.v v example.com com ");
  tokens.clear();
  AddressPattern::HostTokens("no-scheme.example.com/", [&](std::string_view token) {
    tokens += std::string(token) + " ";
  });
  EXPECT_EQ(tokens, "");
}

}  // namespace
}  // namespace cvie::lists
