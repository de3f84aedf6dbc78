// The road of a page through a running proxy server: pages from an origin on
// loopback reach the client filtered (HTML) or byte for byte (the rest), with
// statuses, redirects and failures passed on as a browser needs them.

#include "road/road_handler.h"

#include <zlib.h>

#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "origin_server.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "proxy/proxy_server.h"
#include "proxy_test_support.h"
#include "road/plugin_host.h"
#include "whitelist/whitelist.h"

namespace cvie::road {
namespace {

using proxy::testing::ParsedResponse;
using proxy::testing::RequestText;
using proxy::testing::ScriptedHandler;
using proxy::testing::TestClient;
using testing::OriginReply;
using testing::OriginServer;

const char kAdPage[] =
    "<html><head><title>News</title></head><body>\n"
    "<p>Hello reader, today's story.</p>\n"
    "<img src=\"/ads/banner1.gif\" width=\"468\" height=\"60\">\n"
    "<p>The end of the story.</p>\n"
    "</body></html>\n";

OriginReply Html(const std::string& body) {
  OriginReply r;
  r.headers = {{"Content-Type", "text/html; charset=utf-8"}};
  r.body = body;
  return r;
}

std::string RandomBytes(size_t n) {
  std::mt19937 gen(7);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xff);
  return out;
}

std::string Gzip(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(compressBound(data.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

class RoadTest : public ::testing::Test {
 protected:
  void StartProxy(RoadOptions options = {}) {
    std::string error;
    ASSERT_TRUE(host_.Open(false, &error, &window_)) << error;
    window_.set_helper(host_.helper());
    road_ = std::make_unique<RoadHandler>(&window_, options);
    proxy::ProxyServerOptions server_options;
    server_options.address = "127.0.0.1";
    server_options.port = 0;
    server_ = std::make_unique<proxy::ProxyServer>(server_options, road_.get(), &panel_);
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void TearDown() override {
    if (server_) server_->Stop();
    window_.set_helper(nullptr);
    host_.Close();
  }

  // One request through the proxy on a fresh connection.
  ParsedResponse Fetch(const std::string& method, const std::string& url,
                       std::vector<std::string> headers = {}) {
    TestClient client;
    ParsedResponse response;
    EXPECT_TRUE(client.Connect(server_->port()));
    headers.push_back("Host: 127.0.0.1");
    EXPECT_TRUE(client.Send(RequestText(method, url, headers)));
    EXPECT_TRUE(client.ReadResponse(&response, method == "HEAD")) << url;
    return response;
  }

  OriginServer origin_;
  PluginHost host_;
  BrowserWindow window_;
  ScriptedHandler<proxy::PanelHandler> panel_;
  std::unique_ptr<RoadHandler> road_;
  std::unique_ptr<proxy::ProxyServer> server_;
};

TEST_F(RoadTest, PassesStatusesHeadersAndBodies) {
  std::string binary = RandomBytes(300 * 1024);
  OriginReply png;
  png.headers = {{"Content-Type", "image/png"}, {"X-Origin", "kept"}};
  png.body = binary;
  origin_.Set("/picture.png", png);
  OriginReply redirect;
  redirect.status = 302;
  redirect.headers = {{"Location", "/elsewhere"}, {"Content-Type", "text/html"}};
  redirect.body = "<a href=\"/elsewhere\">moved</a>";
  origin_.Set("/moved", redirect);
  origin_.Set("/page.html", Html("<html><body><p>plain page</p></body></html>"));
  StartProxy();

  struct Case {
    const char* name;
    std::string path;
    int status;
    std::string body;
    const char* header;
    const char* header_value;
  } cases[] = {
      {"binary streamed byte for byte", "/picture.png", 200, binary, "X-Origin", "kept"},
      {"not found passed on", "/missing", 404, "no such page\n", "Content-Type",
       "text/plain"},
      {"redirect passed, not followed", "/moved", 302, "<a href=\"/elsewhere\">moved</a>",
       "Location", "/elsewhere"},
      {"page without ads unchanged", "/page.html", 200,
       "<html><body><p>plain page</p></body></html>", "Content-Type",
       "text/html; charset=utf-8"},
  };
  for (const Case& c : cases) {
    ParsedResponse r = Fetch("GET", origin_.Url(c.path));
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_TRUE(r.body == c.body) << c.name << ": body of " << r.body.size() << " bytes";
    const std::string* value = r.Find(c.header);
    ASSERT_NE(value, nullptr) << c.name;
    EXPECT_EQ(*value, c.header_value) << c.name;
  }
}

TEST_F(RoadTest, FiltersAnAdPageAndFixesItsLength) {
  OriginReply page = Html(kAdPage);
  page.headers.push_back({"Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT"});
  page.headers.push_back({"ETag", "\"abc\""});
  page.headers.push_back({"Cache-Control", "max-age=600"});
  origin_.Set("/news.html", page);
  StartProxy();
  ParsedResponse r = Fetch("GET", origin_.Url("/news.html"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body.find("/ads/banner1.gif"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("Hello reader, today's story."), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("The end of the story."), std::string::npos) << r.body;
  const std::string* length = r.Find("Content-Length");
  ASSERT_NE(length, nullptr);
  EXPECT_EQ(*length, std::to_string(r.body.size()));
  // The browser keeps no copy to revalidate after the whitelist changes.
  ASSERT_NE(r.Find("Cache-Control"), nullptr);
  EXPECT_EQ(*r.Find("Cache-Control"), "no-store");
  EXPECT_EQ(r.Find("Last-Modified"), nullptr);
  EXPECT_EQ(r.Find("ETag"), nullptr);
}

TEST_F(RoadTest, DecodesCompressedPagesBeforeFiltering) {
  OriginReply gz = Html("");
  gz.headers.push_back({"Content-Encoding", "gzip"});
  gz.body = Gzip(kAdPage);
  origin_.Set("/news.html", gz);
  StartProxy();
  ParsedResponse r = Fetch("GET", origin_.Url("/news.html"), {"Accept-Encoding: gzip"});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Find("Content-Encoding"), nullptr);
  EXPECT_EQ(r.body.find("/ads/banner1.gif"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("Hello reader"), std::string::npos) << r.body;
}

TEST_F(RoadTest, WhitelistedSiteIsServedUnchanged) {
  origin_.Set("/news.html", Html(kAdPage));
  StartProxy();
  ASSERT_EQ(Whitelist::Instance().Add(L"127.0.0.1"), 0);
  ParsedResponse r = Fetch("GET", origin_.Url("/news.html"));
  Whitelist::Instance().Remove(L"127.0.0.1");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, kAdPage);
}

TEST_F(RoadTest, PageOverTheLimitPassesUnfilteredAndWhole) {
  std::string big = kAdPage;
  big += std::string(4000, ' ') + "<p>tail</p>";
  origin_.Set("/big.html", Html(big));
  origin_.Set("/small.html", Html(kAdPage));
  RoadOptions options;
  options.max_filtered_bytes = 2000;
  StartProxy(options);
  ParsedResponse r = Fetch("GET", origin_.Url("/big.html"));
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(r.body == big) << r.body.size();
  // Pages under the limit are still filtered after the bypass.
  ParsedResponse small = Fetch("GET", origin_.Url("/small.html"));
  EXPECT_EQ(small.body.find("/ads/banner1.gif"), std::string::npos) << small.body;
}

TEST_F(RoadTest, UnreachableOriginGets502) {
  StartProxy();
  uint16_t port = proxy::testing::UnusedPort();
  ParsedResponse r = Fetch("GET", "http://127.0.0.1:" + std::to_string(port) + "/x.html");
  EXPECT_EQ(r.status, 502);
  EXPECT_NE(r.body.find("could not be fetched"), std::string::npos) << r.body;
}

TEST_F(RoadTest, OriginStoppingHalfWayEndsTheResponseShort) {
  OriginReply cut;
  cut.headers = {{"Content-Type", "application/octet-stream"}};
  cut.body = RandomBytes(200 * 1024);
  cut.cut_after = 50 * 1024;
  origin_.Set("/cut.bin", cut);
  OriginReply cut_html = Html(std::string(kAdPage) + std::string(100000, 'x'));
  cut_html.cut_after = 1000;
  origin_.Set("/cut.html", cut_html);
  origin_.Set("/after.html", Html("<p>still serving</p>"));
  StartProxy();

  TestClient client;
  ASSERT_TRUE(client.Connect(server_->port()));
  ASSERT_TRUE(client.Send(RequestText("GET", origin_.Url("/cut.bin"), {"Host: x"})));
  std::string raw;
  ASSERT_TRUE(client.ReadUntilClose(&raw));
  size_t head_end = raw.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos);
  EXPECT_LT(raw.size() - head_end - 4, cut.body.size());

  ParsedResponse html = Fetch("GET", origin_.Url("/cut.html"));
  EXPECT_EQ(html.status, 502);
  // The proxy goes on serving.
  ParsedResponse after = Fetch("GET", origin_.Url("/after.html"));
  EXPECT_EQ(after.status, 200);
  EXPECT_EQ(after.body, "<p>still serving</p>");
}

TEST_F(RoadTest, HeadAndNotModifiedCarryNoBody) {
  origin_.Set("/news.html", Html(kAdPage));
  OriginReply not_modified;
  not_modified.status = 304;
  not_modified.headers = {{"ETag", "\"v1\""}};
  origin_.Set("/cached.html", not_modified);
  StartProxy();
  ParsedResponse head = Fetch("HEAD", origin_.Url("/news.html"));
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());
  ParsedResponse cached =
      Fetch("GET", origin_.Url("/cached.html"), {"If-None-Match: \"v1\""});
  EXPECT_EQ(cached.status, 304);
  EXPECT_TRUE(cached.body.empty());
  EXPECT_EQ(origin_.LastHeaders("/cached.html")["if-none-match"], "\"v1\"");
}

TEST_F(RoadTest, KeepsTheConnectionForTheNextRequest) {
  origin_.Set("/a.html", Html("<p>a</p>"));
  origin_.Set("/b.png", OriginReply{200, {{"Content-Type", "image/png"}}, "PNGDATA"});
  StartProxy();
  TestClient client;
  ASSERT_TRUE(client.Connect(server_->port()));
  for (const char* path : {"/a.html", "/b.png", "/a.html"}) {
    ASSERT_TRUE(client.Send(RequestText("GET", origin_.Url(path), {"Host: x"}))) << path;
    ParsedResponse r;
    ASSERT_TRUE(client.ReadResponse(&r)) << path;
    EXPECT_EQ(r.status, 200) << path;
    EXPECT_TRUE(r.keep_alive) << path;
  }
}

// A navigation reaches the window's helper object, which logs it once.
TEST_F(RoadTest, NavigationIsLoggedByTheHelperObject) {
  origin_.Set("/page.html", Html("<p>page</p>"));
  StartProxy();
  ASSERT_NE(host_.helper(), nullptr);
  std::string url = origin_.Url("/page.html");
  Fetch("GET", url, {"Sec-Fetch-Dest: document"});
  Fetch("GET", origin_.Url("/page.html?part"), {"Sec-Fetch-Dest: image"});
  std::string log;
  ASSERT_TRUE(cvie::testing::ReadFile(platform::ToNarrow(platform::LogFilePath()), &log));
  size_t lines = 0;
  for (size_t at = log.find("DISPID_BEFORENAVIGATE2: "); at != std::string::npos;
       at = log.find("DISPID_BEFORENAVIGATE2: ", at + 1)) {
    ++lines;
    EXPECT_EQ(log.compare(at + 24, url.size() + 1, url + "\n"), 0) << log.substr(at, 200);
  }
  EXPECT_EQ(lines, 1u) << log;
}

TEST_F(RoadTest, TopLevelNavigationsSetTheWindowLocation) {
  origin_.Set("/page.html", Html("<p>page</p>"));
  origin_.Set("/style.css", OriginReply{200, {{"Content-Type", "text/css"}}, "p{}"});
  StartProxy();
  struct Case {
    const char* name;
    std::string path;
    std::vector<std::string> headers;
    bool navigates;
  } cases[] = {
      {"document by fetch metadata", "/page.html", {"Sec-Fetch-Dest: document"}, true},
      {"style sheet", "/style.css", {"Sec-Fetch-Dest: style", "Accept: text/css"}, false},
      {"older browser asking for html",
       "/page.html?old",
       {"Accept: text/html,*/*"},
       true},
      {"image without metadata", "/style.css?img", {"Accept: image/png"}, false},
  };
  for (const Case& c : cases) {
    window_.SetLocation(L"about:blank");
    Fetch("GET", origin_.Url(c.path), c.headers);
    std::wstring location;
    ASSERT_TRUE(window_.GetLocationURL(&location)) << c.name;
    std::string url = origin_.Url(c.path);
    EXPECT_EQ(location == std::wstring(url.begin(), url.end()), c.navigates) << c.name;
  }
}

}  // namespace
}  // namespace cvie::road
