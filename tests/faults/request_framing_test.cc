// Requests framed to make the proxy misread or hoard them: transfer codings it
// cannot follow (the rest of the stream must never run as another request),
// trailer fields past the header limits, chunk lines and trailers of any
// length, many large uploads at once, and one client opening connection after
// connection. Each is refused with its status and no handler sees it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "proxy/proxy_server.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

using proxy::testing::ParsedResponse;
using proxy::testing::RequestText;
using proxy::testing::RunningProxy;
using proxy::testing::TestClient;

void AnswerOk(RunningProxy* proxy) {
  proxy->proxy.set_respond([](const proxy::ProxyRequest& r, proxy::ResponseWriter& out) {
    proxy::testing::RespondText(out, "ok " + r.url);
  });
}

bool SawPath(RunningProxy& proxy, const std::string& needle) {
  for (const auto& r : proxy.proxy.seen()) {
    if (r.url.find(needle) != std::string::npos) return true;
  }
  return false;
}

struct CodingCase {
  const char* name;
  std::string codings;  // Transfer-Encoding value(s), one header line each
  std::string version;
  int status;
};

TEST(RequestFraming, UnfollowableTransferCodingsAreRefusedAndNothingAfterThemRuns) {
  RunningProxy proxy;
  ASSERT_TRUE(proxy.Start());
  AnswerOk(&proxy);
  const CodingCase cases[] = {
      {"unknown coding", "xchunked", "HTTP/1.1", 400},
      {"chunked then identity", "chunked, identity", "HTTP/1.1", 400},
      {"identity alone", "identity", "HTTP/1.1", 400},
      {"empty value", " ", "HTTP/1.1", 400},
      {"chunked twice in one field", "chunked, chunked", "HTTP/1.1", 400},
      {"chunked in HTTP/1.0", "chunked", "HTTP/1.0", 400},
      {"gzip before chunked", "gzip, chunked", "HTTP/1.1", 501},
      {"upper-case unknown", "XCHUNKED", "HTTP/1.1", 400},
  };
  // What a smuggler puts where the body should be: a whole second request.
  const std::string smuggled =
      "0\r\n\r\n" +
      RequestText("GET", "http://inner.example/smuggled", {"Host: inner.example"});
  for (const CodingCase& c : cases) {
    TestClient client(5000);
    ASSERT_TRUE(client.Connect(proxy.port()));
    ASSERT_TRUE(client.Send(
        RequestText("POST", "http://outer.example/upload",
                    {"Host: outer.example", "Transfer-Encoding: " + c.codings}, "",
                    c.version) +
        smuggled));
    ParsedResponse r;
    ASSERT_TRUE(client.ReadResponse(&r)) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_TRUE(client.ServerClosed()) << c.name << ": the connection must close";
  }
  EXPECT_FALSE(SawPath(proxy, "/smuggled"));
  EXPECT_FALSE(SawPath(proxy, "/upload"));

  // Plain chunked still works, and the next request on the connection too.
  TestClient client(5000);
  ASSERT_TRUE(client.Connect(proxy.port()));
  ASSERT_TRUE(client.Send(
      RequestText("POST", "http://outer.example/ok",
                  {"Host: outer.example", "Transfer-Encoding: chunked"},
                  "3\r\nabc\r\n0\r\n\r\n") +
      RequestText("GET", "http://outer.example/next", {"Host: outer.example"})));
  for (const char* path : {"/ok", "/next"}) {
    ParsedResponse r;
    ASSERT_TRUE(client.ReadResponse(&r)) << path;
    EXPECT_EQ(r.status, 200) << path;
  }
}

// A chunked upload of "abc" with `trailers` after the last chunk.
std::string ChunkedWithTrailers(const std::string& trailers) {
  return RequestText("POST", "http://outer.example/t",
                     {"Host: outer.example", "Transfer-Encoding: chunked"},
                     "3\r\nabc\r\n0\r\n" + trailers + "\r\n");
}

std::string Fields(int count, size_t value_size) {
  std::string out;
  for (int i = 0; i < count; ++i)
    out += "X-T" + std::to_string(i) + ": " + std::string(value_size, 'v') + "\r\n";
  return out;
}

