// The page editor with the real rule engine: small pages with the markup that
// advertising uses, a small rule list, and the exact bytes that come out. The
// switches are the ones the stored options give (as the filter uses them),
// with single options turned on or off where a case needs it.

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "anyhtml/html_editor.h"
#include "common/test_support.h"
#include "config/options.h"
#include "editor/editor_test_support.h"
#include "rules/rules_holder.h"

namespace cvie {
namespace {

using testing::EditPage;

const char kRuleList[] =
    "! Rules for the editor tests\n"
    "/ads/banner*.gif$image\n"
    "://ads.example.com/$link,subdocument\n"
    "/promo/*.swf$object\n"
    "adbox$div\n"
    "sponsor-bg.$background\n"
    "/pagead/show_ads.js$script\n"
    "google_ad_client$script-text\n"
    "://tracker.example.net/$script-url\n"
    "/ads/*.css$stylesheet\n";

std::unique_ptr<RulesHolder> LoadRules(const std::string& text) {
  auto holder = std::make_unique<RulesHolder>();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (holder->ParseRule(line) == -1) break;
  }
  holder->set_loaded(true);
  return holder;
}

// The switches of a fresh installation, as the stored options give them.
EditorOptions ConfiguredOptions() {
  testing::ScopedCvieRoot root;
  CVCfg cfg;
  return cfg.GetEditorOptions();
}

using Tweak = void (*)(EditorOptions&);

struct PageCase {
  const char* row;  // what is blocked
  Tweak tweak;      // options changed for this case, or null
  const char* page;
  const char* expected;
};

const PageCase kRemoveCases[] = {
    {"image, collapsed", nullptr,
     "<p>News <img src=\"http://cdn.example.org/ads/banner728.gif\" width=\"728\" "
     "height=\"90\" "
     "alt=\"Ad\"> <img src=\"/img/logo.png\"></p>",
     "<p>News  <img src=\"/img/logo.png\"></p>"},
    {"image, hidden when collapsing is off",
     [](EditorOptions& o) { o.collapse_blocked = 0; },
     "<p>News <IMG SRC=http://cdn.example.org/ads/banner1.gif WIDTH=468 HEIGHT=60></p>",
     "<p>News <IMG SRC=\"http://cdn.example.org/ads/banner1.gif\" WIDTH=\"468\" "
     "HEIGHT=\"60\" "
     "style=\"display: none;\"></p>"},
    {"link around an image", nullptr,
     "<a href=\"http://ads.example.com/click?id=7\" target=\"_blank\"><img "
     "src=\"/img/sale.jpg\" "
     "width=\"300\" height=\"250\"></a>\n<a href=\"/news\"><img "
     "src=\"/img/news.jpg\"></a>",
     "<a href=\"http://ads.example.com/click?id=7\" target=\"_blank\" style=\"display: "
     "none;\"><img src=\"/img/sale.jpg\" width=\"300\" height=\"250\"></a>\n<a "
     "href=\"/news\"><img src=\"/img/news.jpg\"></a>"},
    {"inline frame, division and embed", nullptr,
     "<iframe src=\"http://ads.example.com/frame.html\" width=\"300\" height=\"250\" "
     "frameborder=\"0\" scrolling=\"no\"></iframe>\n"
     "<div id=\"adbox-top\" class=\"ad\"><div class=\"content\">text</div></div>\n"
     "<embed src=\"http://media.example.org/promo/spring.swf\" "
     "type=\"application/x-shockwave-flash\" width=\"468\" height=\"60\">",
     "<iframe src=\"http://ads.example.com/frame.html\" width=\"300\" height=\"250\" "
     "frameborder=\"0\" scrolling=\"no\" style=\"display: none;\"></iframe>\n"
     "<div id=\"adbox-top\" class=\"ad\" style=\"display: none;\"><div "
     "class=\"content\">text</div></div>\n"
     "<embed src=\"http://media.example.org/promo/spring.swf\" "
     "type=\"application/x-shockwave-flash\" width=\"468\" height=\"60\" "
     "style=\"display: "
     "none;\">"},
    {"object by its movie parameter", nullptr,
     "<object classid=\"clsid:D27CDB6E-AE6D-11cf-96B8-444553540000\" width=\"468\" "
     "height=\"60\">\n"
     "<param name=\"movie\" value=\"http://media.example.org/promo/spring.swf\">\n"
     "<param name=\"quality\" value=\"high\">\n"
     "<embed src=\"http://media.example.org/promo/spring.swf\" "
     "quality=\"high\"></embed>\n"
     "</object>",
     "<object classid=\"clsid:D27CDB6E-AE6D-11cf-96B8-444553540000\" width=\"468\" "
     "height=\"60\" style=\"display: none;\">\n"
     "<param name=\"movie\" value=\"http://media.example.org/promo/spring.swf\">\n"
     "<param name=\"quality\" value=\"high\">\n"
     "<embed src=\"http://media.example.org/promo/spring.swf\" quality=\"high\" "
     "style=\"display: none;\"></embed>\n"
     "</object>"},
    {"backgrounds of table cells", [](EditorOptions& o) { o.filter_background = 1; },
     "<table width=\"100%\" background=\"/img/sponsor-bg.jpg\" "
     "bgcolor=\"#ffffff\"><tr><td "
     "background=/img/sponsor-bg.png>x</td><td "
     "background=\"/img/paper.png\">y</td></tr></table>",
     "<table width=\"100%\" bgcolor=\"#ffffff\"><tr><td>x</td><td "
     "background=\"/img/paper.png\">y</td></tr></table>"},
    {"scripts by source, by text and by an address in the text", nullptr,
     "<script type=\"text/javascript\">google_ad_client = \"pub-1\"; google_ad_width = "
     "728;</script>\n"
     "<script type=\"text/javascript\" "
     "src=\"http://pagead2.example.com/pagead/show_ads.js\"></script>\n"
     "<script src=\"/js/app.js\"></script>\n"
     "<script>var t = \"http://tracker.example.net/pixel.gif\";</script>\n"
     "<script src=\"/pagead/show_ads.js\" />left out with the script<p>kept</p>",
     "\n\n<script src=\"/js/app.js\"></script>\n\n<p>kept</p>"},
    {"style sheet link", [](EditorOptions& o) { o.filter_css = 1; },
     "<link rel=\"stylesheet\" type=\"text/css\" "
     "href=\"http://cdn.example.org/ads/skin.css\">\n"
     "<link rel=\"stylesheet\" type=\"text/css\" "
     "href=\"/css/site.css\">\n<title>Page</title>",
     "<link rel=\"stylesheet\" type=\"text/css\" "
     "href=\"/css/site.css\">\n<title>Page</title>"},
    {"marquee with an advertising link", nullptr,
     "<p>before</p><marquee behavior=\"scroll\"><a "
     "href=\"http://ads.example.com/go?c=1\"><img "
     "src=\"/img/deal.gif\"></a> Hot deals!</marquee>\n<p>after</p>",
     "<p>before</p>\n<p>after</p>"},
};

TEST(EditorWithRules, WritesWhatEachKindOfBlockedElementLeaves) {
  const EditorOptions configured = ConfiguredOptions();
  ASSERT_EQ(configured.remove_blocked, 1);
  ASSERT_EQ(configured.highlight, 0);
  auto rules = LoadRules(kRuleList);
  for (const PageCase& c : kRemoveCases) {
    EditorOptions options = configured;
    if (c.tweak) c.tweak(options);
    EXPECT_EQ(EditPage(c.page, options, rules.get()), c.expected) << c.row;
  }
}

// Style sheets and backgrounds are off in a fresh installation.
TEST(EditorWithRules, ConfiguredOptionsLeaveStyleSheetsAndBackgroundsAlone) {
  const EditorOptions configured = ConfiguredOptions();
  auto rules = LoadRules(kRuleList);
  const char* const pages[] = {
      "<link rel=\"stylesheet\" type=\"text/css\" href=\"/ads/skin.css\"><b>",
      "<td background=\"/img/sponsor-bg.jpg\">",
  };
  for (const char* page : pages) {
    EXPECT_EQ(EditPage(page, configured, rules.get()), page) << page;
  }
}

// With removal off and highlighting on, blocked elements are only marked.
TEST(EditorWithRules, HighlightsInsteadOfHidingWhenRemovalIsOff) {
  EditorOptions options = ConfiguredOptions();
  options.remove_blocked = 0;
  options.highlight = 1;
  options.filter_background = 1;
  auto rules = LoadRules(kRuleList);
  const std::string mark =
      "style=\"outline-color: yellow; outline-style: double; outline-width: thick;\"";
  const std::string page =
      "<img src=\"/ads/banner2.gif\">"
      "<td background=\"/img/sponsor-bg.jpg\">"
      "<script src=\"/pagead/show_ads.js\"></script>"
      "<marquee><a href=\"http://ads.example.com/\">x</a></marquee>";
  const std::string expected =
      "<img src=\"/ads/banner2.gif\" " + mark + ">" +
      "<td background=\"/img/sponsor-bg.jpg\" " + mark + ">" +
      "<script src=\"/pagead/show_ads.js\"></script>" + "<marquee " + mark +
      "><a href=\"http://ads.example.com/\" " + mark + ">x</a></marquee>";
  EXPECT_EQ(EditPage(page, options, rules.get()), expected);
}

// Pages are filtered on several threads at once, each with its own editor and
// all with the one rule engine and the one options record.
TEST(EditorWithRules, ConcurrentPagesShareOneRuleEngineAndOptions) {
  EditorOptions options = ConfiguredOptions();
  options.filter_css = 1;
  options.filter_background = 1;
  auto rules = LoadRules(kRuleList);
  std::vector<std::string> pages, expected;
  for (const PageCase& c : kRemoveCases) {
    pages.push_back(c.page);
    expected.push_back(EditPage(c.page, options, rules.get()));
  }
  constexpr int kThreads = 4;
  constexpr int kRounds = 20;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        for (size_t i = 0; i < pages.size(); ++i) {
          size_t at = (i + t) % pages.size();
          if (EditPage(pages[at], options, rules.get()) != expected[at]) ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace cvie
