#include "comm/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "common/loopback.h"

namespace cvie::testing {
namespace {

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 404:
      return "Not Found";
    default:
      return "Status";
  }
}

}  // namespace

HttpTestServer::HttpTestServer() = default;

HttpTestServer::~HttpTestServer() { Stop(); }

bool HttpTestServer::Start() {
  uint16_t port = 0;
  listen_fd_ = cvie::testing::ListenOnLoopback(&port, 16);
  if (listen_fd_ < 0) return false;
  port_ = port;
  accept_thread_ = std::thread(&HttpTestServer::AcceptLoop, this);
  return true;
}

void HttpTestServer::Stop() {
  if (stopping_.exchange(true)) return;
  changed_.notify_all();
  if (accept_thread_.joinable()) accept_thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : open_fds_) shutdown(fd, SHUT_RDWR);
    connections.swap(connections_);
  }
  changed_.notify_all();
  for (std::thread& connection : connections) connection.join();
}

std::string HttpTestServer::base_url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void HttpTestServer::SetRoute(const std::string& path, HttpRoute route) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = std::move(route);
}

std::vector<std::string> HttpTestServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool HttpTestServer::WaitForRequests(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return requests_.size() >= count; });
}

bool HttpTestServer::Pause(int fd, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (stopping_.load()) return false;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return true;
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(std::min<long>(left, 20))) > 0) {
      char byte;
      if (recv(fd, &byte, 1, MSG_DONTWAIT) <= 0) return false;  // the client went away
    }
  }
}

void HttpTestServer::AcceptLoop() {
  while (!stopping_.load()) {
    pollfd waiting{listen_fd_, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0) continue;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    open_fds_.push_back(fd);
    connections_.emplace_back(&HttpTestServer::Serve, this, fd);
  }
}

void HttpTestServer::Serve(int fd) {
  std::string request;
  char buffer[2048];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<size_t>(n));
  }
  std::string path;
  size_t first_space = request.find(' ');
  if (first_space != std::string::npos) {
    size_t second_space = request.find(' ', first_space + 1);
    path = request.substr(first_space + 1, second_space - first_space - 1);
  }
  HttpRoute route;
  bool found;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(path);
    auto it = routes_.find(path);
    found = it != routes_.end();
    if (found) route = it->second;
  }
  changed_.notify_all();
  if (!found) {
    route.status = 404;
    route.body = "not found";
  }

  bool complete = false;
  if (Pause(fd, route.delay_ms)) {
    std::string head = "HTTP/1.0 " + std::to_string(route.status) + " " +
                       Reason(route.status) +
                       "\r\nContent-Length: " + std::to_string(route.body.size()) +
                       "\r\nContent-Type: application/octet-stream\r\n\r\n";
    if (SendAll(fd, head.data(), head.size())) {
      if (route.stall) {
        while (Pause(fd, 1000)) {
        }
      } else {
        size_t piece = route.piece_size ? route.piece_size : route.body.size();
        size_t sent = 0;
        const size_t end = std::min(route.cut_after, route.body.size());
        complete = true;
        while (sent < end) {
          size_t n = std::min(piece, end - sent);
          if (!SendAll(fd, route.body.data() + sent, n)) {
            complete = false;
            break;
          }
          sent += n;
          if (sent < end && route.piece_delay_ms > 0 &&
              !Pause(fd, route.piece_delay_ms)) {
            complete = false;
            break;
          }
        }
      }
    }
  }
  if (!complete && !stopping_.load()) ++aborted_by_client_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
  }
  shutdown(fd, SHUT_WR);
  close(fd);
}

}  // namespace cvie::testing
