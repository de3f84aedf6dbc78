// What an origin's response head may make the proxy pass on: an answer with
// thousands of header fields is refused like a broken one instead of being
// forwarded whole, and fields the origin's Connection header names belong to
// that connection only, so they never reach the browser.

#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "fault_origin.h"
#include "proxy_child.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

std::string HeadWithFields(int count) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
  for (int i = 0; i < count; ++i) head += "X-H" + std::to_string(i) + ": v\r\n";
  return head + "Content-Length: 2\r\nConnection: close\r\n\r\nok";
}

TEST(ResponseHeaders, CrowdedHeadsAreRefusedAndConnectionNamedFieldsDropped) {
  cvie::testing::ScopedCvieRoot root;
  FaultOrigin origin;
  origin.Set("/some", FaultScript(HeadWithFields(100), AfterSend::kClose));
  origin.Set("/crowded", FaultScript(HeadWithFields(10000), AfterSend::kClose));
  origin.Set("/named", FaultScript("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                   "Connection: X-Secret, close\r\nX-Secret: 1\r\n"
                                   "X-Kept: 2\r\nContent-Length: 2\r\n\r\nok",
                                   AfterSend::kClose));
  ProxyChild proxy;
  std::string error;
  ASSERT_TRUE(proxy.Start({}, (root.path() / "proxy.err").string(), &error)) << error;
  const std::string base = "http://127.0.0.1:" + std::to_string(origin.port());

  struct Case {
    const char* path;
    int status;
  } cases[] = {{"/some", 200}, {"/crowded", 502}, {"/named", 200}};
  for (const Case& c : cases) {
    StreamedResponse r;
    ASSERT_TRUE(StreamGet(proxy.port(), base + c.path, {}, 10000, nullptr, &r)) << c.path;
    EXPECT_EQ(r.status, c.status) << c.path;
    EXPECT_EQ(r.head.find("X-H5000"), std::string::npos) << c.path;
    if (std::string(c.path) == "/some") {
      EXPECT_NE(r.head.find("X-H99: v"), std::string::npos);
    }
    if (std::string(c.path) == "/named") {
      EXPECT_EQ(r.head.find("X-Secret"), std::string::npos) << r.head;
      EXPECT_NE(r.head.find("X-Kept: 2"), std::string::npos) << r.head;
    }
  }
  EXPECT_EQ(proxy.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace cvie::faults
