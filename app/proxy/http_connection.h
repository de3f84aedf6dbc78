// app/proxy/http_connection.h
//
// One browser connection: reads requests asynchronously on its strand, answers
// malformed or oversized ones itself, hands CONNECT to a ConnectTunnel, and runs
// every other request on a worker thread, whose writes come back to the strand.
// Internal to app/proxy; created by ProxyServer for each accepted socket.
//
// A CONNECT to a host the TlsInterception inspects stays on this connection:
// after "200 Connection established" the proxy takes the client's TLS handshake
// with the interception's certificate, and the requests read inside the secure
// session go through the same reading, limits, workers and response framing as
// plain ones, as "https://host[:port]/path" requests that never reach the panel.

#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "proxy/proxy_request.h"
#include "proxy/response_framing.h"
#include "proxy/server_state.h"

namespace cvie::proxy {

class HttpConnection : public Session,
                       public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(std::shared_ptr<ServerState> state, boost::asio::ip::tcp::socket socket);
  ~HttpConnection() override;

  // Registers with the server and starts reading. Called on the socket's strand.
  void Start();

  void StopGracefully() override;
  void Abort() override;

  // For the response writer on a worker thread: writes `buffers` on the strand
  // and blocks until done. False when the client is gone or the connection was
  // aborted. The buffers' memory must stay valid until the call returns.
  bool WriteFromWorker(const std::vector<boost::asio::const_buffer>& buffers);
  // True once the connection was aborted, a write to the client failed, or the
  // client closed its side while a request was being handled.
  bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }
  // The function called once when the connection is cancelled (see
  // ResponseWriter::SetCancelCallback); called at once when it already is.
  void SetCancelCallback(std::function<void()> callback);

 private:
  using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

  void ReadRequest();
  void OnHeader(boost::beast::error_code ec);
  void ReadBody();
  void ReadMoreBody();
  void OnBodyPart(boost::beast::error_code ec);
  // Gives back the body bytes counted against the server's in-flight budget.
  void ReleaseBody();
  // True when the Host of a direct request names this proxy: a loopback name
  // or the address the client connected to, with the listening port. A page
  // on a foreign name that resolves here (DNS rebinding) never gets the panel.
  bool NamesThisProxy(const std::string& host) const;
  // Turns a read error into the response it deserves (or none) and closes.
  void FailRead(boost::beast::error_code ec);
  void StartTunnel();
  // Answers the CONNECT and takes the client's TLS handshake for `host`.
  void StartTls(std::string host, uint16_t port);
  void OnTlsHandshake(boost::beast::error_code ec);
  // Runs `f` with the stream requests are read from and responses written to:
  // the TLS session once there is one, the plain socket before.
  template <typename F>
  void WithStream(F&& f) {
    if (tls_) {
      f(*tls_);
    } else {
      f(stream_);
    }
  }
  void Dispatch();
  // While a worker handles a request, notices a client that closes its side
  // (a browser that left) and cancels the request, so that a handler waiting
  // on a silent origin gives up instead of holding its worker.
  void WatchClient();
  void StopWatchingClient();
  void MarkCancelled();
  void HandleOnWorker(std::shared_ptr<ProxyRequest> request, RequestTraits traits,
                      bool panel);
  void OnResponseDone(bool keep_alive);
  // Writes a complete response made by the server, then closes gracefully.
  void SendAndClose(std::string response);
  // Half-closes, reads and discards what the client still sends for a short
  // while, then closes: the client gets our last response before any reset.
  void LingerThenClose();
  void Drain();
  void CloseNow();

  std::shared_ptr<ServerState> state_;
  std::shared_ptr<void> client_slot_;  // counts this connection against its client
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  // The secure session of an inspected CONNECT (strand only); it reads and
  // writes through stream_, so it is declared after it.
  std::optional<boost::asio::ssl::context> tls_context_;
  std::optional<boost::asio::ssl::stream<boost::beast::tcp_stream&>> tls_;
  std::string tls_host_;   // the CONNECT's host, without brackets
  uint16_t tls_port_ = 0;  // the CONNECT's port
  std::string tls_early_;  // bytes that came with the CONNECT header
  std::string client_address_;
  uint64_t id_ = 0;
  // Strand-only state.
  bool first_request_ = true;
  bool handling_ = false;  // a worker runs a request of this connection
  bool closed_ = false;
  bool close_after_response_ = false;
  HeaderList head_headers_;      // the request's header fields, without trailers
  uint64_t body_counted_ = 0;    // body bytes counted against the in-flight budget
  std::string server_response_;  // a response the server writes itself
  std::vector<char> drain_buffer_;
  size_t drained_ = 0;
  bool watching_client_ = false;  // a WatchClient wait is outstanding
  // Read by worker threads.
  std::atomic<bool> cancelled_{false};
  std::mutex cancel_mutex_;
  std::function<void()> cancel_callback_;  // guarded by cancel_mutex_
};

}  // namespace cvie::proxy
