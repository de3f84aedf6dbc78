#include "fault_origin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cvie::faults {
namespace {

constexpr int kPollMs = 20;

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

FaultOrigin::FaultOrigin() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(listen_fd_, 128);
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

FaultOrigin::~FaultOrigin() {
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    threads.swap(connections_);
  }
  for (std::thread& t : threads) t.join();
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
    connections_.emplace_back([this, fd] { Serve(fd); });
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
      std::string piece(64 * 1024, 'z');
      for (int i = 0; i < 128 && !stopping_; ++i) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, kPollMs) <= 0) {
          --i;
          continue;
        }
        if (!SendAll(fd, piece)) break;
      }
    }
  }
  close(fd);
  --open_;
}

}  // namespace cvie::faults
