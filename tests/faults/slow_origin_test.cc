// Answers that last long (server-sent events, long polls, a download from a
// slow server) each hold a worker for as long as they stream. Twelve of them
// on a proxy of four workers used to stall every other page; the pool now
// grows while workers are held, and an upstream server that sends nothing
// for the idle timeout is let go.

#include <signal.h>
#include <stdlib.h>

#include <chrono>
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

TEST(SlowOrigin, TwelveLongAnswersDoNotStallAnotherPage) {
  cvie::testing::ScopedCvieRoot root;
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  FaultOrigin origin;
  // A stream that sent its head and a first event, then waits.
  origin.Set("/events", {"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                         "Cache-Control: no-cache\r\n\r\ndata: first\n\n",
                         AfterSend::kHold});
  const std::string base = "http://127.0.0.1:" + std::to_string(origin.port());
  ProxyChild proxy;
  std::string error;
  constexpr int kIdleMs = 3000;
  ASSERT_TRUE(
      proxy.Start({"--workers", "4", "--idle-timeout-ms", std::to_string(kIdleMs)},
                  (root.path() / "proxy.err").string(), &error))
      << error;

  constexpr int kStreams = 12;
  std::vector<StreamedResponse> streams(kStreams);
  std::vector<std::thread> clients;
  for (int i = 0; i < kStreams; ++i) {
    clients.emplace_back([&, i] {
      StreamGet(proxy.port(), base + "/events", {}, 8000, nullptr, &streams[i]);
    });
  }
  // Every stream is being relayed: the origin holds twelve connections.
  for (int i = 0; i < 200 && origin.open_connections() < kStreams; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(origin.open_connections(), kStreams);

  StreamedResponse page;
  ASSERT_TRUE(StreamGet(proxy.port(), base + "/fine", {}, 1000, nullptr, &page))
      << "another page waited for the long answers";
  EXPECT_EQ(page.status, 200);
  EXPECT_LT(page.seconds, 1.0);

  // The origins say nothing more: after the idle timeout the proxy lets each
  // go and ends its response short.
  for (std::thread& t : clients) t.join();
  for (int i = 0; i < kStreams; ++i) {
    EXPECT_EQ(streams[i].status, 200) << i;
    EXPECT_FALSE(streams[i].complete) << i;
    EXPECT_LT(streams[i].seconds, (kIdleMs + 3000) / 1000.0) << i;
  }
  EXPECT_EQ(SettlesTo([&] { return static_cast<long>(origin.open_connections()); }, 0),
            0);
  EXPECT_EQ(proxy.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace cvie::faults
