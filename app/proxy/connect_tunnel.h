// app/proxy/connect_tunnel.h
//
// A CONNECT tunnel: connects to the requested host and port, tells the browser
// "200 Connection established", then relays bytes both ways unchanged until
// both sides have finished (a half-close is passed on) or either fails. A host
// that cannot be reached gets the browser a 502 (504 when connecting takes longer
// than the connect timeout). A tunnel silent for the tunnel idle timeout closes.
//
// CONNECTs to hosts the server's TlsInterception inspects never get here: the
// connection terminates their TLS itself (HttpConnection). Internal to
// app/proxy; all work runs on the client socket's strand.

#pragma once

#include <stdint.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "proxy/server_state.h"

namespace cvie::proxy {

class ConnectTunnel : public Session, public std::enable_shared_from_this<ConnectTunnel> {
 public:
  // Takes over `client` (whose CONNECT header was read) and starts connecting.
  // `early_data` is what the client sent after the header; it is forwarded first.
  // `client_slot` (ServerState::AdmitClient) is held until the tunnel closes.
  static void Launch(std::shared_ptr<ServerState> state,
                     boost::asio::ip::tcp::socket client, std::string early_data,
                     std::string host, uint16_t port,
                     std::shared_ptr<void> client_slot = nullptr);

  ConnectTunnel(std::shared_ptr<ServerState> state, boost::asio::ip::tcp::socket client,
                std::string early_data, std::string host, uint16_t port);

  void StopGracefully() override;
  void Abort() override;

 private:
  struct Direction {
    boost::asio::ip::tcp::socket* from;
    boost::asio::ip::tcp::socket* to;
    std::array<char, 16 * 1024> buffer;
    bool done = false;
  };

  void Begin();
  void OnConnected();
  void Refuse(int status, const std::string& message);
  void Relay(Direction* direction);
  void OnDirectionDone(Direction* direction);
  void WatchIdle();
  void Close();

  std::shared_ptr<ServerState> state_;
  std::shared_ptr<void> client_slot_;  // counts this tunnel against its client
  boost::asio::ip::tcp::socket client_;
  boost::asio::ip::tcp::socket upstream_;
  boost::asio::ip::tcp::resolver resolver_;
  boost::asio::steady_timer timer_;
  std::string early_data_;
  std::string host_;
  uint16_t port_;
  std::string reply_;  // the status line sent to the client
  Direction to_upstream_;
  Direction to_client_;
  bool connected_ = false;
  bool timed_out_ = false;
  bool closed_ = false;
  std::chrono::steady_clock::time_point last_activity_;
  uint64_t id_ = 0;
};

}  // namespace cvie::proxy
