// The proxy server seen from a browser's side: raw requests on loopback, scripted
// handlers behind.

#include "proxy/proxy_server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "proxy_test_support.h"

namespace cvie::proxy {
namespace {

using testing::ParsedResponse;
using testing::RequestText;
using testing::RespondText;
using testing::RunningProxy;
using testing::TestClient;

std::string Names(const HeaderList& headers) {
  std::string out;
  for (const Header& h : headers) out += (out.empty() ? "" : ",") + h.name;
  return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xff);
  return out;
}

TEST(ProxyServer, ProxyRequestReachesHandlerWithEndToEndHeadersOnly) {
  RunningProxy p;
  p.proxy.set_respond(
      [](const ProxyRequest&, ResponseWriter& out) { RespondText(out, "ok"); });
  ASSERT_TRUE(p.Start());
  TestClient client;
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(client.Send(RequestText(
      "GET", "http://example.test/page?q=1",
      {"Host: example.test", "Accept: text/html", "Connection: keep-alive, X-Private",
       "X-Private: secret", "Proxy-Connection: keep-alive", "Keep-Alive: 300",
       "Proxy-Authorization: Basic dXNlcjpwdw==", "TE: trailers", "Upgrade: h2c",
       "Cookie: a=b", "Cookie: c=d"})));
  ParsedResponse response;
  ASSERT_TRUE(client.ReadResponse(&response));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "ok");

  auto seen = p.proxy.seen();
  ASSERT_EQ(seen.size(), 1u);
  const ProxyRequest& r = seen[0];
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.url, "http://example.test/page?q=1");
  EXPECT_EQ(r.target, "http://example.test/page?q=1");
  EXPECT_EQ(r.path, "/page?q=1");
  EXPECT_EQ(r.version, 11);
  EXPECT_EQ(Names(r.headers), "Host,Accept,Cookie,Cookie");
  EXPECT_EQ(r.headers[3].value, "c=d");
  EXPECT_EQ(r.client_address.rfind("127.0.0.1:", 0), 0u) << r.client_address;
  EXPECT_TRUE(p.panel.seen().empty());
}

TEST(ProxyServer, DirectRequestsGoToThePanel) {
  RunningProxy p;
  p.panel.set_respond(
      [](const ProxyRequest&, ResponseWriter& out) { RespondText(out, "panel"); });
  p.proxy.set_respond(
      [](const ProxyRequest&, ResponseWriter& out) { RespondText(out, "proxy"); });
  ASSERT_TRUE(p.Start());
  std::string own = "127.0.0.1:" + std::to_string(p.port());
  struct Case {
    std::string target;
    std::string host;
    std::string body;
    std::string url;
  } cases[] = {
      {"/", own, "panel", "http://" + own + "/"},
      {"/prefs?tab=General", own, "panel", "http://" + own + "/prefs?tab=General"},
      // The proxy's own address in absolute form is the panel too, never a fetch.
      {"http://" + own + "/menu", own, "panel", "http://" + own + "/menu"},
      {"http://localhost:" + std::to_string(p.port()) + "/", "localhost", "panel",
       "http://localhost:" + std::to_string(p.port()) + "/"},
      {"http://127.0.0.1:1/", "127.0.0.1:1", "proxy", "http://127.0.0.1:1/"},
  };
  for (const auto& c : cases) {
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    ASSERT_TRUE(client.Send(RequestText("GET", c.target, {"Host: " + c.host})));
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response)) << c.target;
    EXPECT_EQ(response.body, c.body) << c.target;
  }
  auto panel = p.panel.seen();
  ASSERT_EQ(panel.size(), 4u);
  for (size_t i = 0; i < panel.size(); ++i) EXPECT_EQ(panel[i].url, cases[i].url) << i;
  EXPECT_EQ(panel[1].path, "/prefs?tab=General");
}

struct BodyCase {
  const char* name;
  std::string version;         // the client's HTTP version
  bool give_length;            // the handler sends a Content-Length
  std::vector<size_t> pieces;  // sizes of the handler's writes
  bool expect_chunked;
  bool expect_close;  // delimited by closing the connection
};

