// `cvie lists` and its subcommands as a user runs them (exit codes, one-line
// errors, the table), and the control panel's "Filter lists" page through a
// proxy server: the table escaped, add and remove only with the token, the
// link from the panel's home.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>

#include "common/child_process.h"
#include "panel/panel_handler.h"
#include "platform/data_folders.h"
#include "proxy/proxy_server.h"
#include "proxy_test_support.h"
#include "subscriptions_fixture.h"

namespace cvie {
namespace {

using testing::CvieExecutable;
using testing::RunCommand;
using testing::SmallList;

class ListsCommandTest : public testing::SubscriptionsTest {
 protected:
  // Runs `cvie <arguments>`; stdout and stderr in `*out`.
  int Cvie(const std::string& arguments, std::string* out) {
    return RunCommand(CvieExecutable().string() + " " + arguments, out, true);
  }
};

struct CommandCase {
  const char* arguments;  // "URL" stands for the server's address
  int status;
  const char* output_part;
};

TEST_F(ListsCommandTest, CommandsSubscribeRemoveAndUpdateWithTheirExitCodes) {
  const CommandCase kCases[] = {
      {"lists", 0, "No filter lists are subscribed"},
      {"lists add URL/page.html", 1, "cvie: cannot subscribe to"},
      {"lists add URL/empty.txt", 1, "the answer was empty"},
      {"lists add ftp://example.org/x", 2, "only http:// and https://"},
      {"lists add", 2, "is required"},
      {"lists add URL/list.txt --title 'Mine'", 0, "Subscribed to"},
      {"lists add URL/list.txt", 1, "already subscribed"},
      {"lists update", 0, "No filter list is due"},
      {"lists update --force", 0, "Updated URL/list.txt"},
      {"lists remove URL/other.txt", 1, "not subscribed to"},
      {"lists frobnicate", 2, "unknown command"},
  };
  for (const CommandCase& c : kCases) {
    std::string arguments = std::regex_replace(c.arguments, std::regex("URL"), Url(""));
    std::string out;
    EXPECT_EQ(Cvie(arguments, &out), c.status) << arguments << "\n" << out;
    std::string part = std::regex_replace(c.output_part, std::regex("URL"), Url(""));
    EXPECT_NE(out.find(part), std::string::npos) << arguments << "\n" << out;
    if (c.status != 0) {
      EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << arguments << "\n" << out;
    }
  }

  // The table: a header and one row, columns aligned.
  std::string table;
  ASSERT_EQ(Cvie("lists", &table), 0);
  std::istringstream lines(table);
  std::string header, row, extra;
  ASSERT_TRUE(std::getline(lines, header));
  ASSERT_TRUE(std::getline(lines, row));
  EXPECT_FALSE(std::getline(lines, extra)) << table;
  const char* kColumns[] = {"ADDRESS", "TITLE",       "VERSION",     "NETWORK", "HIDING",
                            "SKIPPED", "LAST UPDATE", "NEXT UPDATE", "STATE"};
  const std::string kValues[] = {Url("/list.txt"), "Mine", "1", "2", "2", "1"};
  for (size_t i = 0; i < 6; ++i) {
    size_t column = header.find(kColumns[i]);
    ASSERT_NE(column, std::string::npos) << kColumns[i];
    EXPECT_EQ(row.substr(column, kValues[i].size()), kValues[i]) << kColumns[i] << "\n"
                                                                 << table;
  }
  EXPECT_EQ(row.substr(header.find("STATE")), "ok");

  std::string out;
  EXPECT_EQ(Cvie("lists remove " + Url("/list.txt"), &out), 0) << out;
  EXPECT_EQ(StoredBody(Url("/list.txt")), "(none)");
}

TEST_F(ListsCommandTest, ProxyStartFetchesTheDefaultListsUnlessAskedNotTo) {
  const std::string list = Url("/list.txt");
  setenv("CVIE_DEFAULT_LISTS", list.c_str(), 1);
  for (bool check : {false, true}) {
    testing::ChildProcess proxy;
    std::string error;
    std::vector<std::string> extra;
    if (!check) extra.push_back("--no-update-check");
    ASSERT_NE(testing::StartCvieProxy(&proxy, extra, &error), 0) << error;
    bool fetched = false;
    // Without the check, 1.5 s after the start is long past when the check
    // would have fetched it (well under a second here).
    const int polls = check ? 100 : 15;
    for (int i = 0; i < polls && !fetched; ++i) {
      fetched = StoredBody(list) == SmallList("1");
      if (!fetched) usleep(100 * 1000);
    }
    proxy.Stop(SIGTERM);
    EXPECT_EQ(fetched, check) << (check ? "with" : "without") << " the update check";
    EXPECT_EQ(server_.requests().size(), check ? 1u : 0u);
  }
  setenv("CVIE_DEFAULT_LISTS", "", 1);
}

class ListsPanelTest : public testing::SubscriptionsTest {
 protected:
  void SetUp() override {
    testing::SubscriptionsTest::SetUp();
    handler_ = std::make_unique<panel::PanelHandler>(&window_, &ui_, nullptr, "tok");
    proxy::ProxyServerOptions options;
    options.address = "127.0.0.1";
    options.port = 0;
    proxy_ = std::make_unique<proxy::ProxyServer>(options, &road_, handler_.get());
    std::string error;
    ASSERT_TRUE(proxy_->Start(&error)) << error;
  }
  void TearDown() override {
    proxy_->Stop();
    testing::SubscriptionsTest::TearDown();
  }

