// tests/faults/fault_origin.h
//
// An origin server on 127.0.0.1 (a port the system picks) that misbehaves as a
// test scripts it, per request path: it reads the request header, sends the
// scripted bytes, then closes, holds the connection silent, or streams a large
// body until the reader goes away. Unknown paths get a small complete 200
// ("fine"). One thread per connection (finished ones are joined as new ones
// come); every socket is closed by the time the destructor returns.
//
// A streamed body is made on the fly, never held: `stream_bytes` bytes of
// `stream_piece` repeated (PatternAt tells which byte belongs where), raw or
// in chunks, then the connection closes.

#pragma once

#include <stdint.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace cvie::faults {

enum class AfterSend {
  kClose,   // close the connection right after the bytes
  kHold,    // send nothing more and keep the connection open until the peer leaves
  kStream,  // keep sending body bytes until the peer leaves (or a few megabytes)
};

struct FaultScript {
  FaultScript() = default;
  FaultScript(std::string head_and_body, AfterSend then)
      : bytes(std::move(head_and_body)), after(then) {}

  std::string bytes;  // sent as is after the request header was read
  AfterSend after = AfterSend::kClose;
  // For kStream: how much body to send (0: 8 MiB of 'z'), what it repeats,
  // and whether each piece goes out as a chunk (with the last chunk at the
  // end). Sending stops early when the peer leaves.
  uint64_t stream_bytes = 0;
  std::string stream_piece;
  bool chunked = false;
};

// An HTML page `body` answered whole with its Content-Length, the connection
// closed after it.
FaultScript WholeHtmlPage(const std::string& body);

// True when `data`, found at body offset `offset`, is what a stream of
// `piece` repeated carries there.
bool MatchesPattern(const std::string& piece, uint64_t offset, const char* data,
                    size_t size);

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
  // Body bytes the streams have sent so far, over every connection.
  uint64_t streamed_bytes() const { return streamed_.load(); }

 private:
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void AcceptLoop();
  void Serve(int fd);
  void StreamBody(int fd, const FaultScript& script);

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> open_{0};
  std::atomic<uint64_t> streamed_{0};
  std::mutex mu_;
  std::map<std::string, FaultScript> scripts_;
  std::vector<Connection> connections_;
  std::thread acceptor_;
};

}  // namespace cvie::faults