TEST(RequestFraming, TrailersCountAgainstTheHeaderLimitsAndAreNotPassedOn) {
  proxy::ProxyServerOptions options;
  options.max_header_count = 50;
  options.max_header_bytes = 8192;
  RunningProxy proxy;
  ASSERT_TRUE(proxy.Start(options));
  AnswerOk(&proxy);
  struct Case {
    const char* name;
    std::string trailers;
    int status;
  } cases[] = {
      {"a few trailers", "X-Checksum: 1\r\nHost: evil.example\r\n", 200},
      {"too many trailer fields", Fields(60, 1), 431},
      {"trailers past the byte limit", Fields(40, 300), 431},
      {"thousands of tiny trailers", Fields(3000, 0), 413},
      {"one huge trailer", "X-Big: " + std::string(1 << 20, 'b') + "\r\n", 413},
  };
  for (const auto& c : cases) {
    TestClient client(10000);
    ASSERT_TRUE(client.Connect(proxy.port()));
    // The proxy may answer and close before a huge trailer is all sent.
    client.Send(ChunkedWithTrailers(c.trailers));
    ParsedResponse r;
    ASSERT_TRUE(client.ReadResponse(&r)) << c.name;
    // Over the count or byte limit: 431 when the buffer held them all, 413
    // when they did not even fit the read buffer.
    if (c.status == 200) {
      EXPECT_EQ(r.status, 200) << c.name;
    } else {
      EXPECT_TRUE(r.status == 431 || r.status == 413) << c.name << ": " << r.status;
    }
  }
  auto seen = proxy.proxy.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "abc");
  int hosts = 0;
  for (const auto& h : seen[0].headers) {
    EXPECT_NE(h.name, "X-Checksum") << "a trailer was passed on as a header";
    hosts += proxy::EqualsIgnoreCase(h.name, "Host");
    if (proxy::EqualsIgnoreCase(h.name, "Host")) {
      EXPECT_EQ(h.value, "outer.example");
    }
  }
  EXPECT_EQ(hosts, 1);
}

// Sends `head` and then `filler` over and over (up to `limit` bytes) on one
// connection while reading; the status of the response, 0 when none came.
int SendEndlessly(uint16_t port, const std::string& head, char filler, size_t limit,
                  size_t* sent_out) {
  TestClient client(10000);
  if (!client.Connect(port)) return 0;
  std::atomic<bool> stop{false};
  size_t sent = 0;
  std::thread sender([&] {
    if (!client.Send(head)) return;
    std::string piece(64 * 1024, filler);
    while (!stop.load() && sent < limit) {
      if (!client.Send(piece)) return;
      sent += piece.size();
    }
  });
  ParsedResponse r;
  bool got = client.ReadResponse(&r);
  stop.store(true);
  client.ShutdownSend();
  sender.join();
  *sent_out = sent;
  return got ? r.status : 0;
}

TEST(RequestFraming, EndlessChunkLinesAndTrailersAreCutAtTheBufferLimit) {
  RunningProxy proxy;
  ASSERT_TRUE(proxy.Start());
  AnswerOk(&proxy);
  const std::string head =
      RequestText("POST", "http://outer.example/x",
                  {"Host: outer.example", "Transfer-Encoding: chunked"});
  struct Case {
    const char* name;
    std::string start;
    char filler;
  } cases[] = {
      {"chunk extension", head + "5;ext=", 'e'},
      {"chunk size digits", head + "0000", '0'},
      {"trailer value", head + "3\r\nabc\r\n0\r\nX-Trailer: ", 't'},
  };
  const size_t limit = 200u << 20;
  for (const auto& c : cases) {
    size_t sent = 0;
    int status = SendEndlessly(proxy.port(), c.start, c.filler, limit, &sent);
    EXPECT_EQ(status, 413) << c.name;
    // Refused once the buffer is full, long before the whole 200 MiB went.
    EXPECT_LT(sent, 32u << 20) << c.name;
  }
  EXPECT_TRUE(proxy.proxy.seen().empty());
}

