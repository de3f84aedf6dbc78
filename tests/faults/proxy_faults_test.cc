// The proxy under origin and client faults: an origin that closes mid-page,
// lies about its length, sends a broken chunk size, or never answers, and a
// client that leaves mid-response. The browser gets a clear status where one
// can still be sent (or a response visibly cut short), the proxy keeps serving
// other requests, and no socket or thread is left behind. Also the server's
// safety defaults: loopback-only listening, bounded header size and count.

#include <dirent.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fault_origin.h"
#include "proxy/direct_fetch_handler.h"
#include "proxy/listen_address.h"
#include "proxy/proxy_server.h"
#include "proxy_test_support.h"
#include "road/browser_window.h"
#include "road/plugin_host.h"
#include "road/road_handler.h"

namespace cvie::faults {
namespace {

using proxy::testing::ParsedResponse;
using proxy::testing::RequestText;
using proxy::testing::ScriptedHandler;
using proxy::testing::TestClient;

int OpenFdCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory stream itself
}

int ThreadCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// Waits (bounded) until `probe` returns at most `limit`; returns its last value.
template <typename Probe>
int SettlesTo(Probe probe, int limit) {
  int value = probe();
  for (int i = 0; i < 200 && value > limit; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    value = probe();
  }
  return value;
}

// What the browser must see for a fault.
enum class Expect {
  kCutShortOrBadGateway,  // a 502/504, or a response that ends before its length
  kGatewayTimeout,        // 504 (or 502): the origin never answered
  kExactBody,             // a whole 200 with `body`
};

struct FaultCase {
  const char* name;
  FaultScript script;
  Expect expect;
  const char* body;
  // Ends only by the handler's idle timeout (a second for the road, a minute
  // for the plain fetcher, so that one skips it).
  bool slow = false;
};

const char kHead200[] = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";

const FaultCase kCases[] = {
    {"closes mid-page",
     {std::string(kHead200) + "Content-Length: 1000\r\n\r\n" + std::string(100, 'x'),
      AfterSend::kClose},
     Expect::kCutShortOrBadGateway,
     ""},
    {"declares less than it sends",
     {std::string(kHead200) + "Content-Length: 5\r\n\r\nhello world, and more",
      AfterSend::kClose},
     Expect::kExactBody,
     "hello"},
    {"declares more than it sends, then stalls",
     {std::string(kHead200) + "Content-Length: 5000\r\n\r\nonly this", AfterSend::kHold},
     Expect::kCutShortOrBadGateway,
     "",
     true},
    {"bad chunk size",
     {std::string(kHead200) +
          "Transfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n",
      AfterSend::kClose},
     Expect::kCutShortOrBadGateway,
     ""},
    {"chunk larger than the data, then close",
     {std::string(kHead200) + "Transfer-Encoding: chunked\r\n\r\n400\r\nshort",
      AfterSend::kClose},
     Expect::kCutShortOrBadGateway,
     ""},
    {"garbage instead of a status line",
     {"\x01\x02 this is not HTTP\r\n\r\n", AfterSend::kClose},
     Expect::kCutShortOrBadGateway,
     ""},
    {"closes before answering",
     {"", AfterSend::kClose},
     Expect::kCutShortOrBadGateway,
     ""},
    {"never answers", {"", AfterSend::kHold}, Expect::kGatewayTimeout, "", true},
};

// The origin path of a case: its name with dashes for blanks.
std::string PathOf(const FaultCase& c) {
  std::string path = std::string("/") + c.name;
  for (char& ch : path) ch = ch == ' ' ? '-' : ch;
  return path;
}

// Which handler sits behind the proxy: the page road, or the plain fetcher.
enum class Road { kRoad, kDirect };

class ProxyFaults : public ::testing::TestWithParam<Road> {
 protected:
  void SetUp() override {
    std::string error;
    if (GetParam() == Road::kRoad) {
      ASSERT_TRUE(host_.Open(false, &error)) << error;
      road::RoadOptions options;
      options.connect_timeout_ms = 2000;
      options.idle_timeout_ms = 1000;  // "never answers" ends within seconds
      handler_ = std::make_unique<road::RoadHandler>(&window_, options);
    } else {
      handler_ = std::make_unique<proxy::DirectFetchHandler>();
    }
    proxy::ProxyServerOptions server_options;
    server_options.address = "127.0.0.1";
    server_options.port = 0;
    server_options.workers = 4;
    server_options.read_timeout = std::chrono::milliseconds(5000);
    server_options.idle_timeout = std::chrono::milliseconds(5000);
    server_options.write_timeout = std::chrono::milliseconds(3000);
    server_options.stop_grace = std::chrono::milliseconds(500);
    server_ =
        std::make_unique<proxy::ProxyServer>(server_options, handler_.get(), &panel_);
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void TearDown() override {
    if (server_) server_->Stop();
    server_.reset();
    if (GetParam() == Road::kRoad) host_.Close();
  }

  std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(origin_.port()) + path;
  }

