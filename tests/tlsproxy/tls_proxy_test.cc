// The proxy's TLS termination of CONNECT requests, with a test interception:
// decrypted requests reach the exchange handler as https URLs over the same
// request machinery as plain ones; hosts not inspected are tunnelled untouched;
// handshakes that fail, time out or pick another protocol close the connection
// without disturbing other clients.

#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "proxy_test_support.h"
#include "tls_test_support.h"

namespace cvie::tlstest {
namespace {

using proxy::ProxyRequest;
using proxy::ResponseWriter;
using proxy::testing::RespondText;
using proxy::testing::RunningProxy;

class TlsProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    local_ca_ = MakeCa("Test Local CA");
    local_ca_file_ =
        WritePem(cvie::testing::TestRoot() / "local-ca.pem", local_ca_.CertPem());
    other_ca_file_ =
        WritePem(cvie::testing::TestRoot() / "other-ca.pem", MakeCa("Other").CertPem());
    interception_ = std::make_unique<FakeInterception>(local_ca_);
  }

  void StartProxy(proxy::ProxyServerOptions options = {}) {
    options.tls_interception = interception_.get();
    options.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(log_mu_);
      log_.push_back(line);
    };
    ASSERT_TRUE(proxy_.Start(options));
    proxy_.proxy.set_respond([](const ProxyRequest& r, ResponseWriter& out) {
      RespondText(out, "answer for " + r.method + " " + r.url);
    });
  }

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(log_mu_);
    return log_;
  }

  KeyAndCert local_ca_;
  std::string local_ca_file_;
  std::string other_ca_file_;
  // The log outlives the proxy, which may still write to it while it stops.
  std::mutex log_mu_;
  std::vector<std::string> log_;
  std::unique_ptr<FakeInterception> interception_;
  RunningProxy proxy_;
};

TEST_F(TlsProxyTest, InspectedRequestsReachTheHandlerAsHttpsUrls) {
  proxy::ProxyServerOptions options;
  options.connect_ports = {443, 8443, 9};
  StartProxy(options);
  struct Case {
    const char* name;
    std::string url;       // what the client asks for
    std::string expected;  // the URL the handler sees
  } cases[] = {
      {"default port left out", "https://site.test/page?x=1",
       "https://site.test/page?x=1"},
      {"other port kept", "https://site.test:8443/a/b", "https://site.test:8443/a/b"},
      {"IP literal", "https://127.0.0.1:9/c", "https://127.0.0.1:9/c"},
  };
  for (const Case& c : cases) {
    CurlResult r = CurlGet(c.url, proxy_.port(), local_ca_file_);
    EXPECT_EQ(r.code, 0) << c.name << ": " << r.error;
    EXPECT_EQ(r.status, 200) << c.name;
    EXPECT_EQ(r.body, "answer for GET " + c.expected) << c.name;
  }
  EXPECT_EQ(proxy_.proxy.seen().size(), 3u);
  EXPECT_TRUE(proxy_.panel.seen().empty());
}

TEST_F(TlsProxyTest, ServesSeveralRequestsOnOneSecureConnection) {
  StartProxy();
  TlsClient client;
  ASSERT_EQ(client.Connect(proxy_.port(), "site.test:443"), 200);
  std::string error;
  ASSERT_TRUE(client.Handshake("site.test", local_ca_file_, {"http/1.1"}, &error))
      << error;
  EXPECT_EQ(client.Alpn(), "http/1.1");
  // Pipelined: the second waits in the connection's buffer for the first.
  ASSERT_TRUE(
      client.Write("GET /one HTTP/1.1\r\nHost: site.test\r\n\r\n"
                   "POST /two HTTP/1.1\r\nHost: site.test\r\nContent-Length: 3\r\n"
                   "Connection: close\r\n\r\nabc"));
  bool closed = false;
  std::string answer = client.ReadAll(10000, &closed);
  EXPECT_TRUE(closed);
  EXPECT_NE(answer.find("answer for GET https://site.test/one"), std::string::npos)
      << answer;
  EXPECT_NE(answer.find("answer for POST https://site.test/two"), std::string::npos)
      << answer;
  std::vector<ProxyRequest> seen = proxy_.proxy.seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].body, "abc");
  EXPECT_EQ(seen[1].path, "/two");
}

