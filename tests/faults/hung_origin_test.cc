// A request to an origin that never answers must not hold its worker once
// the browser has closed the connection: the connection notices the client
// leaving and the road stops its binding then. Otherwise a few such requests
// (as many as there are workers) would stall every other page until the
// origin's idle timeout (60 s in `cvie proxy`).

#include <signal.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "fault_origin.h"
#include "proxy_child.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

TEST(HungOrigin, AbandonedRequestsToSilentOriginsDoNotStallOtherPages) {
  cvie::testing::ScopedCvieRoot root;
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  FaultOrigin origin;
  origin.Set("/silent", {"", AfterSend::kHold});
  origin.Set("/stalls", {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                         "Content-Length: 5000\r\n\r\n<html><body>only this",
                         AfterSend::kHold});
  const std::string base = "http://127.0.0.1:" + std::to_string(origin.port());
  ProxyChild proxy;
  std::string error;
  ASSERT_TRUE(
      proxy.Start({"--workers", "4"}, (root.path() / "proxy.err").string(), &error))
      << error;
  for (const char* path : {"/silent", "/stalls"}) {
    // Twice as many abandoned requests as there are workers.
    for (int i = 0; i < 8; ++i) GetAndLeave(proxy.port(), base + path, 1, 300);
    StreamedResponse r;
    ASSERT_TRUE(StreamGet(proxy.port(), base + "/fine", {}, 10000, nullptr, &r))
        << path << ": no answer within 10 s after the clients left";
    EXPECT_EQ(r.status, 200) << path;
    EXPECT_EQ(SettlesTo([&] { return static_cast<long>(origin.open_connections()); }, 0),
              0)
        << path << ": fetches for clients that left are still open";
  }
  EXPECT_EQ(proxy.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace cvie::faults