  // One GET through the proxy on a fresh connection. False when no whole
  // response arrived (the proxy closed it short); `closed` tells whether the
  // proxy then closed the connection.
  bool Fetch(const std::string& path, ParsedResponse* response, bool* closed = nullptr) {
    TestClient client(15000);
    if (!client.Connect(server_->port())) return false;
    client.Send(RequestText("GET", Url(path), {"Host: 127.0.0.1"}));
    bool whole = client.ReadResponse(response);
    std::string rest;
    if (closed) *closed = whole || client.ReadUntilClose(&rest);
    return whole;
  }

  void CheckStillServes(const char* after) {
    ParsedResponse ok;
    ASSERT_TRUE(Fetch("/fine", &ok)) << "after: " << after;
    EXPECT_EQ(ok.status, 200) << "after: " << after;
    EXPECT_EQ(ok.body, "fine") << "after: " << after;
  }

  void CheckFault(const FaultCase& c) {
    ParsedResponse response;
    bool closed = false;
    int accepted = origin_.accepted();
    bool whole = Fetch(PathOf(c), &response, &closed);
    EXPECT_GT(origin_.accepted(), accepted)
        << c.name << ": the origin never saw the request";
    switch (c.expect) {
      case Expect::kExactBody:
        ASSERT_TRUE(whole) << c.name;
        EXPECT_EQ(response.status, 200) << c.name;
        EXPECT_EQ(response.body, c.body) << c.name;
        break;
      case Expect::kCutShortOrBadGateway:
        if (whole) {
          EXPECT_TRUE(response.status == 502 || response.status == 504)
              << c.name << ": status " << response.status << " body " << response.body;
        } else {
          EXPECT_TRUE(closed) << c.name << ": a cut response must close its connection";
        }
        break;
      case Expect::kGatewayTimeout:
        ASSERT_TRUE(whole) << c.name;
        EXPECT_TRUE(response.status == 504 || response.status == 502)
            << c.name << ": status " << response.status;
        break;
    }
  }

  FaultOrigin origin_;
  road::PluginHost host_;
  road::BrowserWindow window_;
  ScriptedHandler<proxy::PanelHandler> panel_;
  std::unique_ptr<proxy::ProxyExchangeHandler> handler_;
  std::unique_ptr<proxy::ProxyServer> server_;
};

TEST_P(ProxyFaults, EachOriginFaultGetsAClearAnswerAndTheProxyKeepsServing) {
  for (const FaultCase& c : kCases) {
    if (c.slow && GetParam() == Road::kDirect) continue;
    origin_.Set(PathOf(c), c.script);
    CheckFault(c);
    CheckStillServes(c.name);
  }
}

TEST_P(ProxyFaults, RepeatedFaultsLeakNoSocketOrThread) {
  for (const FaultCase& c : kCases) origin_.Set(PathOf(c), c.script);
  // One round first, so that lazily opened files and pooled threads exist.
  auto round = [&](bool with_timeout) {
    for (const FaultCase& c : kCases) {
      if (c.slow && !with_timeout) continue;
      ParsedResponse response;
      Fetch(PathOf(c), &response);
    }
  };
  round(GetParam() == Road::kRoad);
  ASSERT_EQ(SettlesTo([&] { return origin_.open_connections(); }, 0), 0);
  int fds = OpenFdCount();
  int threads = ThreadCount();
  ASSERT_GT(fds, 0);

  int requests = 0;
  while (requests < 200) {
    round(false);  // the silent origins cost a second each: kept to the round above
    for (const FaultCase& c : kCases) requests += c.slow ? 0 : 1;
  }
  CheckStillServes("200 faulty requests");
  EXPECT_EQ(SettlesTo([&] { return origin_.open_connections(); }, 0), 0)
      << "the proxy left origin connections open";
  EXPECT_LE(SettlesTo(OpenFdCount, fds), fds) << "file descriptors leaked";
  EXPECT_LE(SettlesTo(ThreadCount, threads), threads) << "threads leaked";
}

TEST_P(ProxyFaults, ClientLeavingMidResponseFreesTheOriginAndKeepsServing) {
  origin_.Set("/big", {std::string(kHead200) + "Content-Length: 8388608\r\n\r\n",
                       AfterSend::kStream});
  int fds = -1;
  for (int i = 0; i < 20; ++i) {
    TestClient client(10000);
    ASSERT_TRUE(client.Connect(server_->port()));
    ASSERT_TRUE(client.Send(RequestText("GET", Url("/big"), {"Host: 127.0.0.1"})));
    std::string first;
    ASSERT_TRUE(client.ReadExactly(64, &first)) << "round " << i;
    EXPECT_EQ(first.rfind("HTTP/1.1 200", 0), 0u) << first;
    client.Close();  // leaves with megabytes still to come
    // The fetch behind it must end: the origin sees its reader go away.
    EXPECT_EQ(SettlesTo([&] { return origin_.open_connections(); }, 0), 0)
        << "round " << i;
    if (i == 0) fds = OpenFdCount();
  }
  CheckStillServes("clients leaving mid-response");
  EXPECT_LE(SettlesTo(OpenFdCount, fds), fds) << "file descriptors leaked";
}

INSTANTIATE_TEST_SUITE_P(Handlers, ProxyFaults,
                         ::testing::Values(Road::kRoad, Road::kDirect),
                         [](const ::testing::TestParamInfo<Road>& info) {
                           return info.param == Road::kRoad ? "Road" : "DirectFetch";
                         });

}  // namespace
}  // namespace cvie::faults
