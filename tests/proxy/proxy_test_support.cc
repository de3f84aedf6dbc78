#include "proxy_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "common/loopback.h"

namespace cvie::proxy::testing {

namespace http = boost::beast::http;

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool WaitReadable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

}  // namespace

TestClient::~TestClient() { Close(); }

bool TestClient::Connect(uint16_t port) {
  Close();
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) return false;
  sockaddr_in addr = Loopback(port);
  return connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

bool TestClient::Send(std::string_view data) {
  while (!data.empty()) {
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, timeout_ms_) != 1) return false;
    ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

long TestClient::ReadMore() {
  if (fd_ < 0 || !WaitReadable(fd_, timeout_ms_)) return -1;
  char buffer[16384];
  ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
  if (n < 0) return -1;
  pending_.append(buffer, static_cast<size_t>(n));
  return n;
}

bool TestClient::ReadResponse(ParsedResponse* out, bool head) {
  http::response_parser<http::string_body> parser;
  parser.eager(true);
  parser.skip(head);
  parser.body_limit(1ull << 30);
  boost::system::error_code ec;
  for (;;) {
    if (!pending_.empty()) {
      size_t used = parser.put(boost::asio::buffer(pending_), ec);
      pending_.erase(0, used);
      if (ec && ec != http::error::need_more) return false;
      if (parser.is_done()) break;
      if (used > 0 && !ec && !pending_.empty()) continue;
    }
    long n = ReadMore();
    if (n < 0) return false;
    if (n == 0) {
      if (!parser.got_some()) return false;  // closed before any answer
      parser.put_eof(ec);
      if (ec) return false;
      break;
    }
  }
  const auto& message = parser.get();
  out->status = static_cast<int>(message.result_int());
  out->reason.assign(message.reason().data(), message.reason().size());
  out->headers.clear();
  for (const auto& field : message) {
    out->headers.push_back(
        {std::string(field.name_string().data(), field.name_string().size()),
         std::string(field.value().data(), field.value().size())});
  }
  out->body = message.body();
  out->chunked = parser.chunked();
  out->keep_alive = message.keep_alive();
  return true;
}

bool TestClient::ReadExactly(size_t n, std::string* out) {
  while (pending_.size() < n) {
    if (ReadMore() <= 0) return false;
  }
  out->assign(pending_, 0, n);
  pending_.erase(0, n);
  return true;
}

bool TestClient::ReadUntilClose(std::string* out) {
  for (;;) {
    long n = ReadMore();
    if (n < 0) return false;
    if (n == 0) break;
  }
  *out = std::move(pending_);
  pending_.clear();
  return true;
}

bool TestClient::ServerClosed() {
  if (!pending_.empty()) return false;
  long n = ReadMore();
  return n == 0;
}

void TestClient::ShutdownSend() {
  if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

void TestClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  pending_.clear();
}

std::string RequestText(const std::string& method, const std::string& target,
                        const std::vector<std::string>& header_lines,
                        const std::string& body, const std::string& version) {
  std::string text = method + " " + target + " " + version + "\r\n";
  for (const std::string& line : header_lines) text += line + "\r\n";
  text += "\r\n";
  text += body;
  return text;
}

void RespondText(ResponseWriter& out, const std::string& body, int status) {
  out.Start(
      status, "",
      {{"Content-Type", "text/plain"}, {"Content-Length", std::to_string(body.size())}});
  out.Write(body);
  out.Finish();
}

bool RunningProxy::Start(ProxyServerOptions options) {
  options.address = "127.0.0.1";
  options.port = 0;
  if (options.workers == 0) options.workers = 4;
  server_ = std::make_unique<ProxyServer>(options, &proxy, &panel);
  std::string error;
  return server_->Start(&error);
}

EchoServer::EchoServer() {
  listen_fd_ = cvie::testing::ListenOnLoopback(&port_);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

EchoServer::~EchoServer() {
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  std::lock_guard<std::mutex> lock(mu_);
  for (std::thread& t : connections_) t.join();
}

void EchoServer::AcceptLoop() {
  while (!stopping_) {
    if (!WaitReadable(listen_fd_, 100)) continue;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    connections_.emplace_back([this, fd] {
      char buffer[8192];
      while (!stopping_) {
        if (!WaitReadable(fd, 100)) continue;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        ssize_t off = 0;
        while (off < n) {
          ssize_t w = send(fd, buffer + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
          if (w <= 0) break;
          off += w;
        }
      }
      shutdown(fd, SHUT_WR);
      close(fd);
    });
  }
}

uint16_t UnusedPort() { return cvie::testing::UnusedLoopbackPort(); }

}  // namespace cvie::proxy::testing
