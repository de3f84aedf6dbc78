// tests/faults/fault_origin.h
//
// An origin server on 127.0.0.1 (a port the system picks) that misbehaves as a
// test scripts it, per request path: it reads the request header, sends the
// scripted bytes, then closes, holds the connection silent, or streams a large
// body until the reader goes away. Unknown paths get a small complete 200
// ("fine"). One thread per connection; every socket is closed by the time the
// destructor returns.

#pragma once

#include <stdint.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cvie::faults {

enum class AfterSend {
  kClose,   // close the connection right after the bytes
  kHold,    // send nothing more and keep the connection open until the peer leaves
  kStream,  // keep sending body bytes until the peer leaves (or a few megabytes)
};

struct FaultScript {
  std::string bytes;  // sent as is after the request header was read
  AfterSend after = AfterSend::kClose;
};

class FaultOrigin {
 public:
  FaultOrigin();
  ~FaultOrigin();
  FaultOrigin(const FaultOrigin&) = delete;
  FaultOrigin& operator=(const FaultOrigin&) = delete;

  uint16_t port() const { return port_; }
  void Set(const std::string& path, FaultScript script);
  // Connections accepted so far, and those still open.
  int accepted() const { return accepted_.load(); }
  int open_connections() const { return open_.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> open_{0};
  std::mutex mu_;
  std::map<std::string, FaultScript> scripts_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

}  // namespace cvie::faults