  proxy::testing::ParsedResponse Request(const std::string& method,
                                         const std::string& path,
                                         const std::string& body = "") {
    proxy::testing::TestClient client;
    proxy::testing::ParsedResponse response;
    EXPECT_TRUE(client.Connect(proxy_->port()));
    std::vector<std::string> headers = {"Host: 127.0.0.1:" +
                                        std::to_string(proxy_->port())};
    if (method == "POST") {
      headers.push_back("Content-Type: application/x-www-form-urlencoded");
      headers.push_back("Content-Length: " + std::to_string(body.size()));
    }
    EXPECT_TRUE(client.Send(proxy::testing::RequestText(method, path, headers, body)));
    EXPECT_TRUE(client.ReadResponse(&response)) << method << " " << path;
    return response;
  }

  static std::string Encoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += isalnum(c) ? std::string(1, static_cast<char>(c)) : hex;
    }
    return out;
  }

  road::BrowserWindow window_;
  panel::PanelUi ui_;
  proxy::testing::ScriptedHandler<proxy::ProxyExchangeHandler> road_;
  std::unique_ptr<panel::PanelHandler> handler_;
  std::unique_ptr<proxy::ProxyServer> proxy_;
};

TEST_F(ListsPanelTest, PageShowsTheListsEscapedAndAddsAndRemovesWithTheToken) {
  server_.SetRoute("/evil.txt", {200,
                                 "[Adblock Plus 2.0]\n! Title: <script>alert(1)</script>"
                                 "\n||ads.example^\n"});
  const std::string evil = Url("/evil.txt") + "?a=\"<b>";

  auto home = Request("GET", "/");
  EXPECT_NE(home.body.find("<a href=\"/lists\">Filter lists</a>"), std::string::npos);
  auto empty = Request("GET", "/lists");
  EXPECT_EQ(empty.status, 200);
  EXPECT_NE(empty.body.find("id=\"no-lists\""), std::string::npos) << empty.body;

  // Without the token nothing changes.
  auto refused = Request("POST", "/lists/add", "url=" + Encoded(Url("/list.txt")));
  EXPECT_EQ(refused.status, 403);
  EXPECT_TRUE(Subscriptions().empty());

  auto added =
      Request("POST", "/lists/add", "token=tok&url=" + Encoded(Url("/evil.txt")));
  EXPECT_EQ(added.status, 303);
  ASSERT_NE(added.Find("Location"), nullptr);
  EXPECT_EQ(*added.Find("Location"), "/lists");
  auto html_answer =
      Request("POST", "/lists/add", "token=tok&url=" + Encoded(Url("/page.html")));
  EXPECT_EQ(html_answer.status, 303);

  auto page = Request("GET", "/lists");
  EXPECT_EQ(page.body.find("<script>alert"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("HTML page, not a filter list"), std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("data-failed=\"1\""), std::string::npos);
  ASSERT_EQ(Subscriptions().size(), 1u);

  // An address with quotes and angle brackets (refused: the answer is no
  // list) is shown escaped in the outcome.
  auto quoted = Request("POST", "/lists/add", "token=tok&url=" + Encoded(evil));
  EXPECT_EQ(quoted.status, 303);
  page = Request("GET", "/lists");
  EXPECT_EQ(page.body.find("\"<b>"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("a=&quot;&lt;b&gt;"), std::string::npos) << page.body;

  auto updated = Request("POST", "/lists/update", "token=tok");
  EXPECT_EQ(updated.status, 303);
  page = Request("GET", "/lists");
  EXPECT_NE(page.body.find("1 of 1 lists updated"), std::string::npos) << page.body;

  auto removed =
      Request("POST", "/lists/remove", "token=tok&url=" + Encoded(Url("/evil.txt")));
  EXPECT_EQ(removed.status, 303);
  EXPECT_TRUE(Subscriptions().empty());
  EXPECT_EQ(StoredBody(Url("/evil.txt")), "(none)");
}

}  // namespace
}  // namespace cvie
