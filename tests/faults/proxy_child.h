// tests/faults/proxy_child.h
//
// `cvie proxy` in a child process, watched from outside as an operator would:
// its open descriptors, threads and resident memory read from /proc, and a
// client that reads a response of any size through it without holding the
// body (it counts the bytes and can check them against a repeated pattern).

#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "fault_origin.h"

namespace cvie::faults {

class ProxyChild : public cvie::testing::ChildProcess {
 public:
  // Runs `cvie proxy --listen 127.0.0.1:0 --no-update-check` plus `extra`
  // under the current CVIE_ROOT, its stderr going to `stderr_path`, and waits
  // (at most 30 s) for the line saying where it listens. False (with the
  // output so far in *error) when it did not start. Stop(sig) ends it.
  bool Start(std::vector<std::string> extra, const std::string& stderr_path,
             std::string* error) {
    extra.insert(extra.begin(), "--no-update-check");
    port_ = cvie::testing::StartCvieProxy(this, extra, error, stderr_path);
    return port_ != 0;
  }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;
};

// What /proc says about process `pid`: open descriptors, threads, resident
// memory in KiB. -1 when it cannot be read.
int ProcessFdCount(pid_t pid);
int ProcessThreadCount(pid_t pid);
long ProcessRssKiB(pid_t pid);

// False in a build with AddressSanitizer or ThreadSanitizer, whose programs
// (the `cvie` of the same build too) hold shadow memory and, with ASan, keep
// freed memory in quarantine: their resident size says nothing about the
// program's own use. ASan's leak check at exit (a non-zero exit status) stands
// in for it; the plain build's run of the same test checks memory.
constexpr bool ResidentMemoryIsMeaningful() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return false;
#else
  return true;
#endif
#else
  return true;
#endif
}

// How many times longer a sanitizer build (the `cvie` of the same build too)
// may take to move bulk data: a 1 GiB page that passes in 3 s in the plain
// build takes over 70 s under AddressSanitizer on a 2-core machine.
constexpr int SlowBuildFactor() { return ResidentMemoryIsMeaningful() ? 1 : 6; }

// Polls `probe` (bounded: about 5 s) until it returns at most `limit`; its
// last value.
template <typename Probe>
long SettlesTo(Probe probe, long limit) {
  long value = probe();
  for (int i = 0; i < 200 && value > limit; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    value = probe();
  }
  return value;
}

struct StreamedResponse {
  int status = 0;
  std::string head;         // status line and headers as received
  uint64_t body_bytes = 0;  // body bytes after removing any chunk framing
  bool complete = false;    // the body ended as its framing says
  bool pattern_ok = true;   // every body byte matched the pattern (when given)
  std::string body_prefix;  // the first bytes of the body (up to 64 KiB)
  double seconds = 0;       // from sending the request to the last byte
};

// GETs `url` through the proxy at 127.0.0.1:`port` on a fresh connection
// (`headers`: extra request header lines) and reads the whole response,
// waiting at most `timeout_ms` for each read. Body bytes are counted, not
// kept; with `pattern` each is checked against it repeated. False when no
// response head arrived.
bool StreamGet(uint16_t port, const std::string& url,
               const std::vector<std::string>& headers, int timeout_ms,
               const std::string* pattern, StreamedResponse* out);
// The same with any method and a request body (sent with its length).
bool StreamRequest(uint16_t port, const std::string& method, const std::string& target,
                   const std::vector<std::string>& headers, const std::string& body,
                   int timeout_ms, const std::string* pattern, StreamedResponse* out);

// A GET that leaves once `leave_after` response bytes (head included) have
// arrived, or after `timeout_ms`. True when the proxy answered at all.
bool GetAndLeave(uint16_t port, const std::string& url, size_t leave_after,
                 int timeout_ms);

// A 4 KiB piece of page text with an ad image that the bundled rules remove
// ("/ads/top.gif"); a long page repeats it.
const std::string& AdPagePiece();

// An origin script that streams `bytes` of AdPagePiece() with
// `content_type`: with a Content-Length, chunked, or ended by
// closing the connection.
enum class Framing { kLength, kChunked, kClose };
FaultScript StreamScript(const std::string& content_type, uint64_t bytes,
                         Framing framing);

}  // namespace cvie::faults
