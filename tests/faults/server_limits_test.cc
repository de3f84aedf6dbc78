// The proxy server's safety defaults: it listens on loopback unless told
// otherwise, and a request header that is too large or has too many fields is
// refused with 431 before any handler runs, without stopping the server.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proxy/listen_address.h"
#include "proxy/proxy_server.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

using proxy::testing::ParsedResponse;
using proxy::testing::RequestText;
using proxy::testing::RunningProxy;
using proxy::testing::TestClient;

TEST(ServerLimits, DefaultListenAddressIsLoopbackOnly) {
  proxy::ProxyServerOptions defaults;
  EXPECT_TRUE(proxy::IsLoopbackAddress(defaults.address)) << defaults.address;
  // Started with nothing but a free port, it binds loopback and nothing else.
  proxy::ProxyServerOptions options;
  options.port = 0;
  proxy::ProxyServer server(options, nullptr, nullptr);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  EXPECT_TRUE(proxy::IsLoopbackAddress(server.address())) << server.address();
  TestClient client(5000);
  EXPECT_TRUE(client.Connect(server.port()));
  server.Stop();
}

TEST(ServerLimits, DefaultLimitsAreBounded) {
  proxy::ProxyServerOptions defaults;
  EXPECT_GT(defaults.max_header_bytes, 0u);
  EXPECT_LE(defaults.max_header_bytes, 1024u * 1024u);
  EXPECT_GT(defaults.max_header_count, 0u);
  EXPECT_LE(defaults.max_header_count, 1000u);
  EXPECT_LE(defaults.max_body_bytes, 1024ull * 1024u * 1024u);
  EXPECT_GT(defaults.read_timeout.count(), 0);
  EXPECT_GT(defaults.idle_timeout.count(), 0);
}

struct LimitCase {
  const char* name;
  std::vector<std::string> headers;
  int status;  // 431 refused, 200 served
};

std::vector<std::string> Fields(int count, size_t value_size) {
  std::vector<std::string> fields;
  for (int i = 0; i < count; ++i) {
    fields.push_back("X-Field-" + std::to_string(i) + ": " +
                     std::string(value_size, 'v'));
  }
  return fields;
}

TEST(ServerLimits, OversizedOrCrowdedHeadersGet431AndNoHandler) {
  proxy::ProxyServerOptions options;
  options.max_header_bytes = 4096;
  options.max_header_count = 20;
  RunningProxy proxy;
  ASSERT_TRUE(proxy.Start(options));
  proxy.proxy.set_respond([](const proxy::ProxyRequest&, proxy::ResponseWriter& out) {
    proxy::testing::RespondText(out, "ok");
  });

  const LimitCase cases[] = {
      {"within both limits", Fields(10, 100), 200},
      {"one huge field", Fields(1, 8000), 431},
      {"many small fields over the byte limit", Fields(19, 300), 431},
      {"too many fields", Fields(40, 1), 431},
      {"far too many fields", Fields(5000, 0), 431},
  };
  size_t served = 0;
  for (const LimitCase& c : cases) {
    TestClient client(10000);
    ASSERT_TRUE(client.Connect(proxy.port())) << c.name;
    std::vector<std::string> headers = c.headers;
    headers.push_back("Host: origin.invalid");
    // The server may answer and close before the whole header is sent.
    client.Send(RequestText("GET", "http://origin.invalid/page", headers));
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response)) << c.name;
    EXPECT_EQ(response.status, c.status) << c.name;
    if (c.status == 200) ++served;
    EXPECT_EQ(proxy.proxy.seen().size(), served) << c.name << ": the handler ran";
  }
  // Still serving.
  TestClient client(10000);
  ASSERT_TRUE(client.Connect(proxy.port()));
  ASSERT_TRUE(
      client.Send(RequestText("GET", "http://origin.invalid/again", {"Host: x"})));
  ParsedResponse response;
  ASSERT_TRUE(client.ReadResponse(&response));
  EXPECT_EQ(response.status, 200);
  proxy.Stop();
}

}  // namespace
}  // namespace cvie::faults