TEST(ProxyServer, ResponseBodiesArriveIntact) {
  const BodyCase cases[] = {
      {"length, one piece", "HTTP/1.1", true, {5000}, false, false},
      {"length, many pieces",
       "HTTP/1.1",
       true,
       {1, 1000, 70000, 3, 200000},
       false,
       false},
      {"length, empty body", "HTTP/1.1", true, {}, false, false},
      {"streamed to HTTP/1.1: chunked",
       "HTTP/1.1",
       false,
       {10, 65536, 1, 300000},
       true,
       false},
      {"streamed empty body: chunked", "HTTP/1.1", false, {}, true, false},
      {"streamed with an empty write", "HTTP/1.1", false, {10, 0, 10}, true, false},
      {"streamed to HTTP/1.0: until close", "HTTP/1.0", false, {7, 40000}, false, true},
      {"length to HTTP/1.0", "HTTP/1.0", true, {1234}, false, true},
  };
  RunningProxy p;
  ASSERT_TRUE(p.Start());
  unsigned seed = 1;
  for (const BodyCase& c : cases) {
    std::string body;
    std::vector<std::string> pieces;
    for (size_t n : c.pieces) {
      pieces.push_back(RandomBytes(n, seed++));
      body += pieces.back();
    }
    // The handler gets its own copy of the pieces: the test thread learns that
    // they were sent only through the socket, which orders nothing in memory.
    size_t total = body.size();
    p.proxy.set_respond([&c, pieces, total](const ProxyRequest&, ResponseWriter& out) {
      HeaderList headers = {{"Content-Type", "application/octet-stream"},
                            {"X-Case", c.name}};
      if (c.give_length) headers.push_back({"Content-Length", std::to_string(total)});
      ASSERT_TRUE(out.Start(200, "", headers));
      for (const std::string& piece : pieces) ASSERT_TRUE(out.Write(piece));
      ASSERT_TRUE(out.Finish());
    });
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/file",
                                        {"Host: example.test"}, "", c.version)));
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response)) << c.name;
    EXPECT_EQ(response.status, 200) << c.name;
    EXPECT_EQ(response.body.size(), body.size()) << c.name;
    EXPECT_TRUE(response.body == body) << c.name;
    EXPECT_EQ(response.chunked, c.expect_chunked) << c.name;
    ASSERT_NE(response.Find("X-Case"), nullptr) << c.name;
    EXPECT_EQ(*response.Find("X-Case"), c.name);
    if (c.give_length) {
      ASSERT_NE(response.Find("Content-Length"), nullptr) << c.name;
      EXPECT_EQ(*response.Find("Content-Length"), std::to_string(body.size())) << c.name;
    }
    if (c.expect_close) {
      EXPECT_TRUE(client.ServerClosed()) << c.name;
    } else {
      EXPECT_TRUE(response.keep_alive) << c.name;
    }
  }
}

TEST(ProxyServer, HopByHopResponseHeadersAreRemoved) {
  RunningProxy p;
  p.proxy.set_respond([](const ProxyRequest&, ResponseWriter& out) {
    out.Start(200, "",
              {{"Connection", "X-Hop"},
               {"X-Hop", "1"},
               {"Keep-Alive", "timeout=1"},
               {"Transfer-Encoding", "chunked"},
               {"Upgrade", "websocket"},
               {"Proxy-Authenticate", "Basic"},
               {"Trailer", "X-T"},
               {"Set-Cookie", "a=1"},
               {"Set-Cookie", "b=2"},
               {"Content-Length", "3"}});
    out.Write("abc");
    out.Finish();
  });
  ASSERT_TRUE(p.Start());
  TestClient client;
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(
      client.Send(RequestText("GET", "http://example.test/", {"Host: example.test"})));
  ParsedResponse response;
  ASSERT_TRUE(client.ReadResponse(&response));
  EXPECT_EQ(Names(response.headers), "Set-Cookie,Set-Cookie,Content-Length");
  EXPECT_EQ(response.body, "abc");
}

