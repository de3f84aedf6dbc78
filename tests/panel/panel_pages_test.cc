// The panel's pages beside the menu: updates and the rule file in force.

#include <string.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/options.h"
#include "config/update_server.h"
#include "ie/blocked_pages.h"
#include "panel/update_page.h"
#include "panel_test_fixture.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/text.h"
#include "rules/bundled_rules.h"
#include "rules/rule_loading.h"
#include "whitelist/whitelist.h"

namespace cvie::panel {
namespace {

// What the worker told the listener, and the sentence the page shows.
TEST(UpdateStatusText, SaysWhatTheLastCheckDidAndWhy) {
  struct Case {
    const char* name;
    void (*events)(UpdateStatus*);
    const char* expected;
  } cases[] = {
      {"nothing ran", [](UpdateStatus*) {},
       "No update check has run since the proxy started."},
      {"running", [](UpdateStatus* s) { s->OnWorkerStarted(true); },
       "Checking for updates now."},
      {"download failed",
       [](UpdateStatus* s) {
         s->OnWorkerStarted(true);
         s->OnDownloadEnded(L"http://u.example/downloads/cvie.ver", L"/x", 0, true,
                            E_FAIL, L"Could not resolve host: u.example");
         s->OnWorkerEnded();
       },
       "The check failed: the download of http://u.example/downloads/cvie.ver failed: "
       "Could not resolve host: u.example."},
      {"timed out",
       [](UpdateStatus* s) {
         s->OnWorkerStarted(false);
         s->OnDownloadEnded(L"http://u.example/v", L"/x", 3, false, S_OK, L"");
         s->OnWorkerEnded();
       },
       "The check failed: the download of http://u.example/v timed out."},
      {"installed",
       [](UpdateStatus* s) {
         s->OnWorkerStarted(true);
         s->OnDecision(L"To upgrade to rule version 1.2");
         s->OnInstallResult(L"/x/cvie.rle", 0);
         s->OnWorkerEnded();
       },
       "A new rule file was installed (To upgrade to rule version 1.2); pages use it "
       "within seconds."},
      {"refused",
       [](UpdateStatus* s) {
         s->OnWorkerStarted(true);
         s->OnInstallResult(L"/x/cvie.rle", -1);
         s->OnWorkerEnded();
       },
       "The check failed: the downloaded rule file failed its check; the installed one "
       "is kept."},
      {"up to date",
       [](UpdateStatus* s) {
         s->OnWorkerStarted(true);
         s->OnDecision(L"You also have the latest rule file: V1.0");
         s->OnWorkerEnded();
       },
       "No new rule file was installed (You also have the latest rule file: V1.0)."},
      {"busy", [](UpdateStatus* s) { s->OnWorkerBusy(); },
       "Another update check was running; this one did nothing."},
  };
  for (const Case& c : cases) {
    UpdateStatus status;
    c.events(&status);
    EXPECT_EQ(UpdateOutcomeText(status.Get()), c.expected) << c.name;
  }
}

TEST(UpdateServerAddress, AcceptsOnlyAnHttpAddressWithAHost) {
  struct Case {
    const char* url;
    bool valid;
  } cases[] = {
      {"", true},
      {"http://updates.example.org", true},
      {"https://10.0.0.2:8443/cvie", true},
      {"ftp://updates.example.org", false},
      {"updates.example.org", false},
      {"http://", false},
      {"http:///path", false},
      {"http://a b", false},
      {"http://a\nb", false},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(ValidUpdateServer(c.url, &why), c.valid) << c.url;
    EXPECT_EQ(why.empty(), c.valid) << c.url;
  }
  std::string why;
  EXPECT_FALSE(ValidUpdateServer("http://" + std::string(300, 'a'), &why));
}

TEST_F(PanelTest, UpdatesPageShowsTheRuleFileAndChangesTheServer) {
  ParsedResponse page = Request("GET", "/update");
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("id=\"installed-version\">none<"), std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find(platform::ToNarrow(UpdateServerUrl())), std::string::npos);

