#include "proxy/listen_address.h"

#include <gtest/gtest.h>

namespace cvie::proxy {
namespace {

TEST(ListenAddress, ParsesAddressesAndPorts) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"127.0.0.1:8118", true, "127.0.0.1", 8118},
      {"localhost:9000", true, "127.0.0.1", 9000},
      {"[::1]:8118", true, "::1", 8118},
      {"0.0.0.0:0", true, "0.0.0.0", 0},
      {"8123", true, "127.0.0.1", 8123},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:", false, "", 0},
      {"127.0.0.1:http", false, "", 0},
      {"example.com:8118", false, "", 0},
      {"::1:8118", false, "", 0},
      {"[::1]8118", false, "", 0},
      {"", false, "", 0},
  };
  for (const auto& c : cases) {
    ListenAddress address;
    std::string error;
    EXPECT_EQ(ParseListenAddress(c.text, &address, &error), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
  }
}

TEST(ListenAddress, TellsLoopbackFromReachableAddresses) {
  struct Case {
    const char* host;
    bool loopback;
  } cases[] = {
      {"127.0.0.1", true},        {"127.3.2.1", true}, {"::1", true},
      {"::ffff:127.0.0.1", true}, {"0.0.0.0", false},  {"::", false},
      {"192.168.1.10", false},    {"10.0.0.1", false}, {"not an address", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsLoopbackAddress(c.host), c.loopback) << c.host;
}

}  // namespace
}  // namespace cvie::proxy