TEST(ProxyServer, KeepAliveServesRequestsInTurnOnOneConnection) {
  RunningProxy p;
  p.proxy.set_respond([](const ProxyRequest& r, ResponseWriter& out) {
    RespondText(out, "answer to " + r.path);
  });
  ASSERT_TRUE(p.Start());
  TestClient client;
  ASSERT_TRUE(client.Connect(p.port()));
  // One at a time, then two sent together (pipelined).
  for (const char* path : {"/one", "/two"}) {
    ASSERT_TRUE(client.Send(RequestText("GET", std::string("http://example.test") + path,
                                        {"Host: example.test"})));
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response)) << path;
    EXPECT_EQ(response.body, std::string("answer to ") + path);
  }
  ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/three", {"Host: a"}) +
                          RequestText("GET", "http://example.test/four", {"Host: a"})));
  for (const char* path : {"/three", "/four"}) {
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response)) << path;
    EXPECT_EQ(response.body, std::string("answer to ") + path);
  }
  EXPECT_EQ(p.proxy.seen().size(), 4u);
  // "Connection: close" ends the connection after the answer.
  ASSERT_TRUE(client.Send(
      RequestText("GET", "http://example.test/last", {"Host: a", "Connection: close"})));
  ParsedResponse last;
  ASSERT_TRUE(client.ReadResponse(&last));
  EXPECT_EQ(last.body, "answer to /last");
  EXPECT_FALSE(last.keep_alive);
  EXPECT_TRUE(client.ServerClosed());
}

TEST(ProxyServer, HeadAndBodilessStatusesCarryNoBody) {
  struct Case {
    const char* method;
    int status;
  } cases[] = {{"HEAD", 200}, {"HEAD", 404}, {"GET", 204}, {"GET", 304}};
  RunningProxy p;
  ASSERT_TRUE(p.Start());
  for (const auto& c : cases) {
    p.proxy.set_respond([&](const ProxyRequest& r, ResponseWriter& out) {
      if (r.path == "/next") return RespondText(out, "next");
      std::string body = "a body that must not be sent";
      out.Start(c.status, "", {{"Content-Length", std::to_string(body.size())}});
      out.Write(body);
      out.Finish();
    });
    std::string label = std::string(c.method) + " " + std::to_string(c.status);
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    // The next request on the same connection would be misread if any body
    // bytes had been sent.
    ASSERT_TRUE(client.Send(RequestText(c.method, "http://example.test/x", {"Host: a"}) +
                            RequestText("GET", "http://example.test/next", {"Host: a"})));
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response, /*head=*/true)) << label;
    EXPECT_EQ(response.status, c.status) << label;
    EXPECT_EQ(response.Find("Transfer-Encoding"), nullptr) << label;
    ParsedResponse next;
    ASSERT_TRUE(client.ReadResponse(&next)) << label;
    EXPECT_EQ(next.status, 200) << label;
    EXPECT_EQ(next.body, "next") << label;
  }
}