  ASSERT_EQ(
      InstallRuleFileContents(std::string(BundledRuleFile()), platform::RuleFilePath()),
      0);
  page = Request("GET", "/update");
  EXPECT_NE(page.body.find("id=\"installed-version\">version "), std::string::npos)
      << page.body;
  // With the date the file was installed, in local time.
  EXPECT_TRUE(std::regex_search(
      page.body, std::regex("installed <span id=\"installed-date\">20[0-9]{2}-[0-9]{2}-"
                            "[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}</span>")))
      << page.body;

  struct Case {
    const char* form_url;
    const char* shown;  // in the outcome box
    bool failed;
  } cases[] = {
      {"ftp%3A%2F%2Fx.example", "Not changed: the address must start with http://", true},
      {"https%3A%2F%2Fupdates.example.org%2F",
       "Checks now ask https://updates.example.org.", false},
  };
  for (const Case& c : cases) {
    ParsedResponse posted = Post("/update/server", std::string("url=") + c.form_url);
    EXPECT_EQ(posted.status, 303) << c.form_url;
    page = Request("GET", "/update");
    EXPECT_NE(page.body.find(c.shown), std::string::npos) << c.form_url << page.body;
    EXPECT_NE(page.body.find(std::string("data-failed=\"") + (c.failed ? "1" : "0") +
                             "\">" + c.shown),
              std::string::npos)
        << c.form_url;
  }
  EXPECT_EQ(platform::ToNarrow(UpdateServerUrl()), "https://updates.example.org");
  // The message is shown once.
  page = Request("GET", "/update");
  EXPECT_EQ(page.body.find("Checks now ask"), std::string::npos);
  SetUpdateServerUrl(L"");
  EXPECT_EQ(Post("/update/server", "url=http%3A%2F%2Fx.example").status, 303);
  EXPECT_EQ(Request("POST", "/update/server", "url=http%3A%2F%2Fevil.example").status,
            403)
      << "no change without the token";
  EXPECT_EQ(platform::ToNarrow(UpdateServerUrl()), "http://x.example");
  SetUpdateServerUrl(L"");
}

}  // namespace
}  // namespace cvie::panel

