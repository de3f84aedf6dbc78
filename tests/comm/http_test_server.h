// tests/comm/http_test_server.h
//
// A small HTTP/1.0 server on 127.0.0.1 for the download and update tests. It
// listens on a port the system picks (never a fixed one), answers GET requests
// from a table of routes, and can answer slowly, in paced pieces, or stall, so
// that timeouts and aborts can be tested. Stop (or the destructor) ends every
// connection at once.

#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/loopback.h"  // UnusedLoopbackPort

namespace cvie::testing {

struct HttpRoute {
  int status = 200;
  std::string body;
  int delay_ms = 0;        // before the status line
  size_t piece_size = 0;   // send the body in pieces of this size (0: at once)
  int piece_delay_ms = 0;  // between pieces
  bool stall = false;      // send the headers, then nothing until stopped
  // Close the connection after this many bytes of the body (the headers
  // still announce all of it): a transfer cut short.
  size_t cut_after = static_cast<size_t>(-1);
};

class HttpTestServer {
 public:
  HttpTestServer();
  ~HttpTestServer();

  // False when no socket could be opened (the test then fails).
  bool Start();
  void Stop();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string base_url() const;

  void SetRoute(const std::string& path, HttpRoute route);
  // Paths requested so far, in order.
  std::vector<std::string> requests() const;
  // Connections whose client went away before the whole body was sent.
  int aborted_by_client() const { return aborted_by_client_.load(); }
  // Waits until `count` requests have arrived or `timeout_ms` passed.
  bool WaitForRequests(size_t count, int timeout_ms) const;

 private:
  void AcceptLoop();
  void Serve(int fd);
  // Waits `ms` on connection `fd`; false (early) when the server stops or the
  // client has closed the connection.
  bool Pause(int fd, int ms);

  int listen_fd_ = -1;
  int port_ = 0;
  std::thread accept_thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> aborted_by_client_{0};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, HttpRoute> routes_;
  std::vector<std::string> requests_;
  std::vector<std::thread> connections_;
  std::vector<int> open_fds_;
};

}  // namespace cvie::testing
