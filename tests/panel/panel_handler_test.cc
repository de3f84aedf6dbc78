// The control panel through a running proxy server: the menu as the button's
// menu command prepares it, commands and the preferences dialog run from the
// page, and no change without the panel's token.

#include "panel/panel_handler.h"

#include <string.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "config/options.h"
#include "https/https_settings.h"
#include "ie/blocked_pages.h"
#include "log/logger.h"
#include "panel_test_fixture.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/text.h"
#include "proxy/proxy_server.h"
#include "proxy_test_support.h"
#include "ui/preferences.h"
#include "whitelist/whitelist.h"

namespace cvie::panel {
namespace {

using proxy::testing::ParsedResponse;
using proxy::testing::RequestText;
using proxy::testing::ScriptedHandler;
using proxy::testing::TestClient;

TEST_F(PanelTest, MenuListsTheConfiguredItemsWithTheirMarks) {
  window_.SetLocation(L"http://news.example/today.html");
  ASSERT_EQ(Whitelist::Instance().Add(L"news.example"), 0);
  ParsedResponse r = Request("GET", "/menu.json");
  ParsedResponse page = Request("GET", "/");
  Whitelist::Instance().Remove(L"news.example");
  ASSERT_EQ(r.status, 200);
  struct Row {
    const char* text;  // what the item's JSON holds
  } rows[] = {
      {"\"id\":301,\"label\":\"Preferences\",\"separator\":false,\"checked\":false"},
      {"\"separator\":true"},
      {"\"id\":302,\"label\":\"Enable Corvane\",\"separator\":false,\"checked\":true"},
      {"\"id\":303,\"label\":\"Allow Ads On This "
       "Website\",\"separator\":false,\"checked\":true"},
      {"\"id\":304,\"label\":\"Allow Ads On This Page Only\",\"separator\":false,"
       "\"checked\":false"},
      {"\"separator\":true"},
      {"\"id\":305,\"label\":\"Report Annoying Ads\""},
      {"\"id\":306,\"label\":\"Check Update ...\""},
      {"\"separator\":true"},
      {"\"id\":307,\"label\":\"Help...\""},
      {"\"id\":308,\"label\":\"About Corvane Filter...\""},
  };
  size_t at = 0;
  for (const Row& row : rows) {
    size_t found = r.body.find(row.text, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << row.text << "\n"
                                        << r.body;
    at = found + 1;
  }
  EXPECT_NE(r.body.find("\"location\":\"http://news.example/today.html\""),
            std::string::npos);

  EXPECT_EQ(page.status, 200);
  EXPECT_NE(
      page.body.find("class=\"item checked\" data-id=\"303\">Allow Ads On This Website"),
      std::string::npos)
      << page.body;
}

TEST_F(PanelTest, ChangesNeedTheToken) {
  struct Case {
    const char* name;
    std::string body;
    int status;
  } cases[] = {
      {"no token", "id=302", 403},
      {"wrong token", "token=guess&id=302", 403},
      {"empty token", "token=&id=302", 403},
      {"right token", "token=secret-token&id=999", 303},
  };
  int before = CVCfg::Instance().GetEnableCorvane();
  for (const Case& c : cases) {
    ParsedResponse r = Request("POST", "/command", c.body);
    EXPECT_EQ(r.status, c.status) << c.name;
  }
  EXPECT_EQ(CVCfg::Instance().GetEnableCorvane(), before);
}

class MenuDialogTest : public PanelTest {
 protected:
  // The session of the Preferences dialog the menu's item opened, followed
  // through its redirects as a browser would.
  std::string OpenPreferencesFromTheMenu(std::string* location) {
    ParsedResponse command = Post("/command", "id=301");
    EXPECT_EQ(command.status, 303);
    if (!command.Find("Location")) return "";
    *location = *command.Find("Location");
    ParsedResponse opened = Request("GET", *location);
    const std::string* where = opened.Find("Location");
    if (opened.status != 303 || !where || where->rfind("/preferences?s=", 0) != 0)
      return "";
    return where->substr(strlen("/preferences?s="));
  }
};

TEST_F(MenuDialogTest, PreferencesItemOpensADialogPageThatTogglesFilterImage) {
  CVCfg::Instance().Refresh(true);
  int before = CVCfg::Instance().GetFilterImage() ? 1 : 0;
  std::string location;
  const std::string session = OpenPreferencesFromTheMenu(&location);
  EXPECT_EQ(location, "/preferences");
  ASSERT_FALSE(session.empty());
  EXPECT_FALSE(ui_.dialog_open()) << "no dialog shared by every tab";
  ParsedResponse page = Request("GET", "/preferences?s=" + session);
  EXPECT_NE(page.body.find("Filter Image"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("Collapse blocked elements"), std::string::npos);
  ParsedResponse list = Request("GET", "/preferences/whitelist?s=" + session);
  EXPECT_NE(list.body.find("Add a website address..."), std::string::npos) << list.body;

  ASSERT_EQ(Post("/preferences/act", "s=" + session + "&act=click&control=209").status,
            303);
  // Nothing is written before OK.
  CVCfg::Instance().Refresh(true);
  EXPECT_EQ(CVCfg::Instance().GetFilterImage() ? 1 : 0, before);
  ASSERT_EQ(Post("/preferences/act", "s=" + session + "&act=ok").status, 303);
  CVCfg::Instance().Refresh(true);
  EXPECT_EQ(CVCfg::Instance().GetFilterImage() ? 1 : 0, 1 - before);
}

// The HTTPS box of the dialog shows the switch and, like the dialog's other
// boxes, sets it on OK only; the Secure sites page's switch acts at once.
TEST_F(MenuDialogTest, HttpsCheckboxReflectsAndSetsTheSwitchOnOk) {
  ASSERT_FALSE(https::InspectHttpsEnabled());
  const std::string box = "id=\"inspect-https\"> Filter secure (HTTPS) pages</label>";
  const std::string checked_box =
      "id=\"inspect-https\" checked> Filter secure (HTTPS) pages</label>";
  const std::string click =
      "&act=click&control=" + std::to_string(DialogPages::kInspectHttpsControl);
  std::string location;
  std::string session = OpenPreferencesFromTheMenu(&location);
  ASSERT_FALSE(session.empty());
  EXPECT_NE(Request("GET", "/preferences?s=" + session).body.find(box),
            std::string::npos);

  // Ticked, then cancelled: the switch stays off.
  ASSERT_EQ(Post("/preferences/act", "s=" + session + click).status, 303);
  EXPECT_NE(Request("GET", "/preferences?s=" + session).body.find(checked_box),
            std::string::npos);
  EXPECT_FALSE(https::InspectHttpsEnabled()) << "nothing before OK";
  ASSERT_EQ(Post("/preferences/act", "s=" + session + "&act=cancel").status, 303);
  EXPECT_FALSE(https::InspectHttpsEnabled());

  // Ticked, then OK: on, with the passthrough list made for the user.
  session = OpenPreferencesFromTheMenu(&location);
  ASSERT_EQ(Post("/preferences/act", "s=" + session + click).status, 303);
  ASSERT_EQ(Post("/preferences/act", "s=" + session + "&act=ok").status, 303);
  EXPECT_TRUE(https::InspectHttpsEnabled());
  EXPECT_TRUE(platform::PathExists(https::HttpsPassthroughPath()));
  session = OpenPreferencesFromTheMenu(&location);
  EXPECT_NE(Request("GET", "/preferences?s=" + session).body.find(checked_box),
            std::string::npos);

  // Without the token nothing changes; the Secure sites switch acts at once.
  EXPECT_EQ(Request("POST", "/https", "on=0").status, 403);
  EXPECT_TRUE(https::InspectHttpsEnabled());
  ParsedResponse off = Post("/https", "on=0");
  EXPECT_EQ(off.status, 303);
  ASSERT_NE(off.Find("Location"), nullptr);
  EXPECT_EQ(*off.Find("Location"), "/secure-sites");
  EXPECT_FALSE(https::InspectHttpsEnabled());
}

TEST_F(MenuDialogTest, WhitelistPageOfTheMenusDialogAddsAnAddressAndCancelWritesNothing) {
  std::string location;
  for (const char* act : {"cancel", "ok"}) {
    const std::string session = OpenPreferencesFromTheMenu(&location);
    ASSERT_FALSE(session.empty());
    ASSERT_EQ(Post("/preferences/act",
                   "s=" + session + "&act=edit&row=0&tab=Whitelist&text=ads.example")
                  .status,
              303);
    ParsedResponse list = Request("GET", "/preferences/whitelist?s=" + session);
    EXPECT_NE(list.body.find("value=\"ads.example\""), std::string::npos) << list.body;
    ASSERT_EQ(Post("/preferences/act", "s=" + session + "&act=" + act).status, 303);
    Whitelist::Instance().Load();
    EXPECT_EQ(Whitelist::Instance().Contains(L"ads.example", true),
              std::string(act) == "ok")
        << act;
  }
}

TEST_F(PanelTest, WebsiteItemTogglesTheCurrentSite) {
  window_.SetLocation(L"http://shop.example/item?id=4");
  ASSERT_EQ(Post("/command", "id=303").status, 303);
  EXPECT_TRUE(Whitelist::Instance().Contains(L"shop.example", true));
  EXPECT_GE(window_.refresh_count(), 1u);
  ASSERT_EQ(Post("/command", "id=303").status, 303);
  EXPECT_FALSE(Whitelist::Instance().Contains(L"shop.example", true));
}

TEST_F(PanelTest, AboutPageAndQuestionsAppearInThePage) {
  ParsedResponse command = Post("/command", "id=308");
  ASSERT_EQ(command.status, 303);
  ASSERT_NE(command.Find("Location"), nullptr);
  EXPECT_EQ(*command.Find("Location"), "/about");
  EXPECT_FALSE(ui_.dialog_open());
  ParsedResponse about = Request("GET", "/about");
  EXPECT_NE(about.body.find("Corvane Filter V2.2"), std::string::npos) << about.body;

  std::future<int> answer = std::async(std::launch::async, [] {
    return platform::ActiveUi().MessageBox(nullptr,
                                           L"A new version is ready. Install it?",
                                           L"Corvane Filter", platform::MB_YESNO);
  });
  std::vector<PanelUi::Question> questions;
  for (int i = 0; i < 200 && questions.empty(); ++i) {
    usleep(10000);
    questions = ui_.Questions();
  }
  ASSERT_EQ(questions.size(), 1u);
  ParsedResponse page = Request("GET", "/");
  EXPECT_NE(page.body.find("A new version is ready. Install it?"), std::string::npos);
  ASSERT_EQ(Post("/answer", "id=" + std::to_string(questions[0].id) + "&answer=6").status,
            303);
  EXPECT_EQ(answer.get(), platform::IDYES);

  platform::ActiveUi().MessageBox(nullptr, L"No update is needed.", L"Corvane Filter",
                                  platform::MB_OK);
  EXPECT_NE(Request("GET", "/").body.find("No update is needed."), std::string::npos);
}

// Closing the panel refuses the question a thread waits on, at once and not
// after the ten-minute wait, and every later question.
TEST(PanelUiClose, RefusesWaitingAndLaterQuestions) {
  PanelUi ui;
  std::future<int> yes_no = std::async(std::launch::async, [&ui] {
    return ui.MessageBox(nullptr, L"Install it?", L"Corvane Filter", platform::MB_YESNO);
  });
  for (int i = 0; i < 500 && ui.Questions().empty(); ++i) usleep(10000);
  ASSERT_EQ(ui.Questions().size(), 1u);
  ui.Close();
  ASSERT_EQ(yes_no.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(yes_no.get(), platform::IDNO);
  EXPECT_EQ(ui.MessageBox(nullptr, L"Go on?", L"Corvane Filter", platform::MB_OKCANCEL),
            platform::IDCANCEL);
  EXPECT_TRUE(ui.Questions().empty());
  EXPECT_FALSE(ui.Run([] {}, 1000));
}

TEST_F(PanelTest, ServesOnlyItsOwnPages) {
  struct Case {
    const char* path;
    int status;
    const char* type;
  } cases[] = {
      {"/panel.css", 200, "text/css; charset=utf-8"},
      {"/panel.js", 200, "application/javascript; charset=utf-8"},
      {"/log", 200, "text/plain; charset=utf-8"},
      {"/../../etc/passwd", 404, "text/plain; charset=utf-8"},
      {"/panel.css/../log1.txt", 404, "text/plain; charset=utf-8"},
      {"/assets/panel.css", 404, "text/plain; charset=utf-8"},
  };
  for (const Case& c : cases) {
    ParsedResponse r = Request("GET", c.path);
    EXPECT_EQ(r.status, c.status) << c.path;
    ASSERT_NE(r.Find("Content-Type"), nullptr) << c.path;
    EXPECT_EQ(*r.Find("Content-Type"), c.type) << c.path;
  }
}

// What the last pages blocked, with a hostile page address and element text:
// every page shows them escaped, the export is a download.
TEST_F(PanelTest, BlockedPagesAreListedEscapedAndExported) {
  const std::string hostile = "http://evil.example/\"><script>alert(1)</script>";
  RecordedPage page;
  page.address = hostile;
  page.time = 1'800'000'000;
  page.checked = 7;
  page.blocked = 1;
  RecordedElement element;
  element.kind = kImageElement;
  element.text = "http://ads.example/<b>x.gif";
  element.length = 500;
  element.blocked = true;
  element.rule = "cvie.rle:12: /ads/<i>";
  page.elements.push_back(element);
  BlockedPages::Instance().Add(page);
  const uint64_t serial = BlockedPages::Instance().Recent().front().serial;

  ParsedResponse list = Request("GET", "/blocked");
  EXPECT_EQ(list.status, 200);
  EXPECT_EQ(list.body.find("<script>alert"), std::string::npos);
  EXPECT_NE(list.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(list.body.find("href=\"/blocked?page=" + std::to_string(serial) + "\""),
            std::string::npos);
  EXPECT_NE(list.body.find("href=\"/blocked.json\""), std::string::npos);

  ParsedResponse one = Request("GET", "/blocked?page=" + std::to_string(serial));
  EXPECT_EQ(one.status, 200);
  EXPECT_EQ(one.body.find("<script>alert"), std::string::npos);
  EXPECT_NE(one.body.find("http://ads.example/&lt;b&gt;x.gif"), std::string::npos);
  EXPECT_NE(one.body.find("(500 bytes)"), std::string::npos);
  EXPECT_NE(one.body.find("cvie.rle:12: /ads/&lt;i&gt;"), std::string::npos);
  EXPECT_EQ(Request("GET", "/blocked?page=999999").status, 404);
  EXPECT_EQ(Request("GET", "/blocked?page=1x").status, 404);

  ParsedResponse json = Request("GET", "/blocked.json");
  EXPECT_EQ(json.status, 200);
  ASSERT_NE(json.Find("Content-Disposition"), nullptr);
  EXPECT_EQ(*json.Find("Content-Disposition"),
            "attachment; filename=\"blocked-pages.json\"");
  EXPECT_EQ(json.body.find('<'), std::string::npos);
  EXPECT_NE(json.body.find("\\u003cscript\\u003e"), std::string::npos);

  ParsedResponse home = Request("GET", "/");
  EXPECT_NE(home.body.find("since start: 1"), std::string::npos) << home.body;
  EXPECT_NE(home.body.find("image: "), std::string::npos);
}

// The Log page shows whole lines, newest first, and only those containing
// the filter text; the plain log never starts in the middle of a line.
TEST_F(PanelTest, LogPageShowsWholeLinesNewestFirstAndFilters) {
  Logger::Instance().SetEnabled(0);
  std::string text = "FIRST-LINE-MARKER " + std::string(70 * 1024, 'x') + "\n";
  for (int i = 1; i <= 5; ++i) text += "line " + std::to_string(i) + " <tag>\n";
  text += "other entry\n";
  std::ofstream(platform::ToNarrow(platform::LogFilePath()),
                std::ios::binary | std::ios::trunc)
      << text;

  ParsedResponse page = Request("GET", "/log/view");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body.find("FIRST-LINE-MARKER"), std::string::npos);
  EXPECT_EQ(page.body.find("xxxxxxxx"), std::string::npos) << "the cut line is left out";
  size_t other = page.body.find("other entry");
  size_t five = page.body.find("line 5 &lt;tag&gt;");
  size_t one = page.body.find("line 1 &lt;tag&gt;");
  ASSERT_NE(other, std::string::npos);
  ASSERT_NE(five, std::string::npos);
  ASSERT_NE(one, std::string::npos);
  EXPECT_LT(other, five);
  EXPECT_LT(five, one);

  ParsedResponse filtered = Request("GET", "/log/view?q=line+3%22%3E");
  EXPECT_EQ(filtered.body.find("line 3 &lt;tag&gt;"), std::string::npos)
      << "no line contains the filter";
  EXPECT_NE(filtered.body.find("value=\"line 3&quot;&gt;\""), std::string::npos)
      << filtered.body;
  filtered = Request("GET", "/log/view?q=line+3");
  EXPECT_NE(filtered.body.find("line 3 &lt;tag&gt;"), std::string::npos);
  EXPECT_EQ(filtered.body.find("line 4"), std::string::npos);
  EXPECT_EQ(filtered.body.find("other entry"), std::string::npos);

  ParsedResponse plain = Request("GET", "/log");
  EXPECT_EQ(plain.body.rfind("line 1 <tag>\n", 0), 0u) << plain.body.substr(0, 40);
}

}  // namespace
}  // namespace cvie::panel
