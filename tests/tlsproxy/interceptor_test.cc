// The interceptor that decides which secure sites the proxy opens: the user's
// switch, the passthrough list and the local CA, each read again while the
// proxy runs; and the CA's contexts through the proxy (ALPN http/1.1 only).

#include "https/interceptor.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "common/test_support.h"
#include "https/https_settings.h"
#include "https/local_ca.h"
#include "platform/text.h"
#include "proxy_test_support.h"
#include "tls_test_support.h"

namespace cvie::tlstest {
namespace {

using https::Interceptor;

class InterceptorTest : public ::testing::Test {
 protected:
  // The user's sources, read again every 20 ms instead of every 2 s.
  Interceptor::Sources FastSources() {
    Interceptor::Sources sources = Interceptor::UserSources();
    sources.refresh = std::chrono::milliseconds(20);
    return sources;
  }
  // Asks until `condition` holds, for at most 3 s.
  static bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 150; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
  }
  bool Logged(const std::string& text) {
    for (const std::string& line : log_)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::filesystem::path PassthroughFile() {
    return std::filesystem::path(https::HttpsPassthroughPath());
  }
  void Log(const std::string& line) { log_.push_back(line); }

  // Every test runs in a process of its own under a fresh CVIE_ROOT (the
  // per-user folder is fixed once per process).
  std::vector<std::string> log_;
};

TEST_F(InterceptorTest, FollowsTheSwitchTheCaAndThePassthroughList) {
  Interceptor interceptor(FastSources(), [this](const std::string& l) { Log(l); });
  std::string error;
  struct Step {
    const char* name;
    std::function<void()> change;
    const char* host;
    bool inspected;
    const char* logged;  // a line the step makes the interceptor write
  } steps[] = {
      {"switch off by default", [] {}, "site.test", false, nullptr},
      {"switch on without a CA",
       [&] { ASSERT_TRUE(https::SetInspectHttps(true, &error)) << error; }, "site.test",
       false, "HTTPS filtering is on but the local CA cannot be loaded"},
      {"CA created while running",
       [&] { ASSERT_TRUE(https::CreateLocalCa(30, &error)) << error; }, "site.test", true,
       "the local CA is loaded"},
      {"host added to the list",
       [&] { std::ofstream(PassthroughFile()) << "# banks\nwww.bank.example\n"; },
       "www.bank.example", false, nullptr},
      {"other hosts still inspected", [] {}, "site.test", true, nullptr},
      {"list edited again", [&] { std::ofstream(PassthroughFile()) << "# none left\n"; },
       "www.bank.example", true, nullptr},
      {"switch off again",
       [&] { ASSERT_TRUE(https::SetInspectHttps(false, &error)) << error; }, "site.test",
       false, nullptr},
  };
  for (const Step& s : steps) {
    s.change();
    EXPECT_TRUE(Eventually([&] {
      return interceptor.ShouldInspect(s.host) == s.inspected &&
             (!s.logged || Logged(s.logged));
    })) << s.name;
    // Once taken into account, the answer stays.
    EXPECT_EQ(interceptor.ShouldInspect(s.host), s.inspected) << s.name;
  }
  // The missing CA was told once, not at every question.
  int missing = 0;
  for (const std::string& line : log_)
    missing += line.find("local CA cannot be loaded") != std::string::npos;
  EXPECT_EQ(missing, 1);
}

TEST_F(InterceptorTest, ReadsTheSwitchAgainOnlyAfterTheRefreshInterval) {
  std::string error;
  ASSERT_TRUE(https::CreateLocalCa(30, &error)) << error;
  ASSERT_TRUE(https::SetInspectHttps(true, &error)) << error;
  Interceptor::Sources sources = Interceptor::UserSources();
  sources.refresh = std::chrono::milliseconds(1000);
  Interceptor interceptor(sources, nullptr);
  EXPECT_TRUE(interceptor.ShouldInspect("site.test"));
  ASSERT_TRUE(https::SetInspectHttps(false, &error)) << error;
  // Within the interval the switch is not read again...
  EXPECT_TRUE(interceptor.ShouldInspect("site.test"));
  // ...after it, it is.
  EXPECT_TRUE(Eventually([&] { return !interceptor.ShouldInspect("site.test"); }));
}

TEST_F(InterceptorTest, ProxyWithTheLocalCaSpeaksHttp11ToEveryClient) {
  std::string error;
  ASSERT_TRUE(https::CreateLocalCa(30, &error)) << error;
  ASSERT_TRUE(https::SetInspectHttps(true, &error)) << error;
  Interceptor interceptor(FastSources(), nullptr);
  proxy::testing::RunningProxy proxy;
  proxy::ProxyServerOptions options;
  options.tls_interception = &interceptor;
  ASSERT_TRUE(proxy.Start(options));
  proxy.proxy.set_respond([](const proxy::ProxyRequest& r, proxy::ResponseWriter& out) {
    proxy::testing::RespondText(out, "answer for " + r.url);
  });
  std::string ca_file = platform::ToNarrow(https::LocalCaCertificatePath());

  struct Case {
    const char* name;
    std::string host;
    std::vector<std::string> alpn;  // offered by the client
  } cases[] = {
      {"h2 only offered", "site.test", {"h2"}},
      {"h2 and http/1.1 offered", "site.test", {"h2", "http/1.1"}},
      {"nothing offered", "other.test", {}},
      {"IP literal", "127.0.0.1", {"http/1.1"}},
  };
  for (const Case& c : cases) {
    TlsClient client;
    ASSERT_EQ(client.Connect(proxy.port(), c.host + ":443"), 200) << c.name;
    ASSERT_TRUE(client.Handshake(c.host, ca_file, c.alpn, &error))
        << c.name << ": " << error;
    EXPECT_NE(client.Alpn(), "h2") << c.name;
    ASSERT_TRUE(client.Write("GET /p HTTP/1.1\r\nHost: " + c.host +
                             "\r\nConnection: close\r\n\r\n"));
    bool closed = false;
    std::string answer = client.ReadAll(10000, &closed);
    EXPECT_NE(answer.find("answer for https://" + c.host + "/p"), std::string::npos)
        << c.name << ": " << answer;
  }
}

TEST_F(InterceptorTest, ConcurrentQuestionsWhileTheListChanges) {
  std::string error;
  ASSERT_TRUE(https::CreateLocalCa(30, &error)) << error;
  ASSERT_TRUE(https::SetInspectHttps(true, &error)) << error;
  std::ofstream(PassthroughFile()) << "www.bank.example\n";
  Interceptor interceptor(FastSources(), nullptr);
  ASSERT_FALSE(interceptor.ShouldInspect("www.bank.example"));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        // The bank is listed in every version of the file.
        if (interceptor.ShouldInspect("www.bank.example")) ++wrong;
        std::string host = "h" + std::to_string((t + i) % 5) + ".test";
        if (interceptor.ShouldInspect(host)) {
          std::string e;
          if (!interceptor.ContextFor(host, &e)) ++wrong;
        }
      }
    });
  }
  // Each version replaces the file whole, as an editor saving it does.
  std::filesystem::path next = PassthroughFile().string() + ".new";
  for (int i = 0; i < 20; ++i) {
    std::ofstream(next) << "www.bank.example\n"
                        << std::string(static_cast<size_t>(i), '#') << "\n";
    std::filesystem::rename(next, PassthroughFile());
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

// True when the certificate `context` presents was signed by the CA in the
// user's folder now.
bool SignedByTheCurrentCa(const std::shared_ptr<SSL_CTX>& context) {
  std::string error;
  std::unique_ptr<https::LocalCa> ca = https::LocalCa::Load(&error);
  if (!ca || !context) return false;
  X509* leaf = SSL_CTX_get0_certificate(context.get());
  return leaf && X509_verify(leaf, X509_get0_pubkey(ca->Certificate())) == 1;
}

TEST_F(InterceptorTest, ARemovedOrReplacedCaIsLetGoAtTheNextConnection) {
  std::string error;
  ASSERT_TRUE(https::CreateLocalCa(30, &error)) << error;
  ASSERT_TRUE(https::SetInspectHttps(true, &error)) << error;
  Interceptor interceptor(FastSources(), [this](const std::string& l) { Log(l); });
  ASSERT_TRUE(interceptor.ShouldInspect("site.test"));
  std::shared_ptr<SSL_CTX> first = interceptor.ContextFor("site.test", &error);
  ASSERT_TRUE(SignedByTheCurrentCa(first)) << error;

  // Removed: the next question tunnels, and no context is signed any more.
  ASSERT_TRUE(https::RemoveLocalCa(&error)) << error;
  EXPECT_FALSE(interceptor.ShouldInspect("site.test"));
  EXPECT_TRUE(Logged("the local CA was removed or replaced"));
  EXPECT_EQ(interceptor.ContextFor("site.test", &error), nullptr);
  // A connection that took its context before keeps a usable one.
  EXPECT_NE(SSL_CTX_get0_certificate(first.get()), nullptr);

  // Made again: picked up, and the host's certificate comes from the new CA.
  ASSERT_TRUE(https::CreateLocalCa(30, &error)) << error;
  EXPECT_TRUE(Eventually([&] { return interceptor.ShouldInspect("site.test"); }));
  EXPECT_TRUE(Logged("the local CA is loaded"));
  EXPECT_TRUE(SignedByTheCurrentCa(interceptor.ContextFor("site.test", &error)));

  // Replaced between two connections, never seen missing.
  ASSERT_TRUE(https::RemoveLocalCa(&error)) << error;
  ASSERT_TRUE(https::CreateLocalCa(30, &error)) << error;
  EXPECT_TRUE(Eventually([&] {
    std::string e;
    return interceptor.ShouldInspect("site.test") &&
           SignedByTheCurrentCa(interceptor.ContextFor("site.test", &e));
  }));
}

TEST_F(InterceptorTest, ConcurrentConnectionsWhileTheCaIsReplaced) {
  std::string error;
  ASSERT_TRUE(https::CreateLocalCa(30, &error)) << error;
  ASSERT_TRUE(https::SetInspectHttps(true, &error)) << error;
  Interceptor interceptor(FastSources(), nullptr);
  std::atomic<bool> done{false};
  std::atomic<int> contexts{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; !done.load(); ++i) {
        std::string host = "h" + std::to_string((t + i) % 5) + ".test";
        std::string e;
        // Null while no CA is present; otherwise a context that stays usable.
        if (interceptor.ShouldInspect(host)) {
          std::shared_ptr<SSL_CTX> context = interceptor.ContextFor(host, &e);
          if (context && SSL_CTX_get0_certificate(context.get())) ++contexts;
        }
      }
    });
  }
  // Not fatal: the threads must be joined whatever happens.
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(https::RemoveLocalCa(&error)) << error;
    EXPECT_TRUE(https::CreateLocalCa(30, &error)) << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_TRUE(Eventually([&] {
    std::string e;
    return SignedByTheCurrentCa(interceptor.ContextFor("h1.test", &e));
  }));
  done = true;
  for (std::thread& t : threads) t.join();
  EXPECT_GT(contexts.load(), 0);
}

}  // namespace
}  // namespace cvie::tlstest
