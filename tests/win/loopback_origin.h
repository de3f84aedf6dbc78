// tests/win/loopback_origin.h
//
// A one-shot HTTP origin on the loopback interface for the Windows tests run
// under Wine: a free port from the system, one answer, then closed.

#pragma once

// winsock2.h before the rest of the SDK, which would bring the old winsock.
#include <winsock2.h>

#include <string>
#include <thread>
#include <utility>

namespace wintest {

// One HTTP/1.0 answer with `body` (of `type`) to the first connection on a
// free loopback port.
class LoopbackOrigin {
 public:
  explicit LoopbackOrigin(std::string body, std::string type = "application/octet-stream")
      : body_(std::move(body)), type_(std::move(type)) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int size = sizeof(address);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    ::listen(listener_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackOrigin() {
    ::closesocket(listener_);
    thread_.join();
    ::WSACleanup();
  }
  std::wstring Url() const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + L"/data.bin";
  }

 private:
  void Serve() {
    SOCKET client = ::accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      int n = ::recv(client, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      request.append(buffer, n);
    }
    std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: " + type_ +
                         "\r\n"
                         "Content-Length: " +
                         std::to_string(body_.size()) + "\r\n\r\n" + body_;
    ::send(client, answer.data(), static_cast<int>(answer.size()), 0);
    ::shutdown(client, SD_SEND);
    ::closesocket(client);
  }

  std::string body_;
  std::string type_;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  std::thread thread_;
};

}  // namespace wintest
