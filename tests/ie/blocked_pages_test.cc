// The record of what the last pages blocked: bounds (pages and bytes, oldest
// dropped first), shortening of long texts, newest-first order, counts per
// kind, the JSON export (valid and escaped), the recording checker, and many
// threads recording at once.

#include "ie/blocked_pages.h"

#include <string.h>
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace cvie {
namespace {

// Blocks every text that contains "ad"; a text with "good" in it is let
// through by an exception; names both.
class FakeRules : public AnyHtmlEditorRuleChecker {
 public:
  bool CheckElement(int kind, const char* text, int encoding) override {
    CheckVerdict verdict;
    return ExplainElementCheck(kind, text, encoding, &verdict);
  }
  bool CheckScript(const char* text, int encoding) override {
    CheckVerdict verdict;
    return ExplainScriptCheck(text, encoding, &verdict);
  }
  bool ExplainElementCheck(int, const char* text, int, CheckVerdict* verdict) override {
    *verdict = CheckVerdict();
    if (text == nullptr || strstr(text, "ad") == nullptr) return false;
    if (strstr(text, "good") != nullptr) {
      verdict->exception = "list.txt:9: @@good";
      return false;
    }
    verdict->blocked = true;
    verdict->rule = "rules.txt:2: ad";
    return true;
  }
  bool ExplainScriptCheck(const char* text, int encoding,
                          CheckVerdict* verdict) override {
    return ExplainElementCheck(kScriptElement, text, encoding, verdict);
  }
};

RecordedPage PageWith(const std::string& address, int blocked, int64_t when) {
  RecordedPage page;
  page.address = address;
  page.time = when;
  page.checked = static_cast<size_t>(blocked) + 1;
  page.blocked = static_cast<size_t>(blocked);
  for (int i = 0; i < blocked; ++i) {
    RecordedElement e;
    e.kind = i % (kScriptBlockKind + 1);  // the kinds a page has
    e.text = "http://ads.example/" + std::to_string(i);
    e.length = e.text.size();
    e.blocked = true;
    e.rule = "rules.txt:2: ad";
    page.elements.push_back(e);
  }
  return page;
}

// A small JSON reader that only says whether the text is one valid value.
struct JsonChecker {
  const std::string& s;
  size_t i = 0;
  void Blank() {
    while (i < s.size() && strchr(" \t\r\n", s[i]) != nullptr) ++i;
  }
  bool Literal(const char* word) {
    size_t n = strlen(word);
    if (s.compare(i, n, word) != 0) return false;
    i += n;
    return true;
  }
  bool String() {
    if (s[i] != '"') return false;
    for (++i; i < s.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"') return ++i, true;
      if (c < 0x20) return false;
      if (c == '\\') {
        ++i;
        if (i >= s.size()) return false;
        if (s[i] == 'u') {
          for (int k = 0; k < 4; ++k) {
            if (++i >= s.size() || !isxdigit(static_cast<unsigned char>(s[i])))
              return false;
          }
        } else if (strchr("\"\\/bfnrt", s[i]) == nullptr) {
          return false;
        }
      }
    }
    return false;
  }
  bool Value() {
    Blank();
    if (i >= s.size()) return false;
    char c = s[i];
    if (c == '"') return String();
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++i;
      Blank();
      if (i < s.size() && s[i] == close) return ++i, true;
      for (;;) {
        if (c == '{') {
          Blank();
          if (!String()) return false;
          Blank();
          if (i >= s.size() || s[i++] != ':') return false;
        }
        if (!Value()) return false;
        Blank();
        if (i >= s.size()) return false;
        if (s[i] == close) return ++i, true;
        if (s[i++] != ',') return false;
      }
    }
    if (Literal("true") || Literal("false") || Literal("null")) return true;
    size_t start = i;
    if (s[i] == '-') ++i;
    while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i > start;
  }
  bool Valid() {
    if (!Value()) return false;
    Blank();
    return i == s.size();
  }
};

bool IsValidJson(const std::string& text) { return JsonChecker{text}.Valid(); }

TEST(BlockedPagesTest, KeepsTheNewestPagesWithinThePageBound) {
  BlockedPages pages(3, 1u << 20);
  for (int i = 1; i <= 5; ++i)
    pages.Add(PageWith("http://p" + std::to_string(i), 1, 1000));
  std::vector<RecordedPage> recent = pages.Recent();
  ASSERT_EQ(recent.size(), 3u);
  EXPECT_EQ(recent[0].address, "http://p5");
  EXPECT_EQ(recent[1].address, "http://p4");
  EXPECT_EQ(recent[2].address, "http://p3");
  EXPECT_EQ(recent[0].serial, 5u);
  RecordedPage found;
  EXPECT_TRUE(pages.Find(4, &found));
  EXPECT_EQ(found.address, "http://p4");
  EXPECT_FALSE(pages.Find(1, &found)) << "dropped";
}

TEST(BlockedPagesTest, KeepsWithinTheByteBoundDroppingTheOldest) {
  const size_t bound = 64 * 1024;
  BlockedPages pages(50, bound);
  for (int i = 0; i < 40; ++i)
    pages.Add(PageWith("http://p" + std::to_string(i), 100, 1000));
  EXPECT_LE(pages.bytes(), bound);
  std::vector<RecordedPage> recent = pages.Recent();
  ASSERT_FALSE(recent.empty());
  EXPECT_LT(recent.size(), 40u);
  EXPECT_EQ(recent[0].address, "http://p39");
  size_t sum = 0;
  for (const RecordedPage& p : recent) sum += p.Bytes();
  EXPECT_EQ(sum, pages.bytes());

  // One page bigger than the whole bound keeps its counts, not all elements.
  pages.Add(PageWith("http://huge", 5000, 1000));
  recent = pages.Recent();
  ASSERT_EQ(recent.size(), 1u);
  EXPECT_EQ(recent[0].address, "http://huge");
  EXPECT_TRUE(recent[0].elements_cut);
  EXPECT_EQ(recent[0].blocked, 5000u);
  EXPECT_LT(recent[0].elements.size(), 5000u);
  EXPECT_LE(pages.bytes(), bound);
}

TEST(BlockedPagesTest, ShortensTextsToTwoHundredCharactersKeepingTheLength) {
  struct Case {
    std::string text;
    std::string kept;
  } const cases[] = {
      {"short", "short"},
      {std::string(200, 'a'), std::string(200, 'a')},
      {std::string(201, 'a'), std::string(200, 'a')},
      // The 200th character is two bytes long: it is kept whole.
      {std::string(199, 'a') + "\xC3\xA9" + std::string(1000, 'b'),
       std::string(199, 'a') + "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShortenText(c.text, kRecordedCharacters), c.kept) << c.text.size();
  }
  FakeRules rules;
  BlockedPages pages(50, 1u << 20);
  {
    RecordingChecker checker(&rules, "http://page", &pages);
    std::string script = "<script>ad" + std::string(100000, 'x') + "</script>";
    EXPECT_TRUE(checker.CheckScript(script.c_str(), 0));
    checker.Finish();
    checker.Finish();  // once only
  }
  std::vector<RecordedPage> recent = pages.Recent();
  ASSERT_EQ(recent.size(), 1u);
  ASSERT_EQ(recent[0].elements.size(), 1u);
  EXPECT_EQ(recent[0].elements[0].text.size(), 200u);
  EXPECT_EQ(recent[0].elements[0].length, 100000u + 19);
  EXPECT_EQ(recent[0].elements[0].kind, kScriptBlockKind);
}

TEST(BlockedPagesTest, RecordingCheckerAnswersAsItsRulesAndNotesBlocksAndExceptions) {
  FakeRules rules;
  BlockedPages pages(50, 1u << 20);
  {
    RecordingChecker checker(&rules, "http://page/a", &pages);
    EXPECT_TRUE(checker.CheckElement(kImageElement, "http://x/ad.gif", 0));
    EXPECT_FALSE(checker.CheckElement(kLinkElement, "http://x/plain", 0));
    EXPECT_FALSE(checker.CheckElement(kLinkElement, "http://x/good-ad", 0));
    EXPECT_FALSE(checker.CheckElement(kLinkElement, nullptr, 0));
    CheckVerdict verdict;
    EXPECT_TRUE(checker.ExplainElementCheck(kFrameElement, "ad-frame", 0, &verdict));
    EXPECT_EQ(verdict.rule, "rules.txt:2: ad");
  }  // recorded when the checker goes
  std::vector<RecordedPage> recent = pages.Recent();
  ASSERT_EQ(recent.size(), 1u);
  const RecordedPage& page = recent[0];
  EXPECT_EQ(page.address, "http://page/a");
  EXPECT_EQ(page.checked, 5u);
  EXPECT_EQ(page.blocked, 2u);
  EXPECT_GT(page.time, 0);
  ASSERT_EQ(page.elements.size(), 3u);
  EXPECT_EQ(page.elements[0].kind, kImageElement);
  EXPECT_TRUE(page.elements[0].blocked);
  EXPECT_EQ(page.elements[0].rule, "rules.txt:2: ad");
  EXPECT_FALSE(page.elements[1].blocked);
  EXPECT_EQ(page.elements[1].exception, "list.txt:9: @@good");
  EXPECT_EQ(page.elements[2].kind, kFrameElement);

  // Recording off: the checker handed out is the rules themselves.
  BlockedPages::Instance().set_enabled(false);
  std::unique_ptr<RecordingChecker> recording;
  EXPECT_EQ(RecordPage(&rules, L"http://x", &recording), &rules);
  EXPECT_EQ(recording, nullptr);
  BlockedPages::Instance().set_enabled(true);
  EXPECT_NE(RecordPage(&rules, L"http://x", &recording), &rules);
  EXPECT_NE(recording, nullptr);
}

TEST(BlockedPagesTest, CountsBlockedElementsPerKindSinceStartAndToday) {
  BlockedPages pages(2, 1u << 20);
  const int64_t day1 = 1'800'000'000;
  const int64_t day2 = day1 + 3 * 86400;
  pages.Add(PageWith("http://a", 12, day1));  // kinds 0..9, then 0, 1
  pages.Add(PageWith("http://b", 2, day2));   // kinds 0, 1
  pages.Add(PageWith("http://c", 1, day2));   // kind 0; page a is dropped
  BlockedCounts counts = pages.Counts(day2);
  EXPECT_EQ(counts.total_since_start, 15u) << "dropped pages still count";
  EXPECT_EQ(counts.total_today, 3u);
  EXPECT_EQ(counts.pages, 3u);
  EXPECT_EQ(counts.since_start[0], 4u);
  EXPECT_EQ(counts.since_start[1], 3u);
  EXPECT_EQ(counts.since_start[kScriptBlockKind], 1u);
  EXPECT_EQ(counts.today[0], 2u);
  EXPECT_EQ(counts.today[1], 1u);
  EXPECT_EQ(counts.today[2], 0u);
  // On a later day nothing was blocked yet today.
  counts = pages.Counts(day2 + 2 * 86400);
  EXPECT_EQ(counts.total_today, 0u);
  EXPECT_EQ(counts.total_since_start, 15u);
}

TEST(BlockedPagesTest, ExportIsValidJsonWithEveryTextEscaped) {
  BlockedPages pages(50, 1u << 20);
  RecordedPage page =
      PageWith("http://x/\"</script><img src=x onerror=alert(1)>&\\", 1, 5);
  page.elements[0].text = "tab\there\nnul-free \x01 bad \xff\xfe utf8 \xC3\xA9 end";
  page.elements[0].rule = "rules.txt:3: \"quoted\" <b>";
  pages.Add(page);
  pages.Add(PageWith("http://second", 0, 6));
  std::string json = pages.ExportJson();
  EXPECT_TRUE(IsValidJson(json)) << json;
  EXPECT_EQ(json.find('<'), std::string::npos);
  EXPECT_EQ(json.find('>'), std::string::npos);
  EXPECT_EQ(json.find('\t'), std::string::npos);
  EXPECT_EQ(json.find('\xff'), std::string::npos);
  EXPECT_NE(json.find("\\u003c/script\\u003e"), std::string::npos);
  EXPECT_NE(json.find("\\\"quoted\\\""), std::string::npos);
  EXPECT_NE(json.find("\\u0001"), std::string::npos);
  EXPECT_NE(json.find("\xEF\xBF\xBD\xEF\xBF\xBD"), std::string::npos) << "U+FFFD twice";
  EXPECT_NE(json.find("\xC3\xA9"), std::string::npos) << "good UTF-8 kept";
  // Newest first.
  EXPECT_LT(json.find("http://second"), json.find("http://x/"));
  EXPECT_TRUE(IsValidJson(BlockedPages(5, 1000).ExportJson()));
  EXPECT_FALSE(IsValidJson("{\"a\":\"\x01\"}")) << "the checker itself can fail";
}

// Many pages filtered at once on many threads: nothing is lost from the
// counts, and the bounds hold (run under ThreadSanitizer by make test-tsan).
TEST(BlockedPagesTest, ConcurrentPagesAreAllCounted) {
  FakeRules rules;
  BlockedPages pages(50, 256 * 1024);
  constexpr int kThreads = 8;
  constexpr int kPagesPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int p = 0; p < kPagesPerThread; ++p) {
        RecordingChecker checker(&rules, "http://t" + std::to_string(t), &pages);
        checker.CheckElement(kImageElement, "http://x/ad.gif", 0);
        checker.CheckElement(kLinkElement, "http://x/plain", 0);
        checker.CheckScript("ad()", 0);
        if (p % 50 == 0) {
          EXPECT_LE(pages.Recent().size(), 50u);
          EXPECT_TRUE(IsValidJson(pages.ExportJson()));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  BlockedCounts counts = pages.Counts(static_cast<int64_t>(time(nullptr)));
  EXPECT_EQ(counts.pages, static_cast<uint64_t>(kThreads * kPagesPerThread));
  EXPECT_EQ(counts.since_start[kImageElement], counts.pages);
  EXPECT_EQ(counts.since_start[kScriptBlockKind], counts.pages);
  EXPECT_EQ(counts.total_since_start, 2 * counts.pages);
  std::vector<RecordedPage> recent = pages.Recent();
  EXPECT_EQ(recent.size(), 50u);
  for (size_t i = 1; i < recent.size(); ++i)
    EXPECT_GT(recent[i - 1].serial, recent[i].serial);
  EXPECT_LE(pages.bytes(), pages.max_bytes());
}

}  // namespace
}  // namespace cvie
