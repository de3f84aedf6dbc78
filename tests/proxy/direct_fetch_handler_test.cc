// The stand-in road: the proxy fetches with libcurl from an origin server that is
// itself a proxy server answering through its panel handler, all on loopback.

#include "proxy/direct_fetch_handler.h"

#include <random>

#include <gtest/gtest.h>

#include "proxy_test_support.h"

namespace cvie::proxy {
namespace {

using testing::ParsedResponse;
using testing::RequestText;
using testing::RespondText;
using testing::RunningProxy;
using testing::TestClient;

class DirectFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    origin_.panel.set_respond([](const ProxyRequest& r, ResponseWriter& out) {
      if (r.path == "/page") {
        out.Start(200, "",
                  {{"Content-Type", "text/html"},
                   {"X-Origin", "yes"},
                   {"Set-Cookie", "a=1"},
                   {"Set-Cookie", "b=2"},
                   {"Content-Length", "13"}});
        out.Write("<p>hello</p>\n");
      } else if (r.path == "/stream") {
        out.Start(200, "", {{"Content-Type", "application/octet-stream"}});
        std::mt19937 gen(3);
        for (int i = 0; i < 50; ++i) {
          std::string piece(10000, '\0');
          for (char& c : piece) c = static_cast<char>(gen() & 0xff);
          out.Write(piece);
        }
      } else if (r.path == "/redirect") {
        out.Start(302, "", {{"Location", "/page"}, {"Content-Length", "0"}});
      } else if (r.path == "/echo") {
        std::string seen = r.method + " " + r.body;
        const std::string* token = FindHeader(r.headers, "X-Token");
        if (token) seen += " token=" + *token;
        RespondText(out, seen);
      } else {
        RespondText(out, "missing", 404);
      }
      out.Finish();
    });
    ASSERT_TRUE(origin_.Start());
    ProxyServerOptions options;
    options.address = "127.0.0.1";
    options.port = 0;
    options.workers = 2;
    proxy_ = std::make_unique<ProxyServer>(options, &fetch_, nullptr);
    std::string error;
    ASSERT_TRUE(proxy_->Start(&error)) << error;
  }

  std::string OriginUrl(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(origin_.port()) + path;
  }

  RunningProxy origin_;
  DirectFetchHandler fetch_;
  std::unique_ptr<ProxyServer> proxy_;
};

TEST_F(DirectFetch, StreamsTheOriginsAnswerUnchanged) {
  std::mt19937 gen(3);
  std::string streamed;
  for (int i = 0; i < 50; ++i) {
    for (int j = 0; j < 10000; ++j) streamed.push_back(static_cast<char>(gen() & 0xff));
  }
  struct Case {
    std::string method;
    std::string path;
    std::vector<std::string> headers;
    std::string body;
    int status;
    std::string expect_body;
  } cases[] = {
      {"GET", "/page", {}, "", 200, "<p>hello</p>\n"},
      {"GET", "/stream", {}, "", 200, streamed},
      {"GET", "/redirect", {}, "", 302, ""},
      {"GET", "/nothing", {}, "", 404, "missing"},
      {"POST",
       "/echo",
       {"Content-Length: 9", "X-Token: t1"},
       "form=data",
       200,
       "POST form=data token=t1"},
      {"PUT", "/echo", {"Content-Length: 3"}, "abc", 200, "PUT abc"},
      {"DELETE", "/echo", {}, "", 200, "DELETE "},
  };
  for (const auto& c : cases) {
    std::vector<std::string> headers = c.headers;
    headers.push_back("Host: 127.0.0.1:" + std::to_string(origin_.port()));
    TestClient client;
    ASSERT_TRUE(client.Connect(proxy_->port()));
    ASSERT_TRUE(client.Send(RequestText(c.method, OriginUrl(c.path), headers, c.body)));
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response)) << c.path;
    EXPECT_EQ(response.status, c.status) << c.method << " " << c.path;
    EXPECT_TRUE(response.body == c.expect_body) << c.method << " " << c.path;
  }
}

TEST_F(DirectFetch, PassesHeadersAndRedirectsToTheBrowser) {
  TestClient client;
  ASSERT_TRUE(client.Connect(proxy_->port()));
  // The origin is a proxy server's panel side: it answers only its own name.
  const std::string host = "Host: 127.0.0.1:" + std::to_string(origin_.port());
  ASSERT_TRUE(client.Send(RequestText("GET", OriginUrl("/page"), {host}) +
                          RequestText("HEAD", OriginUrl("/page"), {host}) +
                          RequestText("GET", OriginUrl("/redirect"), {host})));
  ParsedResponse page;
  ASSERT_TRUE(client.ReadResponse(&page));
  ASSERT_NE(page.Find("X-Origin"), nullptr);
  ASSERT_NE(page.Find("Content-Length"), nullptr);
  EXPECT_EQ(*page.Find("Content-Length"), "13");
  int cookies = 0;
  for (const Header& h : page.headers) cookies += EqualsIgnoreCase(h.name, "Set-Cookie");
  EXPECT_EQ(cookies, 2);
  ParsedResponse head;
  ASSERT_TRUE(client.ReadResponse(&head, /*head=*/true));
  EXPECT_EQ(head.status, 200);
  ASSERT_NE(head.Find("Content-Length"), nullptr);
  EXPECT_EQ(*head.Find("Content-Length"), "13");
  ParsedResponse redirect;
  ASSERT_TRUE(client.ReadResponse(&redirect));
  EXPECT_EQ(redirect.status, 302);
  ASSERT_NE(redirect.Find("Location"), nullptr);
  EXPECT_EQ(*redirect.Find("Location"), "/page");
}

TEST_F(DirectFetch, UnreachableOriginGetsBadGateway) {
  TestClient client;
  ASSERT_TRUE(client.Connect(proxy_->port()));
  std::string url = "http://127.0.0.1:" + std::to_string(testing::UnusedPort()) + "/";
  ASSERT_TRUE(client.Send(RequestText("GET", url, {"Host: x"})));
  ParsedResponse response;
  ASSERT_TRUE(client.ReadResponse(&response));
  EXPECT_EQ(response.status, 502);
  EXPECT_NE(response.body.find("could not fetch"), std::string::npos) << response.body;
}

}  // namespace
}  // namespace cvie::proxy
