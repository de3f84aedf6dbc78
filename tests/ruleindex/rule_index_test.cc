// The candidate index decides exactly as the rule-by-rule scan: generated
// adversarial rules and texts, the shared big rule list, the index cache
// (valid, stale, damaged) and checks from several threads at once.

#include <stdint.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "rules/rule_index.h"
#include "rules/rule_options.h"
#include "rules/rule_text.h"
#include "rules/rules_holder.h"

namespace cvie {
namespace {

using testing::ScopedCvieRoot;

// Rules that stress the translation to the index: regular-expression syntax
// passed through, alternations, classes, anchors, case, constructs the index
// can only approximate or not take at all, and a rule that does not compile.
const char* const kAdversarialRules[] = {
    "/banner/*.gif",
    "|http://ad",
    "swf|",
    "ad+x",
    "ban(ner|nr)s",
    "[0-9]{3}px",
    "[^/]+\\.flv$",
    "colou?r",
    "||ads",  // the empty first branch matches every text of its types
    "Tracker$match-case",
    "MIXED$match-case,image",
    "(?i)shout$match-case",
    "ad(",               // does not compile
    "(pop|up)\\1under",  // back reference: approximated by the index
    "(?=xyz)xy",         // lookahead
    "(?<=q)zz",          // lookbehind
    "\\bword\\b",
    "(?>a+)b9",
    "c++d7",
    "\\x41\\x42Q",
    "a\\d+b$image",
    "dead(?C1)beef",  // a callout: compiled by PCRE2 only
    "\\Qk.k\\E",
    "kel$~image",
    "adframe$script-text",
    "/ads/$script-url",
    "caf\xc3\xa9",
    "x{2,4}y$div",
    "^$",
    "foo$IMAGE",
    "\\d\\d\\d\\d\\d\\d\\d\\d",
    "(?:ab){3}",
    // Characters given by number that fold to ASCII letters in UTF mode, and
    // ASCII classes and wildcards that the index scans byte by byte.
    "\\x{212a}ey",
    "\\x{17F}ub",
    "\\577ip",
    "[\\x{212A}]ow$image",
    "\\p{Lu}Q$match-case",
    "[^k]ey$div",
    "\\W\\w\\Wz",
    "f*o[^/]o",
    "n[^/]n",
    "z\\Wz$image",
    "caf*\xc3\xa9n",
};

// Fragments that texts are built from, so that rules hit, nearly hit and miss.
const char* const kFragments[] = {
    "http://", "ad",         "ads",    "x",        "/banner/",
    ".gif",    "swf",        "bann",   "banner",   "ner",
    "s",       "123",        "px",     "movie",    ".flv",
    "/",       "color",      "colr",   "TRACKER",  "Tracker",
    "MIXED",   "mixed",      "SHOUT",  "popup",    "pop",
    "under",   "xyz",        "q",      "zz",       " word ",
    "words",   "aaa",        "b9",     "ccd7",     "AB",
    "ABQ",     "abq",        "a42b",   "dead",     "beef",
    "k.k",     "K.K",        "kel",    "adframe",  "\"",
    "'",       " ",          "caf",    "\xc3\xa9", "\xc3\x89",
    "xxxy",    "ababab",     "ab",     "20231231", "\xe2\x84\xaa",
    "\xff",    "src=\"",     "href='", "?",        "\n",
    "key",     "KEY",        "sub",    "SUB",      "sip",
    "kow",     "KOW",        "aQ",     "AQ",       "/a/z\xe2\x82\xacz",
    "f-o-o",   "n\xc3\xa9n",
};

std::unique_ptr<RulesHolder> HolderOf(const std::vector<std::string>& lines) {
  auto holder = std::make_unique<RulesHolder>();
  for (const std::string& line : lines) {
    if (holder->ParseRule(line) == -1) break;
  }
  holder->set_loaded(true);
  return holder;
}

std::vector<std::string> GeneratedTexts(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<size_t> pick(0, std::size(kFragments) - 1);
  std::uniform_int_distribution<int> parts(0, 6);
  std::vector<std::string> texts = {"", "a", "http://ads.example/banner/x.gif"};
  while (texts.size() < count) {
    std::string text;
    for (int i = parts(random); i >= 0; --i) text += kFragments[pick(random)];
    texts.push_back(text);
  }
  return texts;
}

struct Decision {
  bool element[kElementKindCount];
  bool script;
};

Decision Decide(RulesHolder* holder, const std::string& text, bool reference) {
  holder->set_reference_scan(reference);
  Decision decision{};
  for (int kind = 0; kind < kElementKindCount; ++kind) {
    decision.element[kind] = holder->CheckElement(kind, text.c_str(), 0);
  }
  decision.script = holder->CheckScript(text.c_str(), 0);
  holder->set_reference_scan(false);
  return decision;
}

// Compares indexed and reference decisions on every text; returns the number
// of blocked decisions seen, so callers can tell the comparison was not empty.
size_t ExpectSameDecisions(RulesHolder* holder, const std::vector<std::string>& texts) {
  size_t blocked = 0;
  for (const std::string& text : texts) {
    Decision indexed = Decide(holder, text, false);
    Decision reference = Decide(holder, text, true);
    for (int kind = 0; kind < kElementKindCount; ++kind) {
      EXPECT_EQ(indexed.element[kind], reference.element[kind])
          << "kind " << kind << " text [" << text << "]";
      blocked += reference.element[kind] ? 1 : 0;
    }
    EXPECT_EQ(indexed.script, reference.script) << "script block [" << text << "]";
    blocked += reference.script ? 1 : 0;
  }
  return blocked;
}

TEST(RuleIndexTest, AdversarialRulesDecideAsTheRuleScan) {
  std::vector<std::string> lines(std::begin(kAdversarialRules),
                                 std::end(kAdversarialRules));
  // Without the rules that match everything, so that most texts are allowed
  // and each remaining rule has to be found by the index.
  std::vector<std::string> selective;
  for (const std::string& line : lines) {
    if (line != "||ads" && line != "(?=xyz)xy" && line != "^$") selective.push_back(line);
  }
  for (const auto* rules : {&lines, &selective}) {
    SCOPED_TRACE(rules == &lines ? "all rules" : "selective rules");
    auto holder = HolderOf(*rules);
    ASSERT_TRUE(holder->EnableIndex(std::wstring()));
    const RuleIndex* index = holder->index();
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->CountOf(RuleIndex::kNotIndexed), holder->BadRuleCount());
    EXPECT_GT(index->CountOf(RuleIndex::kExact), 0u);
    EXPECT_GT(
        index->CountOf(RuleIndex::kPrefilter) + index->CountOf(RuleIndex::kFallback), 0u);
    std::vector<std::string> texts = GeneratedTexts(3000, 1234);
    size_t blocked = ExpectSameDecisions(holder.get(), texts);
    EXPECT_GT(blocked, 0u);
  }
}

struct RuleCase {
  const char* rule;
  const char* text;
  int kind;
  bool blocked;
};

// Single rules whose answer is known, checked through the index and rule by
// rule.
const RuleCase kRuleCases[] = {
    {"(pop|up)\\1under", "popupunder", kLinkElement, false},
    {"(pop|up)\\1under", "poppopunder", kLinkElement, true},
    {"Tracker$match-case", "TRACKER", kLinkElement, false},
    {"Tracker$match-case", "a/Tracker", kLinkElement, true},
    {"kel",
     "\xe2\x84\xaa"
     "el",
     kLinkElement, true},  // Kelvin sign folds to k
    {"swf|", "a.swf", kFlashElement, true},
    {"swf|", "a.swf?x", kFlashElement, false},
    {"ad(", "ad(", kLinkElement, false},
    {"/ads/$image", "http://x/ads/a", kLinkElement, false},
    {"/ads/$image", "http://x/ads/a", kImageElement, true},
    // Control bytes in a rule: found by fuzzing, Vectorscan missed the "ko" branch.
    {"|:+\x01@\x01@\\\r\r|ko", "http://|:+\x01@\x01@\\\r\r|ko", kLinkElement, true},
    {"|x+\x01@\x01@\\\r|ko", "http://ko", kLinkElement, true},
    // An alternation found by fuzzing: Vectorscan missed the last branch.
    {"|==ht:hrmfatcH|/+t|=\"", "http://|==ht:hrmfatcH|/+t|=\"", kLinkElement, true},
    // A "[" inside a class, found by fuzzing: Vectorscan read the class
    // otherwise and missed the rule's own text.
    {"/ad0[****u*****-*0[*******r0]*****rl",
     "http:///ad0[****u*****-*0[*******r0]*****rl", kLinkElement, true},
    {"x[[]y", "http://x[y", kLinkElement, true},
    // Classes found by fuzzing: one opening with "." (a rule wildcard inside
    // it), one with ranges following ranges.
    {"/ad0[\"*-u-PS **(-*+**r0]*****2l", "http:///ad0[\"*-u-PS **(-*+**r0]*****2l",
     kLinkElement, true},
    {"/ad0[**exam****-subdocume*r0]*****rl",
     "http:///ad0[**exam****-subdocume*r0]*****rl", kLinkElement, true},
    {"x[[]y", "http://xzy", kLinkElement, false},
    // The index scans ASCII text byte by byte where a pattern allows it; these
    // name characters by number that fold to "k" or "s" only in UTF mode.
    {"\\x{212a}ey", "http://KEY", kLinkElement, true},
    {"\\x{212a}ey$match-case", "http://key", kLinkElement, false},
    {"\\x{17F}ub", "http://x/sub", kLinkElement, true},
    {"\\577ip", "http://x/SIP", kLinkElement, true},
    {"[\\x{212A}]ow", "http://x/kow", kLinkElement, true},
    {"\\p{Lu}Q$match-case", "http://x/AQ", kLinkElement, true},
    {"\\p{Lu}Q$match-case", "http://x/aQ", kLinkElement, false},
    {"[^k]ey", "http://x/Key", kLinkElement, false},
    {"[^k]ey", "http://x/hey", kLinkElement, true},
    {"f*o[^/]o", "http://x/f-o-o", kLinkElement, true},
    {"f*o[^/]o", "http://x/f-o/o", kLinkElement, false},
    {"\\Wad\\W", "http://x/ad/", kLinkElement, true},
    {"\\Wad\\W", "http://x/bad/", kLinkElement, false},
    // Non-ASCII text: literal rules are left to the database, the others are
    // tried one by one; malformed text and characters folding to ASCII
    // letters go rule by rule.
    {"/caf", "http://x/caf\xc3\xa9", kLinkElement, true},
    {"/a*b.",
     "http://x/a\xc3\xa9"
     "b.",
     kLinkElement, true},
    {"/a*b.",
     "http://x/a\xc3\xa9"
     "b-",
     kLinkElement, false},
    {"|http://x/d\xc3\xa9j\xc3\xa0", "http://x/D\xc3\x89J\xc3\x80", kLinkElement, true},
    {"x[^/]y", "http://x\xc3\xa9y", kLinkElement, true},
    {"x[^/]y", "http://x/y\xc3\xa9", kLinkElement, false},
    {"x\\Wy", "http://x\xe2\x82\xacy", kLinkElement, true},
    {"x\\x{e9}y", "http://x\xc3\x89y", kLinkElement, true},
    {"/sky", "http://x/s\xe2\x84\xaay", kLinkElement, true},
    {"/mask$match-case", "http://x/ma\xc5\xbfk", kLinkElement, false},
    {"/mask", "http://x/ma\xc5\xbfk", kLinkElement, true},
    {"/ad",
     "http://x/\xff"
     "ad",
     kLinkElement, false},
    {"/ad", "http://x/\xc3\xa9/ad", kLinkElement, true},
    // Wildcard rules whose whole pattern Vectorscan did not find (the first
    // found by fuzzing): they are looked for by their longest literal.
    {"|*js***", "http://track.example.net/t.js", kLinkElement, true},
    {"|http://*ab", "http://www.example.com/pathab", kLinkElement, true},
    {"|http://*ab", "https://www.example.com/pathab", kLinkElement, false},
    {"|*j", "http://x/j", kLinkElement, true},  // one character: one by one
};

TEST(RuleIndexTest, KnownAnswersThroughTheIndex) {
  for (const RuleCase& c : kRuleCases) {
    auto holder = HolderOf({c.rule});
    ASSERT_TRUE(holder->EnableIndex(std::wstring())) << c.rule;
    EXPECT_EQ(holder->CheckElement(c.kind, c.text, 0), c.blocked)
        << "rule [" << c.rule << "] text [" << c.text << "]";
    holder->set_reference_scan(true);
    EXPECT_EQ(holder->CheckElement(c.kind, c.text, 0), c.blocked)
        << "rule by rule: rule [" << c.rule << "] text [" << c.text << "]";
  }
}

// A few rules together, each found wherever its match ends in the text: in
// small databases Vectorscan's AVX-512 scan missed the literal "az" and its
// wildcard scan missed "^http.*aa" at some offsets.
TEST(RuleIndexTest, RulesAmongFewOthersAreFoundAtEveryOffset) {
  std::vector<std::string> lines = {"|http://*aa", "az", "|*js", "/x/*banner"};
  for (int i = 1; i <= 20; ++i) lines.push_back("zq" + std::to_string(100 + i) + "xw");
  auto holder = HolderOf(lines);
  ASSERT_TRUE(holder->EnableIndex(std::wstring()));
  const std::string filler = "http://www.example.com/path/to/some/thing?q=1&r=2";
  std::vector<std::string> texts;
  for (size_t n = 8; n < 160; ++n) {
    std::string prefix;
    while (prefix.size() < n) prefix += filler;
    prefix.resize(n);
    for (const char* tail : {"aa", "az", "js", "az/x?y=1", "/x/banner"}) {
      texts.push_back(prefix + tail);
    }
  }
  for (const std::string& text : texts) {
    EXPECT_TRUE(holder->CheckElement(kLinkElement, text.c_str(), 0)) << text;
  }
  EXPECT_GT(ExpectSameDecisions(holder.get(), texts), 0u);
}

// The index cache: served when valid, never used for other rules or when
// damaged, and a damaged one is replaced by a good one.
TEST(RuleIndexTest, CacheIsUsedOnlyWhenValid) {
  ScopedCvieRoot root;
  const std::filesystem::path cache = root.path() / "rules.idx";
  const std::wstring cache_path = cache.wstring();
  std::vector<std::string> lines(std::begin(kAdversarialRules),
                                 std::end(kAdversarialRules));
  std::vector<std::string> texts = GeneratedTexts(500, 99);

  bool from_cache = true;
  auto first = HolderOf(lines);
  ASSERT_TRUE(first->EnableIndex(cache_path, &from_cache));
  EXPECT_FALSE(from_cache);
  ASSERT_TRUE(std::filesystem::exists(cache));

  auto second = HolderOf(lines);
  ASSERT_TRUE(second->EnableIndex(cache_path, &from_cache));
  EXPECT_TRUE(from_cache);
  EXPECT_GT(ExpectSameDecisions(second.get(), texts), 0u);

  std::string good;
  ASSERT_TRUE(testing::ReadFile(cache, &good));

  struct Damage {
    const char* name;
    std::string bytes;
  };
  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 0x20;
  std::string flipped_key = good;
  flipped_key[12] ^= 0x01;
  const Damage kDamages[] = {
      {"byte flipped in the database", flipped},
      {"byte flipped in the key", flipped_key},
      {"truncated", good.substr(0, good.size() - 9)},
      {"empty", std::string()},
      {"garbage", std::string(4096, 'x')},
  };
  for (const Damage& damage : kDamages) {
    testing::WriteFile(cache, damage.bytes);
    auto holder = HolderOf(lines);
    ASSERT_TRUE(holder->EnableIndex(cache_path, &from_cache)) << damage.name;
    EXPECT_FALSE(from_cache) << damage.name;
    EXPECT_GT(ExpectSameDecisions(holder.get(), texts), 0u) << damage.name;
    std::string rewritten;
    ASSERT_TRUE(testing::ReadFile(cache, &rewritten)) << damage.name;
    EXPECT_EQ(rewritten, good) << damage.name;
  }

  // Other rules (one option changed) never take this cache.
  std::vector<std::string> changed = lines;
  changed[0] = "/banner/*.gif$image";
  auto other = HolderOf(changed);
  ASSERT_TRUE(other->EnableIndex(cache_path, &from_cache));
  EXPECT_FALSE(from_cache);
  EXPECT_GT(ExpectSameDecisions(other.get(), {"http://x/banner/a.gif", "/banner/x.gif"}),
            0u);
}

// The empty text is decided once per kind and remembered: every later check
// of any kind gives the rule-by-rule answer, which differs by kind here.
TEST(RuleIndexTest, EmptyTextIsDecidedPerKindAsTheRuleScan) {
  auto holder = HolderOf({"^$$image", "banner", "x?$script"});
  ASSERT_TRUE(holder->EnableIndex(std::wstring()));
  const Decision reference = Decide(holder.get(), "", true);
  EXPECT_TRUE(reference.element[1]);   // image: "^$"
  EXPECT_FALSE(reference.element[0]);  // link: no rule matches nothing
  for (int round = 0; round < 3; ++round) {
    const Decision indexed = Decide(holder.get(), "", false);
    for (int kind = 0; kind < kElementKindCount; ++kind) {
      EXPECT_EQ(indexed.element[kind], reference.element[kind])
          << "kind " << kind << ", round " << round;
    }
    EXPECT_EQ(indexed.script, reference.script) << "round " << round;
  }
}

TEST(RuleIndexTest, ConcurrentChecksDecideAsTheRuleScan) {
  std::vector<std::string> lines(std::begin(kAdversarialRules),
                                 std::end(kAdversarialRules));
  auto holder = HolderOf(lines);
  ASSERT_TRUE(holder->EnableIndex(std::wstring()));
  std::vector<std::string> texts = GeneratedTexts(400, 7);
  std::vector<Decision> expected;
  for (const std::string& text : texts)
    expected.push_back(Decide(holder.get(), text, true));
  RulesHolder* shared = holder.get();
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < texts.size(); ++i) {
          for (int kind = 0; kind < kElementKindCount; ++kind) {
            if (shared->CheckElement(kind, texts[i].c_str(), 0) !=
                expected[i].element[kind]) {
              ++mismatches[t];
            }
          }
          if (shared->CheckScript(texts[i].c_str(), 0) != expected[i].script)
            ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

// The shared big rule list over a sample of the shared URLs (every URL is
// compared by `cvie rules bench`; the rule-by-rule scan is too slow for all of
// them here). Every blocked URL of the sample and an even spread of the
// others are compared, for CheckElement and as script text.
TEST(RuleIndexTest, BigRuleListDecidesAsTheRuleScan) {
  const std::filesystem::path shared = testing::SharedDir();
  const std::filesystem::path rules = shared / "rules" / "big_rules.txt";
  const std::filesystem::path urls = shared / "rules" / "urls.txt";
  if (shared.empty() || !std::filesystem::exists(rules) ||
      !std::filesystem::exists(urls)) {
    GTEST_SKIP() << "shared rule list absent";
  }
  RulesHolder holder;
  ASSERT_TRUE(ReadRuleText(rules.string(), &holder));
  holder.set_loaded(true);
  // The compiled index is kept in the build folder between runs: compiling it
  // takes most of a minute, loading it well under a second.
  ASSERT_TRUE(
      holder.EnableIndex((testing::BinaryDir() / "ruleindex_big_rules.idx").wstring()));
  std::ifstream in(urls);
  std::string line;
  std::vector<std::pair<int, std::string>> checks;
  while (std::getline(in, line)) {
    size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    int kind = ElementKindFromName(line.substr(0, blank));
    if (kind >= 0) checks.emplace_back(kind, line.substr(blank + 1));
  }
  ASSERT_GT(checks.size(), 1000u);
  // Every line, both ways. A script made of every 150th URL is checked both
  // ways too.
  size_t compared = 0;
  size_t blocked = 0;
  const size_t script_step = 150;
  for (size_t i = 0; i < checks.size(); ++i) {
    const auto& [kind, url] = checks[i];
    holder.set_reference_scan(false);
    bool indexed = holder.CheckElement(kind, url.c_str(), 0);
    holder.set_reference_scan(true);
    bool reference = holder.CheckElement(kind, url.c_str(), 0);
    EXPECT_EQ(indexed, reference) << "line " << i + 1 << ": " << url;
    ++compared;
    blocked += reference ? 1 : 0;
    if (i % script_step == 0) {
      std::string script = "var s = \"" + url + "\"; load('" + url + "');";
      holder.set_reference_scan(false);
      bool indexed_script = holder.CheckScript(script.c_str(), 0);
      holder.set_reference_scan(true);
      EXPECT_EQ(indexed_script, holder.CheckScript(script.c_str(), 0))
          << "script " << url;
    }
  }
  holder.set_reference_scan(false);
  EXPECT_EQ(compared, checks.size());
  EXPECT_GT(blocked, 100u);

  // Non-ASCII text through the index: every 60th URL with a UTF-8 fragment
  // after it (most decisions stay as they were) and with one inside its host
  // name (most host rules stop matching).
  struct Variant {
    const char* name;
    std::string (*make)(const std::string& url);
    bool keeps_blocks;  // most blocked URLs stay blocked
  };
  const Variant kVariants[] = {
      {"fragment",
       [](const std::string& url) { return url + "#caf\xc3\xa9-\xe2\x82\xac"; }, true},
      {"host",
       [](const std::string& url) {
         size_t host = url.find("://");
         std::string changed = url;
         changed.insert(host == std::string::npos ? 0 : host + 3, "\xc3\xa9");
         return changed;
       },
       false},
  };
  for (const Variant& variant : kVariants) {
    size_t variant_blocked = 0;
    for (size_t i = 0; i < checks.size(); i += 60) {
      const std::string text = variant.make(checks[i].second);
      holder.set_reference_scan(false);
      bool indexed = holder.CheckElement(checks[i].first, text.c_str(), 0);
      holder.set_reference_scan(true);
      bool reference = holder.CheckElement(checks[i].first, text.c_str(), 0);
      EXPECT_EQ(indexed, reference) << variant.name << " line " << i + 1 << ": " << text;
      variant_blocked += reference ? 1 : 0;
    }
    holder.set_reference_scan(false);
    if (variant.keeps_blocks) {
      EXPECT_GT(variant_blocked, 5u) << variant.name;
    }
  }
}

}  // namespace
}  // namespace cvie