TEST(RequestFraming, UploadsBeyondTheInFlightBudgetGet503) {
  proxy::ProxyServerOptions options;
  options.max_body_bytes_in_flight = 1 << 20;
  RunningProxy proxy;
  ASSERT_TRUE(proxy.Start(options));
  // The first upload's handler waits until released, holding its body.
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> waiting{0};
  proxy.proxy.set_respond([&](const proxy::ProxyRequest& r, proxy::ResponseWriter& out) {
    if (r.url.find("/hold") != std::string::npos) {
      ++waiting;
      std::unique_lock<std::mutex> lock(mu);
      cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    }
    proxy::testing::RespondText(out, "ok");
  });
  const std::string body(700 * 1024, 'u');
  auto upload = [&](const std::string& path, bool chunked) {
    std::vector<std::string> headers = {"Host: outer.example"};
    std::string payload = body;
    if (chunked) {
      headers.push_back("Transfer-Encoding: chunked");
      char size[32];
      snprintf(size, sizeof size, "%zx\r\n", body.size());
      payload = size + body + "\r\n0\r\n\r\n";
    } else {
      headers.push_back("Content-Length: " + std::to_string(body.size()));
    }
    return RequestText("POST", "http://outer.example" + path, headers, payload);
  };

  TestClient holder(10000);
  ASSERT_TRUE(holder.Connect(proxy.port()));
  ASSERT_TRUE(holder.Send(upload("/hold", false)));
  for (int i = 0; i < 200 && waiting.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(waiting.load(), 1);

  for (bool chunked : {false, true}) {
    TestClient client(10000);
    ASSERT_TRUE(client.Connect(proxy.port()));
    client.Send(upload("/second", chunked));
    ParsedResponse r;
    ASSERT_TRUE(client.ReadResponse(&r)) << chunked;
    EXPECT_EQ(r.status, 503) << "chunked: " << chunked;
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  ParsedResponse held;
  ASSERT_TRUE(holder.ReadResponse(&held));
  EXPECT_EQ(held.status, 200);
  // The budget is given back once the first upload was handled (its
  // connection learns so a moment after the response went out).
  int status = 0;
  for (int i = 0; i < 100 && status != 200; ++i) {
    TestClient again(10000);
    ASSERT_TRUE(again.Connect(proxy.port()));
    again.Send(upload("/third", true));
    ParsedResponse r;
    ASSERT_TRUE(again.ReadResponse(&r));
    status = r.status;
    if (status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(status, 200);
  EXPECT_FALSE(SawPath(proxy, "/second"));
}

TEST(RequestFraming, OneClientGetsALimitedNumberOfConnections) {
  proxy::ProxyServerOptions options;
  options.max_connections_per_client = 3;
  RunningProxy proxy;
  ASSERT_TRUE(proxy.Start(options));
  AnswerOk(&proxy);
  auto get = [&](TestClient& client) {
    ParsedResponse r;
    if (!client.Send(
            RequestText("GET", "http://outer.example/", {"Host: outer.example"})) ||
        !client.ReadResponse(&r)) {
      return 0;
    }
    return r.status;
  };
  std::vector<std::unique_ptr<TestClient>> open;
  for (int i = 0; i < 3; ++i) {
    open.push_back(std::make_unique<TestClient>(5000));
    ASSERT_TRUE(open.back()->Connect(proxy.port()));
    EXPECT_EQ(get(*open.back()), 200) << i;
  }
  TestClient extra(5000);
  ASSERT_TRUE(extra.Connect(proxy.port()));
  ParsedResponse refused;
  ASSERT_TRUE(extra.ReadResponse(&refused));
  EXPECT_EQ(refused.status, 503);
  EXPECT_TRUE(extra.ServerClosed());
  // A connection that closes frees its place.
  open.front()->Close();
  int status = 0;
  for (int i = 0; i < 100 && status != 200; ++i) {
    TestClient next(5000);
    ASSERT_TRUE(next.Connect(proxy.port()));
    status = get(next);
    if (status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(status, 200);
}

}  // namespace
}  // namespace cvie::faults