namespace cvie::panel {
namespace {

RecordedPage Filtered(const std::string& address, int64_t when) {
  RecordedPage page;
  page.address = address;
  page.time = when;
  page.checked = 2;
  page.blocked = 1;
  RecordedElement e;
  e.kind = kImageElement;
  e.text = "http://ads.example/banner.gif";
  e.length = e.text.size();
  e.blocked = true;
  e.rule = "cvie.rle:4: /banner";
  page.elements.push_back(e);
  return page;
}

// Two tabs: the page the person picks is whitelisted, not the one another
// tab loaded last.
TEST_F(PanelTest, AllowOnAPickedPageActsOnThatPageNotTheLastLoaded) {
  BlockedPages::Instance().Add(Filtered("http://one.example/story.html", 1000));
  BlockedPages::Instance().Add(Filtered("http://two.example/other.html", 2000));
  window_.SetLocation(L"http://two.example/other.html");  // the other tab

  ParsedResponse page = Request("GET", "/allow");
  ASSERT_EQ(page.status, 200);
  // Newest first and chosen.
  size_t two = page.body.find("value=\"http://two.example/other.html\" checked");
  size_t one = page.body.find("value=\"http://one.example/story.html\">");
  EXPECT_NE(two, std::string::npos) << page.body;
  EXPECT_NE(one, std::string::npos) << page.body;
  EXPECT_LT(two, one);

  struct Case {
    const char* id;
    const char* entry;  // what lands on the whitelist
  } cases[] = {{"304", "http://one.example/story.html"}, {"303", "one.example"}};
  for (const Case& c : cases) {
    ParsedResponse posted =
        Post("/command", std::string("id=") + c.id +
                             "&back=allow&url=http%3A%2F%2Fone.example%2Fstory.html");
    EXPECT_EQ(posted.status, 303);
    ASSERT_NE(posted.Find("Location"), nullptr);
    EXPECT_EQ(*posted.Find("Location"), "/allow");
    Whitelist::Instance().Load();
    EXPECT_TRUE(Whitelist::Instance().Contains(platform::ToWide(c.entry), true))
        << c.entry;
  }
  EXPECT_FALSE(Whitelist::Instance().Contains(L"two.example", false));
  page = Request("GET", "/allow");
  EXPECT_NE(
      page.body.find(
          "story.html</span> (ads allowed on this website) (ads allowed on this page)"),
      std::string::npos)
      << page.body;
}

TEST_F(PanelTest, WhitelistPageAddsAndRemovesWithAMessageForBadInput) {
  struct Step {
    const char* path;
    const char* form;
    const char* message;
    bool failed;
  } steps[] = {
      {"/whitelist/add", "entry=+++", "Type a site or a page address first.", true},
      {"/whitelist/add", "entry=+news.example+", "Added news.example.", false},
      {"/whitelist/add", "entry=news.example",
       "news.example is on the whitelist already.", true},
      {"/whitelist/add", "entry=two+words", "Not added: an entry holds no spaces", true},
      {"/whitelist/remove", "entry=other.example",
       "other.example is not on the whitelist.", true},
      {"/whitelist/remove", "entry=news.example", "Removed news.example.", false},
  };
  for (const Step& step : steps) {
    ParsedResponse posted = Post(step.path, step.form);
    EXPECT_EQ(posted.status, 303) << step.form;
    ParsedResponse page = Request("GET", "/whitelist");
    EXPECT_NE(page.body.find(std::string("data-failed=\"") + (step.failed ? "1" : "0") +
                             "\">" + step.message),
              std::string::npos)
        << step.form << "\n"
        << page.body;
    if (std::string(step.message) == "Added news.example.") {
      EXPECT_NE(page.body.find("<td>news.example</td>"), std::string::npos);
    }
  }
  Whitelist::Instance().Load();
  EXPECT_TRUE(Whitelist::Instance().Entries().empty());
  // A label names the box, and the example is a placeholder, not a value.
  ParsedResponse page = Request("GET", "/whitelist");
  EXPECT_NE(page.body.find("<label for=\"whitelist-entry\">"), std::string::npos);
  EXPECT_NE(page.body.find("placeholder=\"news.example\""), std::string::npos);
  EXPECT_EQ(Request("POST", "/whitelist/add", "entry=evil.example").status, 403);
}

TEST_F(PanelTest, ReportIsSavedLocallyWithWhatWasBlocked) {
  BlockedPages::Instance().Add(Filtered("http://one.example/story.html", 1000));
  const uint64_t serial = BlockedPages::Instance().Recent().front().serial;
  ParsedResponse page = Request("GET", "/report");
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("What was blocked on http://one.example/story.html"),
            std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("blocked image http://ads.example/banner.gif (cvie.rle:4: "
                           "/banner)"),
            std::string::npos);

  const std::string form = "page=" + std::to_string(serial);
  EXPECT_EQ(Post("/report", form + "&text=+").status, 303);
  page = Request("GET", "/report?page=" + std::to_string(serial));
  EXPECT_NE(page.body.find("Describe what is wrong first"), std::string::npos);

  EXPECT_EQ(Post("/report", form + "&text=A+video+advert+still+plays").status, 303);
  page = Request("GET", "/report?page=" + std::to_string(serial));
  EXPECT_NE(page.body.find("Saved the report as "), std::string::npos) << page.body;
  std::vector<platform::FolderEntry> files;
  ASSERT_TRUE(platform::ListFolder(platform::UserFolderPath() + L"/reports", &files));
  ASSERT_EQ(files.size(), 1u);
  std::string saved;
  ASSERT_TRUE(platform::ReadWholeFile(
      platform::UserFolderPath() + L"/reports/" + files[0].name, &saved));
  EXPECT_NE(saved.find("Page: http://one.example/story.html\n"), std::string::npos);
  EXPECT_NE(saved.find("A video advert still plays\n"), std::string::npos);
  EXPECT_NE(saved.find("blocked image http://ads.example/banner.gif"), std::string::npos);
}

TEST_F(PanelTest, MenuReportAndHelpLeadToLocalPages) {
  struct Case {
    const char* id;
    const char* location;
  } cases[] = {{"305", "/report"}, {"307", "/help"}};
  for (const Case& c : cases) {
    ParsedResponse posted = Post("/command", std::string("id=") + c.id);
    EXPECT_EQ(posted.status, 303);
    ASSERT_NE(posted.Find("Location"), nullptr) << c.id;
    EXPECT_EQ(*posted.Find("Location"), c.location);
  }
  EXPECT_TRUE(window_.TakeNavigation().empty()) << "no vendor page is opened";
  ParsedResponse help = Request("GET", "/help");
  EXPECT_EQ(help.status, 200);
  EXPECT_NE(help.body.find("the panel's menu page is\nmeant"), std::string::npos);
}

}  // namespace
}  // namespace cvie::panel