TEST_F(TlsProxyTest, RefusesRequestsNamingAnotherSiteInside) {
  StartProxy();
  struct Case {
    const char* name;
    std::string request_line;
    const char* status;  // the status line's start
  } cases[] = {
      {"another host", "GET https://other.test/x HTTP/1.1", "HTTP/1.1 400"},
      {"plain http to the same host", "GET http://site.test/x HTTP/1.1", "HTTP/1.1 400"},
      {"another port", "GET https://site.test:444/x HTTP/1.1", "HTTP/1.1 400"},
      {"CONNECT inside", "CONNECT other.test:443 HTTP/1.1", "HTTP/1.1 400"},
      {"same host in capitals", "GET https://SITE.test/x HTTP/1.1", "HTTP/1.1 200"},
  };
  for (const Case& c : cases) {
    TlsClient client;
    ASSERT_EQ(client.Connect(proxy_.port(), "site.test:443"), 200) << c.name;
    std::string error;
    ASSERT_TRUE(client.Handshake("site.test", local_ca_file_, {}, &error)) << error;
    ASSERT_TRUE(
        client.Write(c.request_line + "\r\nHost: site.test\r\nConnection: close\r\n\r\n"))
        << c.name;
    bool closed = false;
    std::string answer = client.ReadAll(10000, &closed);
    EXPECT_EQ(answer.compare(0, 12, c.status), 0) << c.name << ": " << answer;
  }
  // Only the allowed one reached the handler.
  ASSERT_EQ(proxy_.proxy.seen().size(), 1u);
  EXPECT_EQ(proxy_.proxy.seen()[0].url, "https://site.test/x");
}

