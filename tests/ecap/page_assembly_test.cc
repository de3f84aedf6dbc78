// The adapter's body path without Squid: which answers it collects, coded
// pages decoded and filtered, and every page it cannot filter (too big, cut,
// broken or truncated coded data) sent exactly as it came.

#include "page_assembly.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "anyhtml/easy_buffer.h"
#include "ecap/ecap_test_support.h"
#include "ie/page_filter.h"
#include "platform/text.h"
#include "rules/rules_holder.h"

namespace cvie::testing {
namespace {

using ecap::AnswerHead;
using ecap::PageAssembly;
using State = PageAssembly::State;

const char kRules[] = "adserver.example\n/ads/\n";
const char kUrl[] = "http://news.example/today.html";

std::string AdPage() {
  std::string page =
      "<html><head><title>News</title></head><body>\n"
      "<script src=\"http://adserver.example/show.js\"></script>\n"
      "<a href=\"http://adserver.example/click\"><img src=\"http://cdn.example/ads/"
      "banner.gif\" width=\"468\" height=\"60\"></a>\n";
  for (int i = 0; i < 400; ++i)
    page += "<p>Paragraph " + std::to_string(i) + " of the story</p>\n";
  return page + "</body></html>\n";
}

// The page as the editor filters it directly.
std::string Filtered(const std::string& page, RulesHolder* rules) {
  std::string input = page + std::string(2, '\0');
  CEasyBuffer out;
  if (FilterHtmlPage(platform::ToWide(kUrl), input.data(), page.size(), &out, rules) !=
      PageFilterResult::kFiltered) {
    return "(not filtered)";
  }
  return std::string(out.GetData(), out.GetSize());
}

class PageAssemblyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InstallRules(kRules));
    rules_ = LoadInstalledRules();
    ASSERT_TRUE(rules_);
  }
  std::shared_ptr<RulesHolder> rules_;
};

TEST_F(PageAssemblyTest, DecodesEachCodingAndSendsTheFilteredPageUncoded) {
  const std::string page = AdPage();
  const std::string expected = Filtered(page, rules_.get());
  ASSERT_NE(expected, page);
  ASSERT_NE(expected, "(not filtered)");
  struct Case {
    const char* header;
    const char* coding;
    size_t piece;
  };
  const Case kCases[] = {
      {"", "", 1000},         {"identity", "", 7},     {"gzip", "gzip", 1},
      {"gzip", "gzip", 333},  {"GZip ", "gzip", 4096}, {"deflate", "deflate", 100},
      {"br", "br", 5},        {"br", "br", 65536},     {"zstd", "zstd", 3},
      {"zstd", "zstd", 9000},
  };
  for (const Case& c : kCases) {
    const std::string body = Encode(c.coding, page);
    PageAssembly assembly(kUrl, c.header, 1 << 20, rules_);
    AssemblyRun run = DriveAssembly(&assembly, body, c.piece);
    EXPECT_EQ(run.state, State::kFiltered) << c.header << " " << c.piece;
    EXPECT_TRUE(run.sent == expected) << c.header << " " << c.piece;
  }
}

TEST_F(PageAssemblyTest, ZstdPageOfSeveralFramesIsDecodedWhole) {
  const std::string page = AdPage();
  const std::string body =
      Encode("zstd", page.substr(0, 1000)) + Encode("zstd", page.substr(1000));
  PageAssembly assembly(kUrl, "zstd", 1 << 20, rules_);
  AssemblyRun run = DriveAssembly(&assembly, body, 100);
  EXPECT_EQ(run.state, State::kFiltered);
  EXPECT_TRUE(run.sent == Filtered(page, rules_.get()));
}

// A small coded body that decodes far past the limit passes on as it came,
// and the assembly lets go of it long before the whole body arrived.
TEST_F(PageAssemblyTest, CompressionBombPassesOnCodedWithoutDecodingItAll) {
  for (const char* coding : {"gzip", "br", "zstd"}) {
    const std::string body =
        EncodedBomb(coding, "<html><body><p>", ' ', size_t{24} << 20);
    ASSERT_GT(body.size(), 256u) << coding;
    ASSERT_LT(body.size(), size_t{4} << 20) << coding;
    PageAssembly assembly(kUrl, coding, 1 << 20, rules_);
    AssemblyRun run = DriveAssembly(&assembly, body, 64);
    EXPECT_EQ(run.state, State::kPassing) << coding;
    EXPECT_TRUE(run.sent == body) << coding;
    EXPECT_LT(run.fed_when_passing, body.size() / 4) << coding;
  }
}

