// tests/proxy/proxy_test_support.h
//
// Drives the proxy server the way a browser would, on loopback only: a blocking
// client with time limits that speaks raw bytes and parses responses, scripted
// handlers, a running server on a port the system picked, and a small echo
// server for tunnels.

#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proxy/handlers.h"
#include "proxy/proxy_server.h"

namespace cvie::proxy::testing {

struct ParsedResponse {
  int status = 0;
  std::string reason;
  HeaderList headers;
  std::string body;
  bool chunked = false;     // the response used chunked transfer coding
  bool keep_alive = false;  // the response lets the connection stay open

  const std::string* Find(std::string_view name) const {
    return FindHeader(headers, name);
  }
};

// A blocking TCP client for 127.0.0.1. Every wait is bounded (timeout_ms), so a
// server that hangs fails the test instead of hanging it.
class TestClient {
 public:
  explicit TestClient(int timeout_ms = 10000) : timeout_ms_(timeout_ms) {}
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Connect(uint16_t port);
  bool Send(std::string_view data);
  // Reads one response; `head` for the answer to a HEAD request (no body).
  bool ReadResponse(ParsedResponse* out, bool head = false);
  // Reads exactly `n` raw bytes.
  bool ReadExactly(size_t n, std::string* out);
  // Reads everything until the server closes; false on timeout.
  bool ReadUntilClose(std::string* out);
  // True when the server closed the connection (no more bytes) within the timeout.
  bool ServerClosed();
  // Half-closes the sending side.
  void ShutdownSend();
  void Close();
  int fd() const { return fd_; }

 private:
  // Appends what arrives to pending_; 0 at end of stream, -1 on error or timeout.
  long ReadMore();

  int fd_ = -1;
  int timeout_ms_;
  std::string pending_;  // bytes received, not yet parsed
};

// Builds "METHOD target HTTP/1.1\r\n" + headers + "\r\n" + body.
std::string RequestText(const std::string& method, const std::string& target,
                        const std::vector<std::string>& header_lines,
                        const std::string& body = "",
                        const std::string& version = "HTTP/1.1");

// A handler whose answer each test scripts; it records the requests it saw.
template <typename Interface>
class ScriptedHandler : public Interface {
 public:
  using Respond = std::function<void(const ProxyRequest&, ResponseWriter&)>;
  void Handle(const ProxyRequest& request, ResponseWriter& out) override {
    Respond respond;
    {
      std::lock_guard<std::mutex> lock(mu_);
      seen_.push_back(request);
      respond = respond_;
    }
    if (respond) respond(request, out);
  }
  void set_respond(Respond respond) {
    std::lock_guard<std::mutex> lock(mu_);
    respond_ = std::move(respond);
  }
  std::vector<ProxyRequest> seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

 private:
  std::mutex mu_;
  Respond respond_;
  std::vector<ProxyRequest> seen_;
};

// Answers 200 with `body` and a Content-Length.
void RespondText(ResponseWriter& out, const std::string& body, int status = 200);

// A proxy server on 127.0.0.1 and a port the system chose, with scripted handlers.
class RunningProxy {
 public:
  ScriptedHandler<ProxyExchangeHandler> proxy;
  ScriptedHandler<PanelHandler> panel;

  // Starts with `options` (address and port are overridden); false on failure.
  bool Start(ProxyServerOptions options = {});
  uint16_t port() const { return server_->port(); }
  ProxyServer& server() { return *server_; }
  void Stop() { server_->Stop(); }

 private:
  std::unique_ptr<ProxyServer> server_;
};

// A TCP echo server on 127.0.0.1: every connection gets back what it sends; when
// the client half-closes, the server finishes echoing and closes too.
class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  uint16_t port() const { return port_; }

 private:
  void AcceptLoop();
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> connections_;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
uint16_t UnusedPort();

}  // namespace cvie::proxy::testing
