// tests/urlmon/http_test_server.h
//
// A small HTTP/1.1 server for tests, on plain sockets, listening on
// 127.0.0.1 at a port the system picks. Each connection is served on its own
// thread by the test's handler, which writes the raw response (and may pause
// between pieces). A connection carries one request, or with `keep_alive`
// as many as the client sends (responses must then carry their length). The
// server records every request it read and counts connections.

#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cvie::testing {

struct ServerRequest {
  std::string method;
  std::string target;  // "/path?query"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // First value of a header (case-insensitive name); "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

// The handler's side of one connection.
class Responder {
 public:
  explicit Responder(int fd) : fd_(fd) {}
  // Sends bytes as they are; false when the peer has gone.
  bool Send(const std::string& bytes);

 private:
  int fd_;
};

// Builds a complete response with Content-Length and, when `close`,
// "Connection: close".
std::string MakeResponse(int status, const std::string& reason,
                         const std::vector<std::pair<std::string, std::string>>& headers,
                         const std::string& body, bool close = true);

// A one-shot signal a handler can wait for (with a timeout, so that a failed
// test cannot hang the server).
class Gate {
 public:
  void Open();
  // True when opened within `timeout`.
  bool WaitOpen(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class HttpTestServer {
 public:
  typedef std::function<void(const ServerRequest&, Responder&)> Handler;

  explicit HttpTestServer(Handler handler, bool keep_alive = false);
  ~HttpTestServer();  // stops accepting and waits for the handlers
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  bool ok() const { return listen_fd_ >= 0; }
  uint16_t port() const { return port_; }
  std::wstring Url(const std::string& path) const;
  std::vector<ServerRequest> Requests() const;
  int Connections() const;

 private:
  void AcceptLoop();
  void Serve(int fd);

  Handler handler_;
  bool keep_alive_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread accept_thread_;
  mutable std::mutex mutex_;
  std::vector<std::thread> connection_threads_;
  std::vector<int> open_fds_;  // connections still being served
  std::vector<ServerRequest> requests_;
  int connections_ = 0;
};

// A port on 127.0.0.1 where nothing listens (asked from the system, then
// closed).
uint16_t UnusedPort();

}  // namespace cvie::testing
