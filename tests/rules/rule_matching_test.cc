// Matching and scoring: element checks by kind, script blocks, the URLs found
// in scripts, the matcher's results and the holder shared by several threads.

#include <stdint.h>
#include <stdio.h>

#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rules/rule_options.h"
#include "rules/rules_holder.h"
#include "rules_test_support.h"

namespace cvie {
namespace {

using testing::HolderWith;
using testing::LogWatch;

struct ElementCase {
  const char* rule;
  int kind;
  const char* text;
  bool blocked;
};

const ElementCase kElementCases[] = {
    // Types select the rules tried for each kind.
    {"/ads/$image", kImageElement, "http://x/ads/x.gif", true},
    {"/ads/$image", kLinkElement, "http://x/ads/x.gif", false},
    {"/ads/$image", kBackgroundElement, "http://x/ads/x.gif", false},
    {"/ads/$background", kBackgroundElement, "http://x/ads/x.gif", true},
    {"/ads/$object", kFlashElement, "http://x/ads/x.swf", true},
    {"/ads/$script", kScriptElement, "http://x/ads/x.js", true},
    {"/ads/$script-url", kScriptElement, "http://x/ads/x.js", false},
    {"/ads/$subdocument", kFrameElement, "http://x/ads/f.html", true},
    {"/ads/$document", kFrameElement, "http://x/ads/f.html", false},
    {"/ads/$stylesheet", kStylesheetElement, "http://x/ads/s.css", true},
    {"banner$marquee", kMarqueeElement, "banner text", true},
    {"^ad-$div", kDivElement, "ad-top", true},
    {"^ad-$div", kDivElement, "head-ad-top", false},
    {"/ads/$link", kLinkElement, "http://x/ads/", true},
    {"foo$other", kLinkElement, "foo", false},
    {"foo$~image", kImageElement, "foo", false},
    {"foo$~image", kLinkElement, "foo", true},
    {"foo$~image", kDivElement, "foo", true},
    // Case, anchors, wildcards and expression syntax.
    {"/ADS/", kImageElement, "http://x/ads/a.gif", true},
    {"/ADS/$match-case", kImageElement, "http://x/ads/a.gif", false},
    {"/ADS/$match-case", kImageElement, "http://x/ADS/a.gif", true},
    {"/wÉrbung/", kImageElement, "http://x/wérbung/a.gif", true},
    {"|http://ad", kImageElement, "http://ads.example/a.gif", true},
    {"|http://ad", kImageElement, "https://x/?u=http://ad", false},
    {"swf|", kFlashElement, "http://x/a.swf", true},
    {"swf|", kFlashElement, "http://x/a.swf?x=1", false},
    {"/banner/*.gif", kImageElement, "http://x/banner/2/a.gif", true},
    {"/banner/*.gif", kImageElement, "http://x/banner/a.png", false},
    {"a.b", kImageElement, "axb", false},
    {"ad?", kImageElement, "ad", false},
    {"ad+", kImageElement, "http://x/add", true},
    {"ad[0-9]+x", kImageElement, "http://x/ad123x", true},
    {"||ad", kImageElement, "http://example.com/", true},
    {"foo$IMAGE", kImageElement, "foo$IMAGE", false},
    {"foo$collapse", kImageElement, "http://x/foo", true},
    {"ad(", kImageElement, "ad(", false},
};

TEST(CheckElement, BlocksWhenARuleOfTheKindMatches) {
  for (const ElementCase& c : kElementCases) {
    auto holder = HolderWith({c.rule});
    ASSERT_EQ(holder->RuleCount(), 1u) << c.rule;
    EXPECT_EQ(holder->CheckElement(c.kind, c.text, 0), c.blocked)
        << c.rule << " kind " << kElementKinds[c.kind].name << " on " << c.text;
  }
}

TEST(CheckElement, RuleWithoutOptionsCoversEveryKind) {
  auto holder = HolderWith({"/ads/"});
  for (int kind = 0; kind < kElementKindCount; ++kind) {
    EXPECT_TRUE(holder->CheckElement(kind, "http://x/ads/a", 0)) << kind;
    EXPECT_EQ(holder->Score(kElementKinds[kind].type_bit, "http://x/ads/a"), BLOCK_SCORE)
        << kind;
  }
  EXPECT_EQ(holder->Score(TYPE_SCRIPT_URL, "http://x/ads/a"), BLOCK_SCORE);
  EXPECT_EQ(holder->Score(TYPE_SCRIPT_TEXT, "http://x/ads/a"), 0);
  EXPECT_EQ(holder->Score(kElementKinds[kImageElement].type_bit, "http://x/a"), 0);
}

TEST(CheckElement, KindOutsideTheTableOrNullTextIsNeverBlocked) {
  auto holder = HolderWith({"||x"});  // matches every text
  LogWatch log;
  EXPECT_FALSE(holder->CheckElement(9, "http://x/", 0));
  EXPECT_FALSE(holder->CheckElement(-1, "http://x/", 0));
  EXPECT_FALSE(holder->CheckElement(1000, "http://x/", 0));
  EXPECT_FALSE(holder->CheckElement(kImageElement, nullptr, 0));
  EXPECT_FALSE(holder->CheckScript(nullptr, 0));
  EXPECT_EQ(holder->Score(TYPE_IMAGE, nullptr), 0);
  EXPECT_EQ(holder->ScoreScript(nullptr), 0);
  EXPECT_TRUE(holder->CheckElement(kImageElement, "http://x/", 0));
  EXPECT_TRUE(log.NewText().empty()) << log.NewText();
}

TEST(CheckElement, KindTableHasNamesAndBits) {
  struct KindCase {
    int kind;
    const char* name;
    uint32_t bit;
  };
  const KindCase kKinds[] = {
      {kLinkElement, "link", 0x20},
      {kImageElement, "image", 0x2},
      {kBackgroundElement, "background", 0x4},
      {kFlashElement, "flash", 0x10},
      {kScriptElement, "script", 0x100},
      {kFrameElement, "frame", 0x40},
      {kStylesheetElement, "stylesheet", 0x8},
      {kMarqueeElement, "marquee", 0x1000},
      {kDivElement, "div", 0x800},
  };
  ASSERT_EQ(kElementKindCount, 9);
  for (const KindCase& c : kKinds) {
    EXPECT_STREQ(kElementKinds[c.kind].name, c.name) << c.kind;
    EXPECT_EQ(kElementKinds[c.kind].type_bit, c.bit) << c.name;
    EXPECT_EQ(ElementKindFromName(c.name), c.kind) << c.name;
  }
  EXPECT_EQ(ElementKindFromName("script-block"), -1);
  EXPECT_EQ(ElementKindFromName("Image"), -1);
}

// Records the rules a check tries.
class TriedRules : public MatchObserver {
 public:
  void RuleTried(size_t index, const char* text, int result) override {
    tried.push_back({index, text, result});
  }
  struct Try {
    size_t index;
    std::string text;
    int result;
  };
  std::vector<Try> tried;
};

TEST(Score, TriesRulesOfTheKindInOrderAndStopsAtTheFirstMatch) {
  auto holder = HolderWith({"/ads/$script", "/nothing/", "/ads/", "/ads/x", "/ad"});
  TriedRules observer;
  EXPECT_TRUE(holder->ExplainElement(kImageElement, "http://x/ads/x.gif", &observer));
  ASSERT_EQ(observer.tried.size(), 2u);
  EXPECT_EQ(observer.tried[0].index, 1u);
  EXPECT_EQ(observer.tried[0].result, 0);
  EXPECT_EQ(observer.tried[1].index, 2u);
  EXPECT_GT(observer.tried[1].result, 0);

  TriedRules none;
  EXPECT_FALSE(holder->ExplainElement(kImageElement, "http://x/a.gif", &none));
  ASSERT_EQ(none.tried.size(), 4u);
  for (size_t i = 0; i < none.tried.size(); ++i) {
    EXPECT_EQ(none.tried[i].index, i + 1);
    EXPECT_EQ(none.tried[i].text, "http://x/a.gif");
  }
}

struct MatchCase {
  const char* rule;
  const char* text;
  int result;
  bool ovector_line;  // "ovector only has room" is logged
};

const MatchCase kMatchCases[] = {
    {"/ads/", "http://x/ads/", 1, false},
    {"/ads/", "http://x/ad/", 0, false},
    {"a(b){0,1}c", "ac", 1, false},
    {"a(b){0,1}c", "abc", 2, false},
    {"(a)(b)(c)(d)(e)(f)(g)(h)(i)", "abcdefghi", 10, false},
    {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "abcdefghij", 10, true},
    {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)", "abcdefghijkl", 10, true},
};

TEST(Match, ReturnsCapturedPairsPlusOneAndTenWhenTheVectorIsFull) {
  for (const MatchCase& c : kMatchCases) {
    auto holder = HolderWith({c.rule});
    ASSERT_EQ(holder->Rule(0).good, 1) << c.rule;
    LogWatch log;
    EXPECT_EQ(holder->Match(c.text, &holder->Rule(0)), c.result) << c.rule;
    EXPECT_EQ(log.Count("ovector only has room for 9 captured substrings"),
              c.ovector_line ? 1u : 0u)
        << c.rule;
    EXPECT_EQ(holder->CheckElement(kImageElement, c.text, 0), c.result > 0) << c.rule;
  }
}

TEST(Match, InvalidUtf8TextIsAMatcherErrorForEveryRuleTried) {
  // The text is handed to the matcher in UTF mode; a text that is not UTF-8
  // (a Latin-1 page, say) is refused by the matcher for each rule, logged, and
  // counted as no match.
  auto holder = HolderWith({"/ads/", "/img/", "/ads/$marquee"});
  LogWatch log;
  EXPECT_FALSE(holder->CheckElement(kImageElement, "http://x/ads/caf\xe9.gif", 0));
  EXPECT_EQ(log.Count("Matching error "), 2u) << log.NewText();
  EXPECT_EQ(holder->Match("http://x/ads/caf\xe9.gif", &holder->Rule(0)), 0);
  EXPECT_TRUE(holder->CheckElement(kImageElement, "http://x/ads/caf\xc3\xa9.gif", 0));
}

struct ScriptCase {
  const char* rule;
  const char* text;
  bool blocked;
};

const ScriptCase kScriptCases[] = {
    {"adframe$script-text", "var f = 'adframe'; show(f);", true},
    {"adframe$script-text", "var f = 'frame';", false},
    // The whole text is not tried against rules without "script-text".
    {"adframe", "var f = 'adframe';", false},
    {"adframe", "document.write('<img src=\"http://x/adframe.gif\">');", true},
    {"/ads/$script-url", "var u='http://x/ads/a.js'; f();", true},
    {"/ads/$script-url", "var u = '/ads/a.js';", false},
    {"/ads/$image", "var u='http://x/ads/a.js';", false},
    {"/ads/$script-url", "s.src=\"/ads/a.js\";", true},
    {"/ads/$script-url", "a.href='/ads/a.html';", true},
    // An empty attribute URL ends the scan.
    {"/ads/$script-url", "a.src=\"\"; b.href='/ads/b';", false},
    {"/ads/$script-url", "b.href='/ads/b';", true},
    // Absolute URLs come first; an attribute before the last one is not seen.
    {"/ads/$script-url", "s.src=\"/ads/a.js\"; t.src='http://x/ok.js';", false},
    // Later URLs are tried when earlier ones are not blocked.
    {"/ads/$script-url", "a(\"http://x/ok.js\"); b(\"http://y/ads/z.js\");", true},
    // A double quote anywhere after the start ends the URL, before a blank.
    {"/ads/$script-url", "u = 'http://x/a b/ads/\"';", true},
    {"/ads/$script-url", "", false},
};

TEST(CheckScript, BlocksOnWholeTextOrOnAUrlFoundInIt) {
  for (const ScriptCase& c : kScriptCases) {
    auto holder = HolderWith({c.rule});
    EXPECT_EQ(holder->CheckScript(c.text, 0), c.blocked) << c.rule << " on " << c.text;
    EXPECT_EQ(holder->ScoreScript(c.text), c.blocked ? BLOCK_SCORE : 0)
        << c.rule << " on " << c.text;
  }
}

// A rule on whole script blocks is matched by machine code; where that runs
// out of its stack on a long text, the interpreter still gives the answer.
TEST(CheckScript, ARuleThatExhaustsTheMachineCodeStackStillDecides) {
  auto holder = HolderWith({"(ab|cd)+ef$script-text"});
  std::string text;
  for (int i = 0; i < 20000; ++i) text += i % 2 ? "ab" : "cd";
  EXPECT_FALSE(holder->CheckScript(text.c_str(), 0));
  text += "ef";
  EXPECT_TRUE(holder->CheckScript(text.c_str(), 0));
}

// Answers are remembered per thread for repeated texts; they must follow the
// rules of the holder asked, also when the rules change or another holder
// with other rules is asked the same.
TEST(CheckElement, RepeatedChecksFollowTheRulesOfTheHolderAsked) {
  const char* const url = "http://x/banner/a.gif";
  auto blocking = HolderWith({"/banner/$image"});
  auto other = HolderWith({"/other/$image"});
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(blocking->CheckElement(kImageElement, url, 0));
    EXPECT_FALSE(other->CheckElement(kImageElement, url, 0));
    EXPECT_FALSE(blocking->CheckElement(kLinkElement, url, 0));
  }
  other->ParseRule("/banner/a$image");
  EXPECT_TRUE(other->CheckElement(kImageElement, url, 0));
  CheckVerdict verdict;
  for (int round = 0; round < 2; ++round) {
    EXPECT_TRUE(other->ExplainElementCheck(kImageElement, url, 0, &verdict));
    EXPECT_NE(verdict.rule.find("/banner/a$image"), std::string::npos) << verdict.rule;
  }
  other.reset();
  auto fresh = HolderWith({"/elsewhere/$image"});
  EXPECT_FALSE(fresh->CheckElement(kImageElement, url, 0));
}

// A quiet worker forgets its remembered answers; the next check works its
// answer out again and gives the same one.
TEST(CheckElement, AThreadForgetsItsRememberedAnswersWhenAsked) {
  const char* const url = "http://x/banner/forgotten.gif";
  auto holder = HolderWith({"/banner/$image"});
  RulesHolder::ForgetThreadAnswers();
  EXPECT_TRUE(holder->CheckElement(kImageElement, url, 0));
  EXPECT_TRUE(holder->CheckElement(kImageElement, url, 0));
  EXPECT_EQ(RulesHolder::ForgetThreadAnswers(), 1u);
  EXPECT_EQ(RulesHolder::ForgetThreadAnswers(), 0u);
  EXPECT_TRUE(holder->CheckElement(kImageElement, url, 0));
  EXPECT_EQ(RulesHolder::ForgetThreadAnswers(), 1u);
}

struct UrlCase {
  const char* text;
  std::vector<std::string> urls;
};

const UrlCase kUrlCases[] = {
    {"var u='http://x/ads/a.js'; f();", {"http://x/ads/a.js';"}},
    {"a(\"http://x/1\"); b(\"http://x/2\")", {"http://x/1", "http://x/2"}},
    {"x = http://x/a", {"http://x/a"}},
    {"<a href=\"/p\">", {"/p"}},
    {"<img src='/i.gif'>", {"/i.gif"}},
    {"<img src=\"\">", {}},
    {"<img src=/i.gif>", {}},
    {"no url here", {}},
    {"", {}},
    {"href='/a' src=\"/b\" ", {"/b"}},
    {"http://a/1 http://a/2", {"http://a/1", "http://a/2"}},
};

TEST(ScriptUrls, AreFoundAndEndedAsTheScannerDoes) {
  for (const UrlCase& c : kUrlCases) {
    std::vector<std::string> found;
    const char* remaining = c.text;
    std::string url;
    while (found.size() < 10 && RulesHolder::NextScriptUrl(&remaining, &url)) {
      found.push_back(url);
    }
    EXPECT_EQ(found, c.urls) << c.text;
  }
}

TEST(ScoreScript, TriesWholeTextThenEachUrlWithItsOwnBit) {
  auto holder = HolderWith({"whole$script-text", "/u/$script-url", "/e/$script"});
  TriedRules observer;
  EXPECT_FALSE(holder->ExplainScript("f('http://x/a/'); g('http://x/e/');", &observer));
  ASSERT_EQ(observer.tried.size(), 3u);
  EXPECT_EQ(observer.tried[0].index, 0u);
  EXPECT_EQ(observer.tried[0].text, "f('http://x/a/'); g('http://x/e/');");
  EXPECT_EQ(observer.tried[1].index, 1u);
  EXPECT_EQ(observer.tried[1].text, "http://x/a/');");
  EXPECT_EQ(observer.tried[2].index, 1u);
  EXPECT_EQ(observer.tried[2].text, "http://x/e/");
}

// Synthetic rules and URLs for the shared-holder test: some URLs are blocked by
// plain rules, some by rules with captures (which use the whole match vector),
// some by anchored rules, and most by nothing.
std::unique_ptr<RulesHolder> SharedTestHolder() {
  auto holder = std::make_unique<RulesHolder>();
  char line[128];
  for (int i = 0; i < 200; ++i) {
    snprintf(line, sizeof line, "/ad%03d/*.gif$image", i);
    holder->ParseRule(line);
    snprintf(line, sizeof line, "|http://track%d.", i);
    holder->ParseRule(line);
  }
  for (int i = 0; i < 20; ++i) {
    snprintf(line, sizeof line, "(b)(a)(n)(n)(e)(r)(s)(i)(z)(e)-%d", i);
    holder->ParseRule(line);
    snprintf(line, sizeof line, "/pop%d/$script,subdocument", i);
    holder->ParseRule(line);
  }
  holder->set_loaded(true);
  return holder;
}

std::vector<std::pair<int, std::string>> SharedTestUrls() {
  std::vector<std::pair<int, std::string>> urls;
  char text[160];
  for (int i = 0; i < 10000; ++i) {
    int kind = i % kElementKindCount;
    switch (i % 7) {
      case 0:
        snprintf(text, sizeof text, "http://site%d.example/ad%03d/x%d.gif", i, i % 250,
                 i);
        break;
      case 1:
        snprintf(text, sizeof text, "http://track%d.example/p?i=%d", i % 300, i);
        break;
      case 2:
        snprintf(text, sizeof text, "http://cdn.example/bannersize-%d/a.png", i % 25);
        break;
      case 3:
        snprintf(text, sizeof text, "http://x.example/pop%d/w.js", i % 30);
        break;
      default:
        snprintf(text, sizeof text, "http://www%d.example/page/%d.html", i, i * 7);
        break;
    }
    urls.emplace_back(kind, text);
  }
  return urls;
}

TEST(RulesHolderConcurrency, FourThreadsGetTheSameAnswersAsOne) {
  auto holder = SharedTestHolder();
  auto urls = SharedTestUrls();
  std::vector<char> expected(urls.size());
  size_t blocked = 0;
  for (size_t i = 0; i < urls.size(); ++i) {
    expected[i] = holder->CheckElement(urls[i].first, urls[i].second.c_str(), 0);
    blocked += expected[i];
  }
  // The sample must exercise both answers to mean anything.
  ASSERT_GT(blocked, urls.size() / 10);
  ASSERT_LT(blocked, urls.size() * 9 / 10);

  constexpr int kThreads = 4;
  std::vector<std::vector<char>> answers(kThreads, std::vector<char>(urls.size()));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the list from a different starting point so that
      // different rules run at the same moment.
      for (size_t n = 0; n < urls.size(); ++n) {
        size_t i = (n + t * urls.size() / kThreads) % urls.size();
        RulesHolder* shared = holder.get();
        answers[t][i] = shared->CheckElement(urls[i].first, urls[i].second.c_str(), 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (size_t i = 0; i < urls.size(); ++i) {
      ASSERT_EQ(answers[t][i], expected[i])
          << "thread " << t << " kind " << urls[i].first << " " << urls[i].second;
    }
  }
}

TEST(RulesHolderConcurrency, ScriptChecksFromSeveralThreadsAgree) {
  auto holder = HolderWith(
      {"adframe$script-text", "/ads/$script-url", "(a)(d)(s)(e)(r)(v)(e)(r)(x)(y)"});
  const std::string scripts[] = {
      "var a = 'adframe';",
      "load('http://x/ads/a.js');",
      "load('http://adserverxy.example/a.js');",
      "load('http://x/content.js'); go(\"http://y/ok\");",
  };
  const bool expected[] = {true, true, true, false};
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < 2000; ++n) {
        int i = (n + t) % 4;
        if (holder->CheckScript(scripts[i].c_str(), 0) != expected[i]) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace cvie
