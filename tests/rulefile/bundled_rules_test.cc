// The rule list built into the program: a good rule file of version 1.0 whose
// every line compiles, blocking common advertising and leaving ordinary
// content alone.

#include "rules/bundled_rules.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "rulefile/rulefile_test_util.h"
#include "rules/rule_loading.h"

namespace cvie {
namespace {

using ::cvie::testing::ReadFile;
using ::cvie::testing::ScratchDir;
using ::cvie::testing::SourceDir;
using ::cvie::testing::Wide;
using ::cvie::testing::WriteFile;
namespace fs = std::filesystem;

class BundledRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cvie::testing::StartLogging();
    file_ = ScratchDir("bundled") / "cvie.rle";
    WriteFile(file_, std::string(BundledRuleFile()));
  }
  fs::path file_;
};

TEST_F(BundledRulesTest, IsAGoodRuleFileOfVersionOnePointZero) {
  EXPECT_EQ(CheckRuleFile(Wide(file_)), 0);
  EXPECT_EQ(RuleFileVersion(), "1.0");
}

TEST_F(BundledRulesTest, CarriesTheDefaultRuleList) {
  std::string plain, body;
  ASSERT_TRUE(ReadFile(SourceDir() / "data" / "rules" / "default.txt", &plain));
  plain += std::string((8 - plain.size() % 8) % 8, '\n');
  ASSERT_TRUE(DecipherRuleFileBody(Wide(file_), &body));
  EXPECT_EQ(body, plain);
}

TEST_F(BundledRulesTest, EveryRuleLineBecomesAGoodRule) {
  std::string plain;
  ASSERT_TRUE(ReadFile(SourceDir() / "data" / "rules" / "default.txt", &plain));
  size_t rule_lines = 0;
  std::istringstream lines(plain);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '!') ++rule_lines;
  }
  std::unique_ptr<RulesHolder> holder = LoadRuleFile(Wide(file_));
  ASSERT_NE(holder, nullptr);
  EXPECT_GT(rule_lines, 100u);
  EXPECT_EQ(holder->RuleCount(), rule_lines) << "a rule line was ignored";
  EXPECT_EQ(holder->BadRuleCount(), 0u);
}

struct DecisionCase {
  int kind;
  const char* text;
  bool blocked;
};

TEST_F(BundledRulesTest, BlocksAdvertisingAndLeavesContent) {
  const DecisionCase kCases[] = {
      {kImageElement, "http://news.example/ads/top.gif", true},
      {kImageElement, "http://news.example/img/logo_468x60.gif", true},
      {kImageElement, "http://adserver.example.net/b?id=3", true},
      {kBackgroundElement, "http://shop.example/adbanners/bg.png", true},
      {kFrameElement, "http://news.example/adframe.html", true},
      {kScriptElement, "http://cdn.example/js/show_ads.js", true},
      {kFlashElement, "http://media.example/flashads/spot.swf", true},
      {kStylesheetElement, "http://news.example/css/ads.css", true},
      {kDivElement, "ad-banner", true},
      {kDivElement, "sponsored_links", true},
      {kLinkElement, "http://news.example/adclick/?to=shop", true},
      {kImageElement, "http://news.example/img/photo.jpg", false},
      {kImageElement, "http://news.example/downloads/gifts.gif", false},
      {kFrameElement, "http://video.example/embed/123", false},
      {kScriptElement, "http://cdn.example/js/jquery.min.js", false},
      {kStylesheetElement, "http://news.example/css/site.css", false},
      {kDivElement, "header", false},
      {kDivElement, "shadow", false},
      {kDivElement, "loading", false},
      {kLinkElement, "http://news.example/ads/index.html", false},
      {kLinkElement, "http://news.example/articles/ads-and-privacy", false},
  };
  std::unique_ptr<RulesHolder> holder = LoadRuleFile(Wide(file_));
  ASSERT_NE(holder, nullptr);
  for (const DecisionCase& c : kCases) {
    EXPECT_EQ(holder->CheckElement(c.kind, c.text, 0), c.blocked)
        << "kind " << c.kind << ": " << c.text;
  }
  EXPECT_TRUE(holder->CheckScript(
      "document.write('<iframe src=\"http://x.example/adframe.html\"></iframe>');", 0));
  EXPECT_FALSE(holder->CheckScript("var total = 3; render(total);", 0));
}

}  // namespace
}  // namespace cvie