TEST_F(TlsProxyTest, TunnelsHostsItDoesNotInspectByteForByte) {
  KeyAndCert origin_ca = MakeCa("Origin CA");
  std::string origin_ca_file =
      WritePem(cvie::testing::TestRoot() / "origin-ca.pem", origin_ca.CertPem());
  TlsOrigin origin(ServerContext(MakeLeaf(origin_ca, {"127.0.0.1"})));
  origin.Set("/page", "text/html",
             "<html><body><img src=\"/ads/banner1.gif\"></body></html>");
  proxy::ProxyServerOptions options;
  options.connect_ports = {origin.port()};
  StartProxy(options);
  std::string authority = "127.0.0.1:" + std::to_string(origin.port());

  struct Case {
    const char* name;
    bool enabled;
    bool passthrough;
    bool tunnelled;  // the client meets the origin's certificate
  } cases[] = {
      {"inspected host", true, false, false},
      {"filtering off", false, false, true},
      {"passthrough host", true, true, true},
  };
  for (const Case& c : cases) {
    interception_->set_enabled(c.enabled);
    if (c.passthrough) interception_->PassThrough("127.0.0.1");
    int handshakes = origin.handshakes();
    TlsClient client;
    ASSERT_EQ(client.Connect(proxy_.port(), authority), 200) << c.name;
    std::string error;
    bool trusted = client.Handshake("127.0.0.1", origin_ca_file, {}, &error);
    EXPECT_EQ(trusted, c.tunnelled) << c.name << ": " << error;
    if (!c.tunnelled) {
      EXPECT_EQ(origin.handshakes(), handshakes) << c.name;
      continue;
    }
    ASSERT_TRUE(client.Write("GET /page HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) << c.name;
    bool closed = false;
    std::string answer = client.ReadAll(10000, &closed);
    EXPECT_TRUE(closed) << c.name;
    EXPECT_EQ(answer, origin.last_sent()) << c.name;
    EXPECT_EQ(origin.handshakes(), handshakes + 1) << c.name;
  }
  EXPECT_TRUE(proxy_.proxy.seen().empty());
}

TEST_F(TlsProxyTest, SpeaksOnlyHttp11InsideEvenWhenTheContextAllowsMore) {
  struct Case {
    const char* name;
    std::vector<std::string> context_alpn;  // what the interception's context accepts
    std::vector<std::string> client_alpn;   // what the client offers
    bool served;
  } cases[] = {
      {"h2-only client, http/1.1 context", {"http/1.1"}, {"h2"}, true},
      {"both offered, http/1.1 context", {"http/1.1"}, {"h2", "http/1.1"}, true},
      {"context that would pick h2", {"h2", "http/1.1"}, {"h2"}, false},
  };
  for (const Case& c : cases) {
    FakeInterception interception(local_ca_, c.context_alpn);
    RunningProxy proxy;
    proxy::ProxyServerOptions options;
    options.tls_interception = &interception;
    ASSERT_TRUE(proxy.Start(options)) << c.name;
    proxy.proxy.set_respond(
        [](const ProxyRequest& r, ResponseWriter& out) { RespondText(out, r.url); });
    TlsClient client;
    ASSERT_EQ(client.Connect(proxy.port(), "site.test:443"), 200) << c.name;
    std::string error;
    bool handshake = client.Handshake("site.test", local_ca_file_, c.client_alpn, &error);
    std::string answer;
    if (handshake) {
      // Served means over http/1.1; a session that picked h2 gets no answer.
      if (c.served) {
        EXPECT_NE(client.Alpn(), "h2") << c.name;
      }
      client.Write("GET /x HTTP/1.1\r\nHost: site.test\r\nConnection: close\r\n\r\n");
      bool closed = false;
      answer = client.ReadAll(10000, &closed);
      EXPECT_TRUE(closed) << c.name;
    }
    EXPECT_EQ(answer.find("https://site.test/x") != std::string::npos, c.served)
        << c.name << ": " << answer;
    proxy.Stop();
  }
}

TEST_F(TlsProxyTest, ClientHandshakeFailureIsLoggedAndOthersAreServed) {
  StartProxy();
  {
    TlsClient distrustful;
    ASSERT_EQ(distrustful.Connect(proxy_.port(), "site.test:443"), 200);
    std::string error;
    EXPECT_FALSE(distrustful.Handshake("site.test", other_ca_file_, {}, &error));
    EXPECT_FALSE(error.empty());
  }
  CurlResult r = CurlGet("https://site.test/after", proxy_.port(), local_ca_file_);
  EXPECT_EQ(r.code, 0) << r.error;
  EXPECT_EQ(r.body, "answer for GET https://site.test/after");
  // The proxy notices the failure after the client has gone: wait for the line.
  int lines = 0;
  for (int i = 0; i < 100 && lines == 0; ++i) {
    for (const std::string& line : Log())
      lines += line.find("failed in the handshake") != std::string::npos &&
               line.find("site.test") != std::string::npos;
    if (lines == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(lines, 1);
  ASSERT_EQ(proxy_.proxy.seen().size(), 1u);
}

TEST_F(TlsProxyTest, CertificateFailureRefusesTheConnect) {
  interception_->FailContextFor("bad.test");
  StartProxy();
  TlsClient client;
  EXPECT_EQ(client.Connect(proxy_.port(), "bad.test:443"), 502);
  bool logged = false;
  for (const std::string& line : Log())
    logged |= line.find("bad.test") != std::string::npos;
  EXPECT_TRUE(logged);
  EXPECT_TRUE(proxy_.proxy.seen().empty());
}

TEST_F(TlsProxyTest, SilentClientIsClosedAfterTheHandshakeTimeout) {
  proxy::ProxyServerOptions options;
  options.tls_handshake_timeout = std::chrono::milliseconds(300);
  StartProxy(options);
  TlsClient client;
  ASSERT_EQ(client.Connect(proxy_.port(), "site.test:443"), 200);
  // No ClientHello: the proxy gives up and closes.
  char byte;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(recv(client.fd(), &byte, 1, 0), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

TEST_F(TlsProxyTest, StopClosesIdleSecureConnections) {
  StartProxy();
  TlsClient client;
  ASSERT_EQ(client.Connect(proxy_.port(), "site.test:443"), 200);
  std::string error;
  ASSERT_TRUE(client.Handshake("site.test", local_ca_file_, {}, &error)) << error;
  ASSERT_TRUE(client.Write("GET /x HTTP/1.1\r\nHost: site.test\r\n\r\n"));
  bool closed = false;
  std::string answer = client.ReadAll(1000, &closed);
  EXPECT_FALSE(closed);  // kept alive
  EXPECT_NE(answer.find("answer for GET https://site.test/x"), std::string::npos);
  auto start = std::chrono::steady_clock::now();
  proxy_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  client.ReadAll(5000, &closed);
  EXPECT_TRUE(closed);
}

TEST_F(TlsProxyTest, ConcurrentSecureClientsGetTheirOwnAnswers) {
  StartProxy();
  constexpr int kThreads = 6, kEach = 4;
  std::vector<std::thread> threads;
  std::mutex mu;
  std::vector<std::string> failures;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        // A few hosts, so that contexts are made while others use them.
        std::string url = "https://host" + std::to_string((t + i) % 3) + ".test/t" +
                          std::to_string(t) + "/" + std::to_string(i);
        CurlResult r = CurlGet(url, proxy_.port(), local_ca_file_);
        if (r.code != 0 || r.body != "answer for GET " + url) {
          std::lock_guard<std::mutex> lock(mu);
          failures.push_back(url + ": " + r.error + " " + r.body);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(failures.empty())
      << failures.size() << " failed, first: " << (failures.empty() ? "" : failures[0]);
  EXPECT_EQ(proxy_.proxy.seen().size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(interception_->contexts_made(), 3);
}

}  // namespace
}  // namespace cvie::tlstest
