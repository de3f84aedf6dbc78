#include "fault_origin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "common/loopback.h"

namespace cvie::faults {
namespace {

constexpr int kPollMs = 20;

bool SendAll(int fd, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Waits until `fd` can take more bytes; false once the peer is gone or the
// origin stops.
bool WaitWritable(int fd, const std::atomic<bool>& stopping) {
  while (!stopping) {
    pollfd p{fd, POLLOUT, 0};
    int n = poll(&p, 1, kPollMs);
    if (n < 0) return false;
    if (n == 0) continue;
    return (p.revents & (POLLERR | POLLHUP)) == 0;
  }
  return false;
}

}  // namespace

FaultScript WholeHtmlPage(const std::string& body) {
  return {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\n\r\n" + body,
          AfterSend::kClose};
}

bool MatchesPattern(const std::string& piece, uint64_t offset, const char* data,
                    size_t size) {
  if (piece.empty()) return size == 0;
  size_t at = static_cast<size_t>(offset % piece.size());
  while (size > 0) {
    size_t n = std::min(size, piece.size() - at);
    if (memcmp(data, piece.data() + at, n) != 0) return false;
    data += n;
    size -= n;
    at = 0;
  }
  return true;
}

FaultOrigin::FaultOrigin() {
  listen_fd_ = cvie::testing::ListenOnLoopback(&port_, 128);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

FaultOrigin::~FaultOrigin() {
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  std::vector<Connection> connections;
  {
    std::lock_guard<std::mutex> lock(mu_);
    connections.swap(connections_);
  }
  for (Connection& c : connections) c.thread.join();
}

void FaultOrigin::Set(const std::string& path, FaultScript script) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_[path] = std::move(script);
}

void FaultOrigin::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    ++open_;
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    connections_.push_back({std::thread([this, fd, done] {
                              Serve(fd);
                              done->store(true);
                            }),
                            done});
  }
}

void FaultOrigin::Serve(int fd) {
  std::string request;
  char buf[4096];
  // One request per connection: read its header, ignore any body.
  while (!stopping_ && request.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    request.append(buf, static_cast<size_t>(n));
  }
  if (request.find("\r\n\r\n") != std::string::npos) {
    size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    FaultScript script{
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
        "Content-Length: 4\r\nConnection: close\r\n\r\nfine",
        AfterSend::kClose};
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = scripts_.find(path);
      if (it != scripts_.end()) script = it->second;
    }
    bool sent = SendAll(fd, script.bytes);
    if (sent && script.after == AfterSend::kHold) {
      // Silent until the proxy gives up on us (or the test ends).
      while (!stopping_) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0) continue;
        if (recv(fd, buf, sizeof buf, 0) <= 0) break;
      }
    } else if (sent && script.after == AfterSend::kStream) {
      StreamBody(fd, script);
    }
  }
  close(fd);
  --open_;
}

void FaultOrigin::StreamBody(int fd, const FaultScript& script) {
  const std::string piece =
      script.stream_piece.empty() ? std::string(64 * 1024, 'z') : script.stream_piece;
  const uint64_t total = script.stream_bytes ? script.stream_bytes : 8u << 20;
  // Whole pieces in one send where possible: about 64 KiB at a time.
  std::string block;
  while (block.size() < 64 * 1024) block += piece;
  block.resize(block.size() - block.size() % piece.size());
  uint64_t sent = 0;
  while (sent < total) {
    if (!WaitWritable(fd, stopping_)) return;
    size_t at = static_cast<size_t>(sent % piece.size());
    size_t n = static_cast<size_t>(std::min<uint64_t>(block.size() - at, total - sent));
    std::string_view bytes(block.data() + at, n);
    if (script.chunked) {
      char size_line[32];
      snprintf(size_line, sizeof size_line, "%zx\r\n", n);
      if (!SendAll(fd, size_line) || !SendAll(fd, bytes) || !SendAll(fd, "\r\n")) {
        return;
      }
    } else if (!SendAll(fd, bytes)) {
      return;
    }
    sent += n;
    streamed_ += n;
  }
  if (script.chunked) SendAll(fd, "0\r\n\r\n");
}

}  // namespace cvie::faults