namespace cvie::panel {
namespace {

class DialogPagesTest : public PanelTest {
 protected:
  // The session a GET /preferences opened, from its redirect.
  std::string Open() {
    ParsedResponse opened = Request("GET", "/preferences");
    const std::string* where = opened.Find("Location");
    if (opened.status != 303 || !where || where->rfind("/preferences?s=", 0) != 0)
      return "";
    return where->substr(strlen("/preferences?s="));
  }
  int StoredFilterImage() {
    CVCfg::Instance().Refresh(true);
    return CVCfg::Instance().GetFilterImage();
  }
  // The check box of "Filter Image" on the session's page: "checked" or not.
  bool FilterImageChecked(const std::string& session, std::string* control) {
    ParsedResponse page = Request("GET", "/preferences?s=" + session);
    std::smatch match;
    std::regex box(
        "data-control=\"([0-9]+)\" id=\"box[0-9]+\"( checked)?[^>]*> Filter Image");
    EXPECT_TRUE(std::regex_search(page.body, match, box)) << page.body;
    if (control) *control = match[1].str();
    return match[2].matched;
  }
};

TEST_F(DialogPagesTest, TwoTabsHaveTheirOwnDialogAndOkAppliesOnlyItsOwn) {
  const std::string first = Open(), second = Open();
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  ASSERT_NE(first, second);
  std::string control;
  ASSERT_TRUE(FilterImageChecked(first, &control));

  // The first tab unticks the box; the second does not see it.
  EXPECT_EQ(
      Post("/preferences/act", "s=" + first + "&act=click&control=" + control).status,
      303);
  EXPECT_FALSE(FilterImageChecked(first, nullptr));
  EXPECT_TRUE(FilterImageChecked(second, nullptr));

  // Cancel in the second tab discards nothing of the first's.
  ParsedResponse cancelled = Post("/preferences/act", "s=" + second + "&act=cancel");
  ASSERT_NE(cancelled.Find("Location"), nullptr);
  EXPECT_EQ(*cancelled.Find("Location"), "/");
  EXPECT_NE(Request("GET", "/preferences?s=" + second).body.find("This dialog is closed"),
            std::string::npos);
  EXPECT_EQ(StoredFilterImage(), 1);

  ParsedResponse ok = Post("/preferences/act", "s=" + first + "&act=ok");
  ASSERT_NE(ok.Find("Location"), nullptr);
  EXPECT_EQ(*ok.Find("Location"), "/preferences?saved=1");
  EXPECT_EQ(StoredFilterImage(), 0);
  const std::string after = Open();
  EXPECT_FALSE(FilterImageChecked(after, nullptr)) << "a new dialog reads what OK saved";
}

TEST_F(DialogPagesTest, WhitelistPageOfTheDialogAddsOnlyOnOk) {
  const std::string session = Open();
  ASSERT_FALSE(session.empty());
  ParsedResponse page = Request("GET", "/preferences/whitelist?s=" + session);
  EXPECT_NE(page.body.find("value=\"\" placeholder=\"Add a website address"),
            std::string::npos)
      << "the hint is a placeholder, not a value\n"
      << page.body;
  EXPECT_EQ(Post("/preferences/act",
                 "s=" + session + "&act=edit&row=0&tab=Whitelist&text=news.example")
                .status,
            303);
  page = Request("GET", "/preferences/whitelist?s=" + session);
  EXPECT_NE(page.body.find("value=\"news.example\""), std::string::npos) << page.body;
  Whitelist::Instance().Load();
  EXPECT_FALSE(Whitelist::Instance().Contains(L"news.example", true)) << "before OK";
  Post("/preferences/act", "s=" + session + "&act=ok&tab=Whitelist");
  Whitelist::Instance().Load();
  EXPECT_TRUE(Whitelist::Instance().Contains(L"news.example", true));
  Whitelist::Instance().Remove(L"news.example");
  Whitelist::Instance().Save();
}

}  // namespace
}  // namespace cvie::panel