TEST(ProxyServer, BadRequestsGetAnErrorAndNoHandler) {
  struct Case {
    const char* name;
    std::string request;
    int status;
  };
  std::string big_header = "X-Big: " + std::string(70 * 1024, 'a');
  std::vector<std::string> many;
  for (int i = 0; i < 201; ++i) many.push_back("X-H" + std::to_string(i) + ": v");
  const Case cases[] = {
      {"garbage", "this is not http\r\n\r\n", 400},
      {"bad request line", "GET\r\n\r\n", 400},
      {"unknown minor version", "GET http://a/ HTTP/1.2\r\nHost: a\r\n\r\n", 400},
      {"not HTTP/1", "GET http://a/ HTTP/2.0\r\nHost: a\r\n\r\n", 400},
      {"file scheme", RequestText("GET", "file:///etc/passwd", {"Host: a"}), 400},
      {"ftp scheme", RequestText("GET", "ftp://example.test/", {"Host: a"}), 400},
      // Answered without waiting for a body that never comes.
      {"bad target with a body announced",
       RequestText("POST", "ftp://example.test/", {"Host: a", "Content-Length: 500000"}),
       400},
      {"asterisk target", RequestText("OPTIONS", "*", {"Host: a"}), 400},
      {"origin form without Host", RequestText("GET", "/", {}), 400},
      {"length and chunked together",
       RequestText("POST", "http://a/",
                   {"Host: a", "Content-Length: 3", "Transfer-Encoding: chunked"},
                   "0\r\n\r\n"),
       400},
      {"bad Content-Length",
       RequestText("POST", "http://a/", {"Host: a", "Content-Length: x"}), 400},
      {"header too large", RequestText("GET", "http://a/", {"Host: a", big_header}), 431},
      {"too many headers", RequestText("GET", "http://a/", many), 431},
      {"body too large",
       RequestText("POST", "http://a/", {"Host: a", "Content-Length: 2000000"}), 413},
  };
  ProxyServerOptions options;
  options.max_body_bytes = 1000000;
  RunningProxy p;
  ASSERT_TRUE(p.Start(options));
  for (const Case& c : cases) {
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    ASSERT_TRUE(client.Send(c.request)) << c.name;
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response)) << c.name;
    EXPECT_EQ(response.status, c.status) << c.name;
    EXPECT_FALSE(response.keep_alive) << c.name;
    EXPECT_TRUE(client.ServerClosed()) << c.name;
  }
  EXPECT_TRUE(p.proxy.seen().empty());
  EXPECT_TRUE(p.panel.seen().empty());
  // The server still serves well-formed requests afterwards.
  p.proxy.set_respond(
      [](const ProxyRequest&, ResponseWriter& out) { RespondText(out, "fine"); });
  TestClient client;
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(client.Send(RequestText("GET", "http://a/", {"Host: a"})));
  ParsedResponse response;
  ASSERT_TRUE(client.ReadResponse(&response));
  EXPECT_EQ(response.body, "fine");
}

TEST(ProxyServer, RequestBodiesReachTheHandler) {
  std::string body = RandomBytes(300000, 7);
  std::string chunked;
  for (size_t at = 0; at < body.size(); at += 70000) {
    std::string part = body.substr(at, 70000);
    char size[16];
    snprintf(size, sizeof size, "%zx", part.size());
    chunked += std::string(size) + "\r\n" + part + "\r\n";
  }
  chunked += "0\r\n\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> headers;
    std::string sent;
    bool wait_for_continue;
  } cases[] = {
      {"Content-Length",
       {"Host: a", "Content-Length: " + std::to_string(body.size())},
       body,
       false},
      {"chunked upload", {"Host: a", "Transfer-Encoding: chunked"}, chunked, false},
      {"Expect: 100-continue",
       {"Host: a", "Expect: 100-continue",
        "Content-Length: " + std::to_string(body.size())},
       body,
       true},
  };
  RunningProxy p;
  p.proxy.set_respond([](const ProxyRequest& r, ResponseWriter& out) {
    RespondText(out, std::to_string(r.body.size()));
  });
  ASSERT_TRUE(p.Start());
  for (const auto& c : cases) {
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    std::string head = RequestText("POST", "http://example.test/upload", c.headers);
    if (c.wait_for_continue) {
      ASSERT_TRUE(client.Send(head));
      std::string interim;
      ASSERT_TRUE(client.ReadExactly(25, &interim)) << c.name;
      EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n") << c.name;
      ASSERT_TRUE(client.Send(c.sent));
    } else {
      ASSERT_TRUE(client.Send(head + c.sent));
    }
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response)) << c.name;
    EXPECT_EQ(response.body, std::to_string(body.size())) << c.name;
  }
  auto seen = p.proxy.seen();
  ASSERT_EQ(seen.size(), 3u);
  for (const ProxyRequest& r : seen) {
    EXPECT_TRUE(r.body == body);
    EXPECT_EQ(FindHeader(r.headers, "Transfer-Encoding"), nullptr);
  }
}

