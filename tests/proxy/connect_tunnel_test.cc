// CONNECT tunnels through the proxy to a local echo server.

#include "proxy/connect_tunnel.h"

#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "proxy_test_support.h"

namespace cvie::proxy {
namespace {

using testing::EchoServer;
using testing::ParsedResponse;
using testing::RequestText;
using testing::RunningProxy;
using testing::TestClient;

constexpr std::string_view kEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xff);
  return out;
}

// A proxy that may open tunnels to `port` (only 443 by default).
ProxyServerOptions AllowingPort(uint16_t port) {
  ProxyServerOptions options;
  options.connect_ports = {443, port};
  return options;
}

TEST(ConnectTunnel, RelaysBytesBothWaysUnchanged) {
  EchoServer echo;
  RunningProxy p;
  ASSERT_TRUE(p.Start(AllowingPort(echo.port())));
  std::string authority = "127.0.0.1:" + std::to_string(echo.port());
  // Bytes sent right behind the CONNECT header (as a TLS client may) are part of
  // the tunnel too.
  std::string early = RandomBytes(3000, 1);
  std::string payload = RandomBytes(2 * 1024 * 1024, 2);
  TestClient client(20000);
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(
      client.Send(RequestText("CONNECT", authority, {"Host: " + authority}) + early));
  std::string established;
  ASSERT_TRUE(client.ReadExactly(kEstablished.size(), &established));
  EXPECT_EQ(established, kEstablished);
  // Send and receive at once: the echo answers while we are still sending.
  bool sent = false;
  std::thread sender([&] {
    sent = client.Send(payload);
    client.ShutdownSend();
  });
  std::string echoed;
  bool read = client.ReadUntilClose(&echoed);
  sender.join();
  ASSERT_TRUE(sent);
  ASSERT_TRUE(read) << "the tunnel must close after both sides finished";
  EXPECT_EQ(echoed.size(), early.size() + payload.size());
  EXPECT_TRUE(echoed == early + payload);
  EXPECT_TRUE(p.proxy.seen().empty());
}

TEST(ConnectTunnel, RefusesBadOrUnreachableTargets) {
  uint16_t unused = testing::UnusedPort();
  EchoServer echo;
  struct Case {
    const char* name;
    std::string target;
    int status;
  } cases[] = {
      {"nothing listens", "127.0.0.1:" + std::to_string(unused), 502},
      {"a port not allowed", "127.0.0.1:" + std::to_string(echo.port()), 403},
      {"a loopback service's port", "localhost:22", 403},
      {"no port", "127.0.0.1", 400},
      {"port zero", "127.0.0.1:0", 400},
      {"a URL instead of an authority", "http://127.0.0.1:1/", 400},
  };
  RunningProxy p;
  ASSERT_TRUE(p.Start(AllowingPort(unused)));
  for (const auto& c : cases) {
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    ASSERT_TRUE(client.Send(RequestText("CONNECT", c.target, {"Host: " + c.target})));
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response)) << c.name;
    EXPECT_EQ(response.status, c.status) << c.name;
    EXPECT_TRUE(client.ServerClosed()) << c.name;
  }
}

TEST(ConnectTunnel, StopClosesOpenTunnels) {
  EchoServer echo;
  RunningProxy p;
  ASSERT_TRUE(p.Start(AllowingPort(echo.port())));
  std::string authority = "127.0.0.1:" + std::to_string(echo.port());
  TestClient client;
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(client.Send(RequestText("CONNECT", authority, {"Host: " + authority})));
  std::string established;
  ASSERT_TRUE(client.ReadExactly(kEstablished.size(), &established));
  ASSERT_TRUE(client.Send("ping"));
  std::string pong;
  ASSERT_TRUE(client.ReadExactly(4, &pong));
  EXPECT_EQ(pong, "ping");
  p.Stop();
  std::string rest;
  EXPECT_TRUE(client.ReadUntilClose(&rest));
  EXPECT_TRUE(rest.empty());
}

TEST(ConnectTunnel, SilentTunnelsCloseAfterTheIdleTimeout) {
  EchoServer echo;
  ProxyServerOptions options = AllowingPort(echo.port());
  options.tunnel_idle_timeout = std::chrono::milliseconds(200);
  RunningProxy p;
  ASSERT_TRUE(p.Start(options));
  std::string authority = "127.0.0.1:" + std::to_string(echo.port());
  TestClient client(10000);
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(client.Send(RequestText("CONNECT", authority, {"Host: " + authority})));
  std::string established;
  ASSERT_TRUE(client.ReadExactly(kEstablished.size(), &established));
  std::string rest;
  EXPECT_TRUE(client.ReadUntilClose(&rest)) << "the idle tunnel should have been closed";
}

}  // namespace
}  // namespace cvie::proxy