TEST_F(PageAssemblyTest, PagesItCannotFilterGoOnExactlyAsTheyCame) {
  const std::string page = AdPage();
  const std::string gzip = Encode("gzip", page);
  std::string broken = gzip;
  for (size_t i = broken.size() / 3; i < broken.size() / 3 + 40; ++i) broken[i] ^= 0x5A;
  struct Case {
    const char* what;
    const char* header;
    std::string body;
    size_t limit;
    bool at_end;
    State state;
  };
  const Case kCases[] = {
      {"plain page past the limit", "", page, 2000, true, State::kPassing},
      {"coded page past the limit as received", "gzip", gzip, 500, true, State::kPassing},
      {"page that decodes past the limit", "gzip", gzip, gzip.size() + 10, true,
       State::kPassing},
      {"broken gzip data", "gzip", broken, 1 << 20, true, State::kPassing},
      {"not br at all", "br", page, 1 << 20, true, State::kPassing},
      {"not gzip at all", "gzip", page, 1 << 20, true, State::kPassing},
      {"gzip data that stops short", "gzip", gzip.substr(0, gzip.size() / 2), 1 << 20,
       true, State::kUnchanged},
      {"zstd data that stops short", "zstd", Encode("zstd", page).substr(0, 200), 1 << 20,
       true, State::kUnchanged},
      {"plain page cut by the origin", "", page.substr(0, 3000), 1 << 20, false,
       State::kCut},
      {"coded page cut by the origin", "gzip", gzip.substr(0, 700), 1 << 20, false,
       State::kCut},
      {"empty coded body", "gzip", "", 1 << 20, true, State::kUnchanged},
  };
  for (const Case& c : kCases) {
    PageAssembly assembly(kUrl, c.header, c.limit, rules_);
    AssemblyRun run = DriveAssembly(&assembly, c.body, 256, c.at_end);
    EXPECT_EQ(run.state, c.state) << c.what;
    EXPECT_TRUE(run.sent == c.body) << c.what;
  }
}

TEST_F(PageAssemblyTest, PageNoRuleTouchesGoesOutDecodedAndUtf16PageAsItCame) {
  const std::string page = "<html><body><p>nothing to block</p></body></html>\n";
  PageAssembly assembly(kUrl, "gzip", 1 << 20, rules_);
  const std::string body = Encode("gzip", page);
  AssemblyRun run = DriveAssembly(&assembly, body, 50);
  // The editor leaves such a page byte for byte; it goes out decoded.
  EXPECT_EQ(run.state, State::kFiltered);
  EXPECT_TRUE(run.sent == page);

  // A UTF-16 page is exempt: sent as received, still coded.
  std::string utf16 = "\xFF\xFE";
  for (char ch : page) utf16 += std::string(1, ch) + '\0';
  const std::string coded16 = Encode("br", utf16);
  PageAssembly exempt(kUrl, "br", 1 << 20, rules_);
  run = DriveAssembly(&exempt, coded16, 50);
  EXPECT_EQ(run.state, State::kUnchanged);
  EXPECT_TRUE(run.sent == coded16);
}

TEST(WantsBody, CollectsHtmlAnswersToGetsItCanDecodeWithinTheLimit) {
  struct Case {
    bool is_get, has_body;
    const char* type;
    const char* encoding;
    const char* length;
    bool wanted;
  };
  const Case kCases[] = {
      {true, true, "text/html", "", "", true},
      {true, true, "Text/HTML; charset=utf-8", "", "100", true},
      {true, true, " text/html", "identity", "", true},
      {true, true, "text/html", "gzip", "", true},
      {true, true, "text/html", "deflate, br", "", true},
      {true, true, "text/html", "zstd", "1000", true},
      {true, true, "text/html", "compress", "", false},
      {true, true, "text/html", "gzip, sdch", "", false},
      {true, true, "text/html", "", "1001", false},
      {true, true, "text/html", "", "99999999999999999999999", false},
      {true, true, "text/plain", "", "", false},
      {true, true, "application/xhtml+xml", "", "", false},
      {true, true, "", "", "", false},
      {false, true, "text/html", "", "", false},
      {true, false, "text/html", "", "", false},
  };
  for (const Case& c : kCases) {
    AnswerHead head;
    head.is_get = c.is_get;
    head.has_body = c.has_body;
    head.content_type = c.type;
    head.content_encoding = c.encoding;
    head.content_length = c.length;
    EXPECT_EQ(ecap::WantsBody(head, 1000), c.wanted)
        << c.type << " | " << c.encoding << " | " << c.length << " get " << c.is_get
        << " body " << c.has_body;
  }
}

// Squid takes the pending bytes in pieces of its own size; whether they are a
// string or the editor's block, what it gets is every byte once, in order,
// also when more is appended between its takes.
TEST(PendingBytes, HandsOutEveryByteOnceWhateverThePiecesSquidTakes) {
  std::string whole;
  for (int i = 0; whole.size() < 300000; ++i) whole += "line " + std::to_string(i) + "\n";
  const size_t kTakes[] = {1, 4096, 65536, 70000, 300000};
  for (bool from_block : {false, true}) {
    for (size_t take : kTakes) {
      ecap::PendingBytes pending;
      const size_t first = whole.size() / 2;
      if (from_block) {
        auto block = std::make_unique<CEasyBuffer>();
        ASSERT_EQ(block->Append(whole.data(), static_cast<ULONG>(first)), S_OK);
        pending.Assign(std::move(block));
      } else {
        pending.Assign(whole.substr(0, first));
      }
      std::string got;
      bool appended = false;
      while (!pending.empty() || !appended) {
        if (got.size() >= first / 3 && !appended) {
          pending.Append(whole.data() + first, whole.size() - first);
          appended = true;
        }
        const size_t n = std::min(take, pending.size());
        got.append(pending.data(), n);
        pending.Skip(n);
        if (n == 0 && !appended) {
          pending.Append(whole.data() + first, whole.size() - first);
          appended = true;
        }
      }
      EXPECT_TRUE(got == whole) << "block " << from_block << " take " << take;
      pending.Skip(10);  // nothing left: nothing happens
      EXPECT_EQ(pending.size(), 0u);
    }
  }
}

}  // namespace
}  // namespace cvie::testing