TEST(ProxyServer, HandlersThatFailStillGetTheBrowserAnAnswer) {
  struct Case {
    const char* name;
    std::function<void(const ProxyRequest&, ResponseWriter&)> respond;
    int status;              // 0: the connection is cut after the header
    bool connection_reused;  // the next request on the connection is served
  } cases[] = {
      {"handler writes nothing", [](const ProxyRequest&, ResponseWriter&) {}, 502, true},
      {"handler throws before starting",
       [](const ProxyRequest&, ResponseWriter&) { throw std::runtime_error("boom"); },
       502, true},
      {"handler forgets Finish",
       [](const ProxyRequest&, ResponseWriter& out) {
         out.Start(200, "", {{"Content-Length", "2"}});
         out.Write("hi");
       },
       200, true},
      {"handler refuses an informational status",
       [](const ProxyRequest&, ResponseWriter& out) {
         EXPECT_FALSE(out.Start(101, "", {}));
       },
       502, true},
      {"handler throws after a whole body, before Finish",
       [](const ProxyRequest&, ResponseWriter& out) {
         out.Start(200, "", {{"Content-Length", "3"}});
         out.Write("abc");
         throw std::runtime_error("late");
       },
       200, false},
      {"handler throws in the middle of a streamed body",
       [](const ProxyRequest&, ResponseWriter& out) {
         out.Start(200, "", {});
         out.Write("abc");
         throw std::runtime_error("half way");
       },
       0, false},
      {"handler sends less than announced",
       [](const ProxyRequest&, ResponseWriter& out) {
         out.Start(200, "", {{"Content-Length", "10"}});
         out.Write("short");
         EXPECT_FALSE(out.Finish());
       },
       0, false},
      {"handler abandons a streamed body",
       [](const ProxyRequest&, ResponseWriter& out) {
         out.Start(200, "", {});
         out.Write("part");
         out.Abandon();
       },
       0, false},
  };
  RunningProxy p;
  ASSERT_TRUE(p.Start());
  for (const auto& c : cases) {
    p.proxy.set_respond([&](const ProxyRequest& r, ResponseWriter& out) {
      if (r.path == "/next") return RespondText(out, "next");
      c.respond(r, out);
    });
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/", {"Host: a"})));
    ParsedResponse response;
    bool complete = client.ReadResponse(&response);
    if (c.status == 0) {
      EXPECT_FALSE(complete) << c.name << ": a cut body must not look complete";
      continue;
    }
    ASSERT_TRUE(complete) << c.name;
    EXPECT_EQ(response.status, c.status) << c.name;
    ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/next", {"Host: a"})));
    ParsedResponse next;
    bool reused = client.ReadResponse(&next);
    EXPECT_EQ(reused, c.connection_reused) << c.name;
    if (reused) {
      EXPECT_EQ(next.body, "next") << c.name;
    }
  }
}

TEST(ProxyServer, WritesBeyondTheAnnouncedLengthAreDropped) {
  RunningProxy p;
  std::atomic<int> second_write{-1};
  p.proxy.set_respond([&](const ProxyRequest& r, ResponseWriter& out) {
    if (r.path == "/next") return RespondText(out, "next");
    out.Start(200, "", {{"Content-Length", "4"}});
    second_write = out.Write("abcdef") ? 1 : 0;
    out.Finish();
  });
  ASSERT_TRUE(p.Start());
  TestClient client;
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/", {"Host: a"})));
  ParsedResponse response;
  ASSERT_TRUE(client.ReadResponse(&response));
  EXPECT_EQ(response.body, "abcd");
  ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/next", {"Host: a"})));
  ParsedResponse next;
  ASSERT_TRUE(client.ReadResponse(&next));
  EXPECT_EQ(next.body, "next");
  // The connection serves the next request only after the first handler returned.
  EXPECT_EQ(second_write.load(), 0);
}

