#include "proxy/server_state.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace cvie::proxy {
namespace {

// The per-client connection count and the request-body budget are shared by
// every I/O thread of a server: many threads taking and giving back places at
// once never see more than the limits, and everything comes back at the end.
TEST(ServerState, ConcurrentAdmissionsAndBodyReservationsStayWithinTheLimits) {
  ProxyServerOptions options;
  options.max_connections_per_client = 3;
  options.max_body_bytes_in_flight = 1000;
  ServerState state(options, nullptr, nullptr, nullptr, nullptr);

  const std::string clients[] = {"127.0.0.1", "::1"};
  std::atomic<int> open[2] = {0, 0};
  std::atomic<int> most_open[2] = {0, 0};
  std::atomic<uint64_t> held{0};
  std::atomic<uint64_t> most_held{0};
  std::atomic<int> admitted{0}, refused{0};

  auto raise = [](std::atomic<int>& peak, int value) {
    int seen = peak.load();
    while (value > seen && !peak.compare_exchange_weak(seen, value)) {
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const int which = (t + i) % 2;
        std::shared_ptr<void> place = state.AdmitClient(clients[which]);
        if (place) {
          admitted++;
          raise(most_open[which], ++open[which]);
        } else {
          refused++;
        }
        const uint64_t bytes = 100 + (i % 7) * 50;
        if (state.ReserveBody(bytes)) {
          uint64_t now = held += bytes;
          uint64_t seen = most_held.load();
          while (now > seen && !most_held.compare_exchange_weak(seen, now)) {
          }
          held -= bytes;
          state.ReleaseBody(bytes);
        }
        if (place) {
          --open[which];
          place.reset();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_LE(most_open[0].load(), 3);
  EXPECT_LE(most_open[1].load(), 3);
  EXPECT_LE(most_held.load(), 1000u);
  EXPECT_GT(admitted.load(), 0);
  // With every place given back, each client may open its full share again,
  // and the whole budget can be taken at once.
  for (const std::string& client : clients) {
    std::vector<std::shared_ptr<void>> places;
    for (int i = 0; i < 3; ++i) places.push_back(state.AdmitClient(client));
    for (const auto& place : places) EXPECT_NE(place, nullptr) << client;
    EXPECT_EQ(state.AdmitClient(client), nullptr) << client;
  }
  EXPECT_TRUE(state.ReserveBody(1000));
  EXPECT_FALSE(state.ReserveBody(1));
  state.ReleaseBody(1000);
}

}  // namespace
}  // namespace cvie::proxy
