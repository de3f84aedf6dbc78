// Secure pages on the road of a page: the proxy terminates the browser's TLS,
// fetches the page from the origin over HTTPS with the origin's certificate
// verified, and filters it like a plain page. An origin whose certificate does
// not verify is never fetched from: the browser gets a 502 page naming the
// site and the reason.

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/upstream_trust.h"
#include "proxy/proxy_server.h"
#include "proxy_test_support.h"
#include "road/plugin_host.h"
#include "road/road_handler.h"
#include "tls_test_support.h"

namespace cvie::tlstest {
namespace {

const char kAdPage[] =
    "<html><head><title>News</title></head><body>\n"
    "<p>Hello reader, today's story.</p>\n"
    "<img src=\"/ads/banner1.gif\" width=\"468\" height=\"60\">\n"
    "<p>The end of the story.</p>\n"
    "</body></html>\n";

class TlsRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    local_ca_ = MakeCa("Test Local CA");
    local_ca_file_ =
        WritePem(cvie::testing::TestRoot() / "local-ca.pem", local_ca_.CertPem());
    origin_ca_ = MakeCa("Test Origin CA");
    origin_ca_file_ =
        WritePem(cvie::testing::TestRoot() / "origin-ca.pem", origin_ca_.CertPem());
    interception_ = std::make_unique<FakeInterception>(local_ca_);
  }

  // `connect_ports`: the ports CONNECT may reach.
  void StartProxy(std::vector<uint16_t> connect_ports) {
    std::string error;
    ASSERT_TRUE(host_.Open(false, &error, &window_)) << error;
    window_.set_helper(host_.helper());
    road_ = std::make_unique<road::RoadHandler>(&window_, road::RoadOptions{});
    proxy::ProxyServerOptions options;
    options.address = "127.0.0.1";
    options.port = 0;
    options.tls_interception = interception_.get();
    options.connect_ports = std::move(connect_ports);
    server_ = std::make_unique<proxy::ProxyServer>(options, road_.get(), &panel_);
    ASSERT_TRUE(server_->Start(&error)) << error;
  }

  void TearDown() override {
    if (server_) server_->Stop();
    window_.set_helper(nullptr);
    host_.Close();
    platform::SetUpstreamCaFile("");
  }

  KeyAndCert local_ca_, origin_ca_;
  std::string local_ca_file_, origin_ca_file_;
  std::unique_ptr<FakeInterception> interception_;
  road::PluginHost host_;
  road::BrowserWindow window_;
  proxy::testing::ScriptedHandler<proxy::PanelHandler> panel_;
  std::unique_ptr<road::RoadHandler> road_;
  std::unique_ptr<proxy::ProxyServer> server_;
};

TEST_F(TlsRoadTest, FiltersAnAdPageServedOverHttps) {
  TlsOrigin origin(ServerContext(MakeLeaf(origin_ca_, {"localhost", "127.0.0.1"})));
  origin.Set("/news.html", "text/html; charset=utf-8", kAdPage);
  origin.Set("/data.bin", "application/octet-stream", std::string("\0\1\2ads\xff", 7));
  platform::SetUpstreamCaFile(origin_ca_file_);
  StartProxy({origin.port()});
  std::string base = "https://localhost:" + std::to_string(origin.port());

  CurlResult page = CurlGet(base + "/news.html", server_->port(), local_ca_file_);
  EXPECT_EQ(page.code, 0) << page.error;
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body.find("/ads/banner1.gif"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("Hello reader, today's story."), std::string::npos)
      << page.body;

  CurlResult data = CurlGet(base + "/data.bin", server_->port(), local_ca_file_);
  EXPECT_EQ(data.code, 0) << data.error;
  EXPECT_EQ(data.body, std::string("\0\1\2ads\xff", 7));
  EXPECT_EQ(origin.requests(), 2);
}

TEST_F(TlsRoadTest, UnverifiedOriginGetsA502NamingSiteAndReason) {
  struct Case {
    const char* name;
    std::vector<std::string> hosts;  // the origin certificate's names
    int from_days, to_days;          // its validity
    bool trust_origin_ca;            // the proxy trusts the origin's CA
    const char* reason;              // part of the verification error
  } cases[] = {
      {"expired", {"localhost"}, -30, -1, true, "certificate has expired"},
      {"not yet valid", {"localhost"}, 2, 30, true, "certificate is not yet valid"},
      {"another host's certificate",
       {"elsewhere.test"},
       -1,
       30,
       true,
       "no alternative certificate subject name matches target host name"},
      {"unknown authority", {"localhost"}, -1, 30, false, "local issuer certificate"},
  };
  // Each case has an origin of its own, on a port not known yet.
  std::vector<uint16_t> any_port(65535);
  std::iota(any_port.begin(), any_port.end(), 1);
  StartProxy(any_port);
  for (const Case& c : cases) {
    TlsOrigin origin(
        ServerContext(MakeLeaf(origin_ca_, c.hosts, c.from_days, c.to_days)));
    origin.Set("/news.html", "text/html", kAdPage);
    // The system's store knows nothing of the test's origin CA.
    platform::SetUpstreamCaFile(c.trust_origin_ca ? origin_ca_file_ : "");
    std::string url = "https://localhost:" + std::to_string(origin.port()) + "/news.html";
    CurlResult r = CurlGet(url, server_->port(), local_ca_file_);
    EXPECT_EQ(r.code, 0) << c.name << ": " << r.error;
    EXPECT_EQ(r.status, 502) << c.name;
    EXPECT_NE(r.body.find("The secure site localhost could not be verified"),
              std::string::npos)
        << c.name << ": " << r.body;
    EXPECT_NE(r.body.find(c.reason), std::string::npos) << c.name << ": " << r.body;
    EXPECT_EQ(origin.requests(), 0) << c.name;
  }
}

}  // namespace
}  // namespace cvie::tlstest