TEST(ProxyServer, ClientLeavingMidResponseDoesNotStopTheServer) {
  RunningProxy p;
  std::mutex mu;
  std::condition_variable cv;
  bool write_failed = false;
  p.proxy.set_respond([&](const ProxyRequest& r, ResponseWriter& out) {
    if (r.path == "/next") return RespondText(out, "still here");
    out.Start(200, "", {});
    std::string piece(64 * 1024, 'x');
    // Keeps writing until the connection reports the client gone.
    for (int i = 0; i < 100000; ++i) {
      if (!out.Write(piece)) break;
    }
    std::lock_guard<std::mutex> lock(mu);
    write_failed = out.cancelled();
    cv.notify_all();
  });
  ASSERT_TRUE(p.Start());
  {
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/big", {"Host: a"})));
    std::string some;
    ASSERT_TRUE(client.ReadExactly(1000, &some));
  }  // closed with most of the response unread
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(
        cv.wait_for(lock, std::chrono::seconds(20), [&] { return write_failed; }));
  }
  TestClient client;
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/next", {"Host: a"})));
  ParsedResponse response;
  ASSERT_TRUE(client.ReadResponse(&response));
  EXPECT_EQ(response.body, "still here");
}

// A handler waiting on something other than the browser (an origin that does
// not answer) learns through its cancel callback that the browser left, while
// a client that merely keeps its connection open cancels nothing.
TEST(ProxyServer, ClientLeavingBeforeAnyAnswerCallsTheCancelCallback) {
  RunningProxy p;
  std::mutex mu;
  std::condition_variable cv;
  int started = 0;
  int cancelled = 0;
  int finished = 0;
  p.proxy.set_respond([&](const ProxyRequest& r, ResponseWriter& out) {
    out.SetCancelCallback([&] {
      std::lock_guard<std::mutex> lock(mu);
      ++cancelled;
      cv.notify_all();
    });
    {
      std::lock_guard<std::mutex> lock(mu);
      ++started;
      cv.notify_all();
    }
    {
      // Waits for the cancel, or half a second for the request that stays.
      std::unique_lock<std::mutex> lock(mu);
      cv.wait_for(lock, std::chrono::milliseconds(r.path == "/stays" ? 500 : 20000),
                  [&] { return cancelled > 0 && r.path == "/leaves"; });
    }
    if (r.path == "/stays") RespondText(out, "answered");
    std::lock_guard<std::mutex> lock(mu);
    ++finished;
    cv.notify_all();
  });
  ASSERT_TRUE(p.Start());
  {
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    ASSERT_TRUE(
        client.Send(RequestText("GET", "http://example.test/leaves", {"Host: a"})));
    // A client gone before a worker takes its request is never handled at
    // all; this one leaves while its handler runs.
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return started == 1; }));
  }  // closed before any answer
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] {
      return cancelled == 1 && finished == 1;
    })) << "the handler was not told that its browser left";
  }
  TestClient client;
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/stays", {"Host: a"})));
  ParsedResponse response;
  ASSERT_TRUE(client.ReadResponse(&response));
  EXPECT_EQ(response.body, "answered");
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(cancelled, 1) << "a client still waiting was taken for one that left";
}

TEST(ProxyServer, SilentConnectionsCloseAfterTheirTimeout) {
  struct Case {
    const char* name;
    std::string before;   // a complete request answered first, or ""
    std::string partial;  // then this much, and silence
  } cases[] = {
      {"idle keep-alive connection", RequestText("GET", "http://a/", {"Host: a"}), ""},
      {"half a request header", "", "GET http://a/ HTTP/1.1\r\nHost: a\r\nX-"},
      {"half a request body", "",
       RequestText("POST", "http://a/", {"Host: a", "Content-Length: 100"}, "only part")},
      {"nothing at all", "", ""},
  };
  ProxyServerOptions options;
  options.read_timeout = std::chrono::milliseconds(200);
  options.idle_timeout = std::chrono::milliseconds(200);
  RunningProxy p;
  p.proxy.set_respond(
      [](const ProxyRequest&, ResponseWriter& out) { RespondText(out, "ok"); });
  ASSERT_TRUE(p.Start(options));
  for (const auto& c : cases) {
    TestClient client;
    ASSERT_TRUE(client.Connect(p.port()));
    if (!c.before.empty()) {
      ASSERT_TRUE(client.Send(c.before));
      ParsedResponse response;
      ASSERT_TRUE(client.ReadResponse(&response)) << c.name;
    }
    if (!c.partial.empty()) {
      ASSERT_TRUE(client.Send(c.partial));
    }
    EXPECT_TRUE(client.ServerClosed()) << c.name;
  }
  EXPECT_EQ(p.proxy.seen().size(), 1u);
}

