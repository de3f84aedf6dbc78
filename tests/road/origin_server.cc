#include "origin_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "common/loopback.h"

namespace cvie::road::testing {
namespace {

bool SendAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return s;
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 404:
      return "Not Found";
    default:
      return "Status";
  }
}

}  // namespace

OriginServer::OriginServer() {
  listen_fd_ = cvie::testing::ListenOnLoopback(&port_);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

OriginServer::~OriginServer() {
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : open_fds_) shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : connections_) t.join();
}

std::string OriginServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void OriginServer::Set(const std::string& path, OriginReply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  replies_[path] = std::move(reply);
}

int OriginServer::Hits(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  return hits_[path];
}

std::map<std::string, std::string> OriginServer::LastHeaders(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  return last_headers_[path];
}

void OriginServer::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    open_fds_.push_back(fd);
    connections_.emplace_back([this, fd] { Serve(fd); });
  }
}

void OriginServer::Serve(int fd) {
  std::string pending;
  char buffer[16384];
  for (;;) {
    size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (stopping_ || poll(&p, 1, 200) < 0) break;
      if (p.revents == 0) continue;
      ssize_t r = recv(fd, buffer, sizeof buffer, 0);
      if (r <= 0) break;
      pending.append(buffer, static_cast<size_t>(r));
    }
    if (end == std::string::npos) break;
    std::string head = pending.substr(0, end);
    pending.erase(0, end + 4);
    std::string method = head.substr(0, head.find(' '));
    size_t target_start = head.find(' ') + 1;
    std::string target =
        head.substr(target_start, head.find(' ', target_start) - target_start);
    std::map<std::string, std::string> headers;
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
      size_t next = head.find("\r\n", pos + 2);
      std::string line = head.substr(
          pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        headers[Lower(line.substr(0, colon))] = value;
      }
      pos = next;
    }
    if (headers.count("content-length")) {
      size_t want = std::stoul(headers["content-length"]);
      while (pending.size() < want) {
        ssize_t r = recv(fd, buffer, sizeof buffer, 0);
        if (r <= 0) break;
        pending.append(buffer, static_cast<size_t>(r));
      }
      pending.erase(0, std::min(want, pending.size()));
    }
    OriginReply reply;
    bool found;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++hits_[target];
      last_headers_[target] = headers;
      auto it = replies_.find(target);
      found = it != replies_.end();
      if (found) reply = it->second;
    }
    if (!found) {
      reply.status = 404;
      reply.headers = {{"Content-Type", "text/plain"}};
      reply.body = "no such page\n";
    }
    std::string out =
        "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
    for (const auto& h : reply.headers) out += h.first + ": " + h.second + "\r\n";
    bool close_after = !reply.send_length || reply.cut_after >= 0;
    bool no_body = method == "HEAD" || reply.status == 304 || reply.status == 204;
    if (reply.send_length && reply.status != 304 && reply.status != 204)
      out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    if (close_after) out += "Connection: close\r\n";
    out += "\r\n";
    if (!SendAll(fd, out.data(), out.size())) break;
    if (!no_body) {
      size_t n = reply.cut_after >= 0
                     ? std::min(reply.body.size(), size_t(reply.cut_after))
                     : reply.body.size();
      if (!SendAll(fd, reply.body.data(), n)) break;
    }
    if (close_after) break;
  }
  shutdown(fd, SHUT_RDWR);
  std::lock_guard<std::mutex> lock(mu_);
  open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
  close(fd);
}

}  // namespace cvie::road::testing
