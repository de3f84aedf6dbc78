// The panel's pages beside the menu: updates and the rule file in force.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/update_server.h"
#include "panel/update_page.h"
#include "panel_test_fixture.h"
#include "platform/text.h"
#include "rules/bundled_rules.h"
#include "rules/rule_loading.h"

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
  EXPECT_NE(page.body.find(ToNarrow(UpdateServerUrl())), std::string::npos);

  ASSERT_EQ(InstallRuleFileContents(std::string(BundledRuleFile()), RuleFilePath()), 0);
  page = Request("GET", "/update");
  EXPECT_NE(page.body.find("id=\"installed-version\">version "), std::string::npos)
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
  EXPECT_EQ(ToNarrow(UpdateServerUrl()), "https://updates.example.org");
  // The message is shown once.
  page = Request("GET", "/update");
  EXPECT_EQ(page.body.find("Checks now ask"), std::string::npos);
  SetUpdateServerUrl(L"");
  EXPECT_EQ(Post("/update/server", "url=http%3A%2F%2Fx.example").status, 303);
  EXPECT_EQ(Request("POST", "/update/server", "url=http%3A%2F%2Fevil.example").status,
            403)
      << "no change without the token";
  EXPECT_EQ(ToNarrow(UpdateServerUrl()), "http://x.example");
  SetUpdateServerUrl(L"");
}

}  // namespace
}  // namespace cvie::panel