TEST(ProxyServer, ConcurrentStalledReaderLosesItsWorkerAfterTheWriteTimeout) {
  ProxyServerOptions options;
  options.workers = 1;
  options.max_workers = 1;  // one worker in all: the stalled reader must free it
  options.write_timeout = std::chrono::milliseconds(300);
  RunningProxy p;
  std::atomic<bool> stalled_write_failed{false};
  p.proxy.set_respond([&](const ProxyRequest& r, ResponseWriter& out) {
    if (r.path != "/huge") return RespondText(out, "served");
    out.Start(200, "", {});
    std::string piece(256 * 1024, 'z');
    // Far more than the socket buffers hold: a client that reads nothing
    // leaves the write waiting until the timeout.
    for (int i = 0; i < 4096; ++i) {
      if (!out.Write(piece)) {
        stalled_write_failed = true;
        return;
      }
    }
  });
  ASSERT_TRUE(p.Start(options));
  TestClient stalled;
  ASSERT_TRUE(stalled.Connect(p.port()));
  ASSERT_TRUE(stalled.Send(RequestText("GET", "http://example.test/huge", {"Host: a"})));
  // The only worker is busy with the stalled response; this request waits for
  // it and is served once the write timeout frees the worker.
  TestClient next(20000);
  ASSERT_TRUE(next.Connect(p.port()));
  ASSERT_TRUE(next.Send(RequestText("GET", "http://example.test/next", {"Host: a"})));
  ParsedResponse response;
  ASSERT_TRUE(next.ReadResponse(&response));
  EXPECT_EQ(response.body, "served");
  EXPECT_TRUE(stalled_write_failed.load());
}

TEST(ProxyServer, ConcurrentIdleAndSlowClientsHoldNoWorker) {
  ProxyServerOptions options;
  options.workers = 2;
  RunningProxy p;
  p.proxy.set_respond([](const ProxyRequest& r, ResponseWriter& out) {
    RespondText(out, "served " + r.path);
  });
  ASSERT_TRUE(p.Start(options));
  // 50 keep-alive connections that were served once and now sit idle, and 50
  // that sent half a request header and stopped.
  std::vector<std::unique_ptr<TestClient>> idle;
  for (int i = 0; i < 50; ++i) {
    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(p.port()));
    ASSERT_TRUE(
        client->Send(RequestText("GET", "http://example.test/first", {"Host: a"})));
    ParsedResponse response;
    ASSERT_TRUE(client->ReadResponse(&response)) << i;
    idle.push_back(std::move(client));
  }
  std::vector<std::unique_ptr<TestClient>> slow;
  for (int i = 0; i < 50; ++i) {
    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(p.port()));
    ASSERT_TRUE(
        client->Send("GET http://example.test/slow HTTP/1.1\r\nHost: a\r\nX-Par"));
    slow.push_back(std::move(client));
  }
  TestClient fresh(5000);
  ASSERT_TRUE(fresh.Connect(p.port()));
  ASSERT_TRUE(fresh.Send(RequestText("GET", "http://example.test/fresh", {"Host: a"})));
  ParsedResponse response;
  ASSERT_TRUE(fresh.ReadResponse(&response));
  EXPECT_EQ(response.body, "served /fresh");
  // An idle connection still works, and a slow one completes its request.
  ASSERT_TRUE(
      idle[17]->Send(RequestText("GET", "http://example.test/again", {"Host: a"})));
  ASSERT_TRUE(idle[17]->ReadResponse(&response));
  EXPECT_EQ(response.body, "served /again");
  ASSERT_TRUE(slow[3]->Send("tial: 1\r\n\r\n"));
  ASSERT_TRUE(slow[3]->ReadResponse(&response));
  EXPECT_EQ(response.body, "served /slow");
}

