#include "urlmon/http_test_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "common/loopback.h"

namespace cvie::testing {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// Reads one request (head and Content-Length body); false when the peer
// closes first or sends something unreadable.
bool ReadRequest(int fd, ServerRequest* request) {
  std::string data;
  char buffer[4096];
  size_t head_end;
  while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    data.append(buffer, static_cast<size_t>(n));
  }
  std::string head = data.substr(0, head_end);
  std::string rest = data.substr(head_end + 4);
  size_t line_end = head.find("\r\n");
  std::string request_line = head.substr(0, line_end);
  size_t first = request_line.find(' ');
  size_t second = request_line.find(' ', first + 1);
  if (first == std::string::npos || second == std::string::npos) return false;
  request->method = request_line.substr(0, first);
  request->target = request_line.substr(first + 1, second - first - 1);
  size_t at = line_end == std::string::npos ? head.size() : line_end + 2;
  while (at < head.size()) {
    size_t end = head.find("\r\n", at);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(at, end - at);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      request->headers.emplace_back(Trim(line.substr(0, colon)),
                                    Trim(line.substr(colon + 1)));
    }
    at = end + 2;
  }
  size_t length = 0;
  std::string content_length = request->Header("Content-Length");
  if (!content_length.empty()) length = static_cast<size_t>(std::stoul(content_length));
  while (rest.size() < length) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    rest.append(buffer, static_cast<size_t>(n));
  }
  request->body = rest.substr(0, length);
  return true;
}

}  // namespace

std::string ServerRequest::Header(const std::string& name) const {
  std::string lower = Lower(name);
  for (const auto& h : headers) {
    if (Lower(h.first) == lower) return h.second;
  }
  return "";
}

bool ServerRequest::HasHeader(const std::string& name) const {
  std::string lower = Lower(name);
  for (const auto& h : headers) {
    if (Lower(h.first) == lower) return true;
  }
  return false;
}

bool Responder::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string MakeResponse(int status, const std::string& reason,
                         const std::vector<std::pair<std::string, std::string>>& headers,
                         const std::string& body, bool close) {
  std::string response = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  for (const auto& h : headers) response += h.first + ": " + h.second + "\r\n";
  response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  response += close ? "Connection: close\r\n\r\n" : "\r\n";
  return response + body;
}

void Gate::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  cv_.notify_all();
}

bool Gate::WaitOpen(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return open_; });
}

HttpTestServer::HttpTestServer(Handler handler, bool keep_alive)
    : handler_(std::move(handler)), keep_alive_(keep_alive) {
  uint16_t port = 0;
  int fd = ListenOnLoopback(&port, 16);
  if (fd < 0) return;
  listen_fd_ = fd;
  port_ = port;
  accept_thread_ = std::thread(&HttpTestServer::AcceptLoop, this);
}

HttpTestServer::~HttpTestServer() {
  if (listen_fd_ >= 0) {
    shutdown(listen_fd_, SHUT_RDWR);
    accept_thread_.join();
    close(listen_fd_);
  }
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(connection_threads_);
    // A client may keep an idle connection open: end it.
    for (int fd : open_fds_) shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : threads) t.join();
}

std::wstring HttpTestServer::Url(const std::string& path) const {
  std::string url = "http://127.0.0.1:" + std::to_string(port_) + path;
  return std::wstring(url.begin(), url.end());
}

std::vector<ServerRequest> HttpTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int HttpTestServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void HttpTestServer::AcceptLoop() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // shut down
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    open_fds_.push_back(fd);
    connection_threads_.emplace_back(&HttpTestServer::Serve, this, fd);
  }
}

void HttpTestServer::Serve(int fd) {
  for (;;) {
    ServerRequest request;
    if (!ReadRequest(fd, &request)) break;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    Responder responder(fd);
    handler_(request, responder);
    if (!keep_alive_) break;
  }
  shutdown(fd, SHUT_WR);
  // Let the client read to the end before the socket goes away.
  pollfd p{fd, POLLIN, 0};
  char sink[256];
  while (poll(&p, 1, 2000) > 0 && recv(fd, sink, sizeof sink, 0) > 0) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  open_fds_.erase(std::find(open_fds_.begin(), open_fds_.end(), fd));
  close(fd);
}

uint16_t UnusedPort() { return UnusedLoopbackPort(); }

}  // namespace cvie::testing
