// The proxy sends each request upstream once. An HTML answer declaring more
// than the filtering limit is streamed past the filter from the transfer
// already under way; fetching it again would repeat a POST or a PUT (an
// order placed twice), and any request at all is the user's to repeat.

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

constexpr uint64_t kMiB = 1u << 20;

TEST(RequestOnce, OversizedHtmlAnswersAreStreamedWithoutAskingTheOriginAgain) {
  cvie::testing::ScopedCvieRoot root;
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  ProxyChild proxy;
  std::string error;
  ASSERT_TRUE(proxy.Start({"--max-filtered-mib", "1"},
                          (root.path() / "proxy.err").string(), &error))
      << error;
  const char* const kMethods[] = {"POST", "PUT", "GET"};
  for (const char* method : kMethods) {
    // A fresh origin per method: each connection it accepts is one request
    // (it closes after answering).
    FaultOrigin origin;
    origin.Set("/order", StreamScript("text/html", 2 * kMiB, Framing::kLength));
    StreamedResponse r;
    std::string url = "http://127.0.0.1:" + std::to_string(origin.port()) + "/order";
    ASSERT_TRUE(StreamRequest(
        proxy.port(), method, url, {"Content-Type: application/x-www-form-urlencoded"},
        std::string(method) == "GET" ? "" : "item=1&count=1", 10000, &AdPagePiece(), &r))
        << method;
    EXPECT_EQ(r.status, 200) << method << "\n" << r.head;
    EXPECT_TRUE(r.complete) << method;
    EXPECT_EQ(r.body_bytes, 2 * kMiB) << method;
    EXPECT_TRUE(r.pattern_ok) << method << ": the page was changed";
    EXPECT_EQ(origin.accepted(), 1)
        << method << " reached the origin " << origin.accepted() << " times";
  }
  EXPECT_EQ(proxy.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace cvie::faults