TEST(ProxyServer, ConcurrentRequestsShareTheBoundedWorkers) {
  constexpr int kWorkers = 3;
  constexpr int kClients = 24;
  ProxyServerOptions options;
  options.workers = kWorkers;
  options.max_workers = kWorkers;  // a pool that may not grow
  RunningProxy p;
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  p.proxy.set_respond([&](const ProxyRequest& r, ResponseWriter& out) {
    int now = ++running;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    --running;
    RespondText(out, r.path);
  });
  ASSERT_TRUE(p.Start(options));
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      TestClient client;
      if (!client.Connect(p.port())) return;
      std::string path = "/c" + std::to_string(i);
      for (int round = 0; round < 3; ++round) {
        if (!client.Send(RequestText("GET", "http://example.test" + path, {"Host: a"})))
          return;
        ParsedResponse response;
        if (!client.ReadResponse(&response) || response.body != path) return;
      }
      ++ok;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(ok.load(), kClients);
  EXPECT_LE(most.load(), kWorkers);
  EXPECT_GE(most.load(), 2) << "requests should overlap";
}

TEST(ProxyServer, StopLetsRequestsInFlightFinish) {
  std::atomic<bool> stop_callback{false};
  std::atomic<bool> in_handler{false};
  ProxyServerOptions options;
  options.on_stop = [&] { stop_callback = true; };
  RunningProxy p;
  p.proxy.set_respond([&](const ProxyRequest&, ResponseWriter& out) {
    in_handler = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RespondText(out, "finished");
  });
  ASSERT_TRUE(p.Start(options));
  uint16_t port = p.port();
  TestClient idle;
  ASSERT_TRUE(idle.Connect(port));
  TestClient busy;
  ASSERT_TRUE(busy.Connect(port));
  ASSERT_TRUE(busy.Send(RequestText("GET", "http://example.test/", {"Host: a"})));
  while (!in_handler) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  p.Stop();
  EXPECT_TRUE(stop_callback.load());
  ParsedResponse response;
  ASSERT_TRUE(busy.ReadResponse(&response));
  EXPECT_EQ(response.body, "finished");
  EXPECT_FALSE(response.keep_alive);
  EXPECT_TRUE(busy.ServerClosed());
  EXPECT_TRUE(idle.ServerClosed());
  TestClient late;
  EXPECT_FALSE(late.Connect(port)) << "nothing listens after Stop";
}

TEST(ProxyServer, StopAbortsRequestsThatOutlastTheGracePeriod) {
  std::atomic<bool> in_handler{false};
  std::atomic<bool> saw_cancel{false};
  ProxyServerOptions options;
  options.stop_grace = std::chrono::milliseconds(100);
  RunningProxy p;
  p.proxy.set_respond([&](const ProxyRequest&, ResponseWriter& out) {
    out.Start(200, "", {});
    in_handler = true;
    // Streams until told to stop: a response that never ends on its own.
    while (out.Write("tick")) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    saw_cancel = out.cancelled();
  });
  ASSERT_TRUE(p.Start(options));
  TestClient client;
  ASSERT_TRUE(client.Connect(p.port()));
  ASSERT_TRUE(client.Send(RequestText("GET", "http://example.test/stream", {"Host: a"})));
  while (!in_handler) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  p.Stop();
  EXPECT_TRUE(saw_cancel.load());
  ParsedResponse response;
  EXPECT_FALSE(client.ReadResponse(&response))
      << "an aborted stream must not look complete";
}

TEST(ProxyServer, StartFailsWhenThePortIsTaken) {
  RunningProxy first;
  ASSERT_TRUE(first.Start());
  ProxyServerOptions options;
  options.address = "127.0.0.1";
  options.port = first.port();
  ProxyServer second(options, nullptr, nullptr);
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(first.port())),
            std::string::npos)
      << error;
}

}  // namespace
}  // namespace cvie::proxy
