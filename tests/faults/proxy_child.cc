#include "proxy_child.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "common/test_support.h"
#include "fault_origin.h"

namespace cvie::faults {
namespace {

int CountEntries(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return -1;
  int count = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads what is there (waiting at most timeout_ms): bytes read, 0 at the end
// of the stream, -1 on error or timeout.
ssize_t ReadSome(int fd, char* buffer, size_t size, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return -1;
  return recv(fd, buffer, size, 0);
}

std::string LowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// The body reader: takes raw bytes after the head and undoes the framing.
class BodyReader {
 public:
  BodyReader(StreamedResponse* out, const std::string* pattern, bool chunked,
             long long length)
      : out_(out), pattern_(pattern), chunked_(chunked), remaining_(length) {}

  // Feeds received bytes; false once the body is complete (the rest is not
  // part of it) or the framing is broken.
  bool Feed(const char* data, size_t size) {
    if (!chunked_) {
      size_t take = size;
      if (remaining_ >= 0) take = std::min<uint64_t>(size, remaining_);
      Body(data, take);
      if (remaining_ >= 0) {
        remaining_ -= static_cast<long long>(take);
        if (remaining_ == 0) {
          out_->complete = true;
          return false;
        }
      }
      return true;
    }
    pending_.append(data, size);
    size_t at = 0;
    for (;;) {
      if (chunk_left_ > 0) {
        size_t take = std::min<uint64_t>(chunk_left_, pending_.size() - at);
        if (take == 0) break;
        Body(pending_.data() + at, take);
        at += take;
        chunk_left_ -= take;
        if (chunk_left_ == 0) expect_crlf_ = true;
        continue;
      }
      size_t eol = pending_.find("\r\n", at);
      if (eol == std::string::npos) break;
      std::string line = pending_.substr(at, eol - at);
      at = eol + 2;
      if (expect_crlf_) {
        expect_crlf_ = false;
        if (!line.empty()) return Broken();
        continue;
      }
      if (in_trailer_) {
        if (line.empty()) {
          out_->complete = true;
          return false;
        }
        continue;
      }
      char* end = nullptr;
      unsigned long long n = strtoull(line.c_str(), &end, 16);
      if (end == line.c_str()) return Broken();
      if (n == 0) {
        in_trailer_ = true;
      } else {
        chunk_left_ = n;
      }
    }
    pending_.erase(0, at);
    return true;
  }
  // The connection closed: a body delimited by the close is then complete.
  void Closed() {
    if (!chunked_ && remaining_ < 0) out_->complete = true;
  }

 private:
  void Body(const char* data, size_t size) {
    if (pattern_ && !MatchesPattern(*pattern_, out_->body_bytes, data, size))
      out_->pattern_ok = false;
    if (out_->body_prefix.size() < 64 * 1024) {
      out_->body_prefix.append(data,
                               std::min(size, 64 * 1024 - out_->body_prefix.size()));
    }
    out_->body_bytes += size;
  }
  bool Broken() {
    out_->complete = false;
    return false;
  }

  StreamedResponse* out_;
  const std::string* pattern_;
  bool chunked_;
  long long remaining_;  // -1: until the connection closes
  std::string pending_;
  uint64_t chunk_left_ = 0;
  bool expect_crlf_ = false;
  bool in_trailer_ = false;
};

}  // namespace

int ProcessFdCount(pid_t pid) {
  return CountEntries("/proc/" + std::to_string(pid) + "/fd");
}

int ProcessThreadCount(pid_t pid) {
  return CountEntries("/proc/" + std::to_string(pid) + "/task");
}

long ProcessRssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

bool StreamGet(uint16_t port, const std::string& url,
               const std::vector<std::string>& headers, int timeout_ms,
               const std::string* pattern, StreamedResponse* out) {
  return StreamRequest(port, "GET", url, headers, "", timeout_ms, pattern, out);
}

bool StreamRequest(uint16_t port, const std::string& method, const std::string& target,
                   const std::vector<std::string>& headers,
                   const std::string& request_body, int timeout_ms,
                   const std::string* pattern, StreamedResponse* out) {
  *out = StreamedResponse();
  auto start = std::chrono::steady_clock::now();
  int fd = ConnectLoopback(port);
  if (fd < 0) return false;
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (const std::string& h : headers) request += h + "\r\n";
  if (!request_body.empty() || method == "POST")
    request += "Content-Length: " + std::to_string(request_body.size()) + "\r\n";
  request += "\r\n" + request_body;
  if (!SendAll(fd, request)) {
    close(fd);
    return false;
  }
  std::vector<char> buffer(256 * 1024);
  std::string head;
  size_t head_end = std::string::npos;
  while (head_end == std::string::npos) {
    ssize_t n = ReadSome(fd, buffer.data(), buffer.size(), timeout_ms);
    if (n <= 0) {
      close(fd);
      return false;
    }
    head.append(buffer.data(), static_cast<size_t>(n));
    head_end = head.find("\r\n\r\n");
  }
  std::string rest = head.substr(head_end + 4);
  head.resize(head_end + 2);
  out->head = head;
  if (head.size() > 12) out->status = atoi(head.c_str() + 9);
  std::string lower = LowerAscii(head);
  bool chunked = lower.find("\r\ntransfer-encoding: chunked\r\n") != std::string::npos;
  long long length = -1;
  size_t cl = lower.find("\r\ncontent-length:");
  if (cl != std::string::npos) length = atoll(lower.c_str() + cl + 17);
  BodyReader body(out, pattern, chunked, length);
  bool more = length != 0 || chunked;
  if (!more) out->complete = true;
  if (more && !rest.empty()) more = body.Feed(rest.data(), rest.size());
  while (more) {
    ssize_t n = ReadSome(fd, buffer.data(), buffer.size(), timeout_ms);
    if (n == 0) body.Closed();
    if (n <= 0) break;
    more = body.Feed(buffer.data(), static_cast<size_t>(n));
  }
  close(fd);
  out->seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

const std::string& AdPagePiece() {
  static const std::string* piece = [] {
    // Whole tags only, so that every repetition parses the same way.
    std::string text;
    for (int i = 0;; ++i) {
      std::string line = "<p>Story text, paragraph " + std::to_string(i) +
                         ".</p><img src=\"/ads/top.gif\" width=\"468\" height=\"60\">\n";
      if (text.size() + line.size() + 16 > 4096) break;
      text += line;
    }
    text += "<p>" + std::string(4096 - text.size() - 8, '.') + "</p>\n";
    return new std::string(text);
  }();
  return *piece;
}

FaultScript StreamScript(const std::string& content_type, uint64_t bytes,
                         Framing framing) {
  FaultScript script;
  script.bytes = "HTTP/1.1 200 OK\r\nContent-Type: " + content_type + "\r\n";
  switch (framing) {
    case Framing::kLength:
      script.bytes += "Content-Length: " + std::to_string(bytes) + "\r\n";
      break;
    case Framing::kChunked:
      script.bytes += "Transfer-Encoding: chunked\r\n";
      script.chunked = true;
      break;
    case Framing::kClose:
      break;
  }
  script.bytes += "Connection: close\r\n\r\n";
  script.after = AfterSend::kStream;
  script.stream_bytes = bytes;
  script.stream_piece = AdPagePiece();
  return script;
}

bool GetAndLeave(uint16_t port, const std::string& url, size_t leave_after,
                 int timeout_ms) {
  int fd = ConnectLoopback(port);
  if (fd < 0) return false;
  std::string request = "GET " + url + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  bool answered = false;
  if (SendAll(fd, request)) {
    size_t got = 0;
    char buffer[16384];
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got < leave_after && std::chrono::steady_clock::now() < deadline) {
      ssize_t n = ReadSome(fd, buffer, sizeof buffer, 50);
      if (n == 0) break;
      if (n > 0) {
        answered = true;
        got += static_cast<size_t>(n);
      }
    }
  }
  close(fd);
  return answered;
}

}  // namespace cvie::faults
