#include "proxy/connect_tunnel.h"

#include <algorithm>
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "proxy/request_target.h"
#include "proxy/response_framing.h"

namespace cvie::proxy {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;

void ConnectTunnel::Launch(std::shared_ptr<ServerState> state, tcp::socket client,
                           std::string early_data, std::string host, uint16_t port,
                           std::shared_ptr<void> client_slot) {
  auto tunnel = std::make_shared<ConnectTunnel>(
      std::move(state), std::move(client), std::move(early_data), std::move(host), port);
  tunnel->client_slot_ = std::move(client_slot);
  tunnel->Begin();
}

ConnectTunnel::ConnectTunnel(std::shared_ptr<ServerState> state, tcp::socket client,
                             std::string early_data, std::string host, uint16_t port)
    : state_(std::move(state)),
      client_(std::move(client)),
      upstream_(client_.get_executor()),
      resolver_(client_.get_executor()),
      timer_(client_.get_executor()),
      early_data_(std::move(early_data)),
      host_(std::move(host)),
      port_(port) {
  to_upstream_.from = &client_;
  to_upstream_.to = &upstream_;
  to_client_.from = &upstream_;
  to_client_.to = &client_;
}

void ConnectTunnel::Begin() {
  id_ = state_->Register(shared_from_this());
  timer_.expires_after(state_->options.connect_timeout);
  timer_.async_wait([self = shared_from_this()](error_code ec) {
    if (ec || self->connected_ || self->closed_) return;
    self->timed_out_ = true;
    self->resolver_.cancel();
    error_code ignored;
    self->upstream_.close(ignored);
  });
  resolver_.async_resolve(
      host_, std::to_string(port_),
      [self = shared_from_this()](error_code ec, tcp::resolver::results_type results) {
        if (self->closed_) return;
        if (ec) {
          if (self->timed_out_) return self->Refuse(504, "Connecting took too long.\n");
          return self->Refuse(502, "Unknown host " + self->host_ + ".\n");
        }
        net::async_connect(
            self->upstream_, results, [self](error_code ec, const tcp::endpoint&) {
              if (self->closed_) return;
              if (ec) {
                if (self->timed_out_) {
                  return self->Refuse(504, "Connecting took too long.\n");
                }
                return self->Refuse(502, "Could not connect to " +
                                             FormatHostPort(self->host_, self->port_) +
                                             ".\n");
              }
              self->OnConnected();
            });
      });
}

void ConnectTunnel::OnConnected() {
  connected_ = true;
  timer_.cancel();
  error_code ignored;
  upstream_.set_option(tcp::no_delay(true), ignored);
  client_.set_option(tcp::no_delay(true), ignored);
  reply_ = "HTTP/1.1 200 Connection established\r\n\r\n";
  auto self = shared_from_this();
  net::async_write(client_, net::buffer(reply_), [self](error_code ec, size_t) {
    if (ec || self->closed_) return self->Close();
    auto start_relay = [self] {
      self->last_activity_ = std::chrono::steady_clock::now();
      self->Relay(&self->to_upstream_);
      self->Relay(&self->to_client_);
      self->WatchIdle();
    };
    if (self->early_data_.empty()) return start_relay();
    net::async_write(self->upstream_, net::buffer(self->early_data_),
                     [self, start_relay](error_code ec, size_t) {
                       if (ec || self->closed_) return self->Close();
                       self->early_data_.clear();
                       start_relay();
                     });
  });
}

void ConnectTunnel::Refuse(int status, const std::string& message) {
  reply_ = SimpleResponse(status, message, true);
  net::async_write(client_, net::buffer(reply_),
                   [self = shared_from_this()](error_code, size_t) { self->Close(); });
}

void ConnectTunnel::Relay(Direction* direction) {
  if (closed_) return;
  direction->from->async_read_some(
      net::buffer(direction->buffer),
      [self = shared_from_this(), direction](error_code ec, size_t n) {
        if (self->closed_) return;
        if (ec) {
          if (ec == net::error::eof) return self->OnDirectionDone(direction);
          return self->Close();
        }
        self->last_activity_ = std::chrono::steady_clock::now();
        net::async_write(*direction->to, net::buffer(direction->buffer.data(), n),
                         [self, direction](error_code ec, size_t) {
                           if (self->closed_) return;
                           if (ec) return self->Close();
                           self->last_activity_ = std::chrono::steady_clock::now();
                           self->Relay(direction);
                         });
      });
}

void ConnectTunnel::OnDirectionDone(Direction* direction) {
  // Pass the end of one side's data on, and keep relaying the other way.
  direction->done = true;
  error_code ignored;
  direction->to->shutdown(tcp::socket::shutdown_send, ignored);
  if (to_upstream_.done && to_client_.done) Close();
}

void ConnectTunnel::WatchIdle() {
  if (closed_) return;
  auto idle = state_->options.tunnel_idle_timeout;
  auto tick = std::min<std::chrono::steady_clock::duration>(
      idle / 4 + std::chrono::milliseconds(1), std::chrono::seconds(30));
  timer_.expires_after(tick);
  timer_.async_wait([self = shared_from_this(), idle](error_code ec) {
    if (ec || self->closed_) return;
    if (std::chrono::steady_clock::now() - self->last_activity_ >= idle)
      return self->Close();
    self->WatchIdle();
  });
}

void ConnectTunnel::StopGracefully() { Abort(); }

void ConnectTunnel::Abort() {
  net::post(client_.get_executor(), [self = shared_from_this()] { self->Close(); });
}

void ConnectTunnel::Close() {
  if (closed_) return;
  closed_ = true;
  error_code ignored;
  timer_.cancel();
  resolver_.cancel();
  client_.shutdown(tcp::socket::shutdown_both, ignored);
  client_.close(ignored);
  upstream_.shutdown(tcp::socket::shutdown_both, ignored);
  upstream_.close(ignored);
  state_->Unregister(id_);
}

}  // namespace cvie::proxy
