// Requests that name the proxy itself. A page can make the browser ask the
// proxy for its own address under any spelling; the proxy must see where the
// connection would go (not how the URL spells it) and answer at once, or each
// such request holds a worker while its inner request waits for one. Eight
// at once used to stall every other page for a minute or more.

#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <future>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "fault_origin.h"
#include "proxy_child.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

struct LoopCase {
  const char* host;  // how the URL names the proxy's host
  bool panel;        // recognised as the proxy's own name: the panel answers
};

const LoopCase kLoopCases[] = {
    {"127.1", false},      {"0x7f000001", false},      {"2130706433", false},
    {"0177.0.0.1", false}, {"127.0.0.2", true},        {"localhost", true},
    {"[::1]", true},       {"127.000.000.001", false},
};

TEST(ProxyLoop, RequestsNamingTheProxyAnswerAtOnceAndOtherPagesGoOn) {
  cvie::testing::ScopedCvieRoot root;
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  FaultOrigin origin;
  ProxyChild proxy;
  std::string error;
  ASSERT_TRUE(
      proxy.Start({"--workers", "4"}, (root.path() / "proxy.err").string(), &error))
      << error;
  const std::string port = std::to_string(proxy.port());

  // Eight at once, one per spelling, each looking for a page on the proxy's
  // port; every one must be answered within 3 s.
  std::vector<StreamedResponse> answers(std::size(kLoopCases));
  std::vector<int> answered(std::size(kLoopCases), 0);
  std::vector<std::thread> clients;
  for (size_t i = 0; i < std::size(kLoopCases); ++i) {
    clients.emplace_back([&, i] {
      std::string url = std::string("http://") + kLoopCases[i].host + ":" + port +
                        "/loop?" + std::to_string(i);
      answered[i] = StreamGet(proxy.port(), url, {}, 3000, nullptr, &answers[i]);
    });
  }
  for (std::thread& t : clients) t.join();
  for (size_t i = 0; i < std::size(kLoopCases); ++i) {
    const LoopCase& c = kLoopCases[i];
    ASSERT_TRUE(answered[i]) << c.host << ": no answer within 3 s";
    if (c.panel) {
      EXPECT_NE(answers[i].status, 508) << c.host << "\n" << answers[i].head;
    } else {
      EXPECT_EQ(answers[i].status, 508) << c.host << "\n" << answers[i].head;
    }
  }

  // Another page answers at once afterwards.
  StreamedResponse fine;
  ASSERT_TRUE(StreamGet(proxy.port(),
                        "http://127.0.0.1:" + std::to_string(origin.port()) + "/fine", {},
                        1000, nullptr, &fine))
      << "another page waited";
  EXPECT_EQ(fine.status, 200);
  EXPECT_EQ(proxy.Stop(SIGTERM), 0);
}

// A loop the address check cannot see (through another proxy, a port
// forward, a name the system maps elsewhere) still ends at the first return:
// the forwarded request carries this start's Via token, and a request that
// comes in with it is answered 508 on the I/O thread, while every worker is
// busy. The control panel has workers of its own and answers then too.
TEST(ProxyLoop, ViaTokenIsRefusedAndThePanelAnswersWhileEveryWorkerIsBusy) {
  using proxy::testing::ParsedResponse;
  using proxy::testing::RequestText;
  using proxy::testing::TestClient;
  proxy::testing::RunningProxy server;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> busy{0};
  server.proxy.set_respond([&](const proxy::ProxyRequest&, proxy::ResponseWriter& out) {
    ++busy;
    released.wait();
    proxy::testing::RespondText(out, "slow");
  });
  server.panel.set_respond([](const proxy::ProxyRequest&, proxy::ResponseWriter& out) {
    proxy::testing::RespondText(out, "panel");
  });
  proxy::ProxyServerOptions options;
  options.workers = 2;
  options.loop_token = "cvie-0123456789abcdef";
  ASSERT_TRUE(server.Start(options));

  // Both workers held.
  std::vector<std::unique_ptr<TestClient>> holders;
  for (int i = 0; i < 2; ++i) {
    holders.push_back(std::make_unique<TestClient>());
    ASSERT_TRUE(holders.back()->Connect(server.port()));
    ASSERT_TRUE(holders.back()->Send(RequestText(
        "GET", "http://example.test/held" + std::to_string(i), {"Host: example.test"})));
  }
  for (int i = 0; i < 200 && busy < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(busy.load(), 2);

  struct Case {
    const char* name;
    std::string request;
    int status;
  };
  const Case kCases[] = {
      {"our token among others",
       RequestText("GET", "http://example.test/again",
                   {"Host: example.test", "Via: 1.0 other, 1.1 cvie-0123456789abcdef"}),
       508},
      {"our token in a second Via line",
       RequestText(
           "GET", "http://example.test/again",
           {"Host: example.test", "Via: 1.1 other", "VIA: 1.1 cvie-0123456789abcdef"}),
       508},
      {"the panel", RequestText("GET", "/", {"Host: 127.0.0.1"}), 200},
  };
  for (const Case& c : kCases) {
    TestClient client(2000);
    ASSERT_TRUE(client.Connect(server.port())) << c.name;
    ASSERT_TRUE(client.Send(c.request)) << c.name;
    ParsedResponse r;
    ASSERT_TRUE(client.ReadResponse(&r))
        << c.name << ": no answer while workers are busy";
    EXPECT_EQ(r.status, c.status) << c.name;
  }
  EXPECT_EQ(server.proxy.seen().size(), 2u) << "a looping request reached the handler";
  release.set_value();
  for (auto& h : holders) {
    ParsedResponse r;
    EXPECT_TRUE(h->ReadResponse(&r));
  }
  server.Stop();
}

}  // namespace
}  // namespace cvie::faults
