// tests/road/origin_server.h
//
// A small HTTP/1.1 origin server on 127.0.0.1 and a port the system picks, for
// tests of the road and the panel. Each path answers as the test scripted it:
// status, headers, body, optionally cut short after some bytes (the connection
// then closes). Unknown paths get 404. Requests are counted per path. One
// thread per connection; keep-alive is honoured.

#pragma once

#include <stdint.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cvie::road::testing {

struct OriginReply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // When >= 0: only this many body bytes are sent, then the connection closes
  // although the declared length is larger.
  long cut_after = -1;
  // When false, no Content-Length is sent and the body ends with the
  // connection (the answer then says "Connection: close").
  bool send_length = true;
};

class OriginServer {
 public:
  OriginServer();
  ~OriginServer();
  OriginServer(const OriginServer&) = delete;
  OriginServer& operator=(const OriginServer&) = delete;

  uint16_t port() const { return port_; }
  std::string Url(const std::string& path) const;
  void Set(const std::string& path, OriginReply reply);
  int Hits(const std::string& path);
  // The headers of the last request for `path` (lower-case names).
  std::map<std::string, std::string> LastHeaders(const std::string& path);

 private:
  void AcceptLoop();
  void Serve(int fd);

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mu_;
  std::map<std::string, OriginReply> replies_;
  std::map<std::string, int> hits_;
  std::map<std::string, std::map<std::string, std::string>> last_headers_;
  std::vector<std::thread> connections_;
  std::vector<int> open_fds_;
};

}  // namespace cvie::road::testing
