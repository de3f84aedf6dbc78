// app/proxy/proxy_server.h
//
// The HTTP/1.1 forward proxy's server side. Connections are accepted and read
// asynchronously on a few I/O threads, so idle keep-alive connections and slow
// clients hold no worker; each request, once its header and body are read, is
// handled start to finish on one thread of a worker pool that grows up to a
// cap while requests hold their workers (panel requests on a small pool of
// their own), then its connection goes back to
// reading. Requests in absolute form go to the
// ProxyExchangeHandler, direct requests to the proxy's own address go to the
// PanelHandler, CONNECT requests are tunnelled (ConnectTunnel) or, for hosts
// the TlsInterception inspects, answered by a TLS session of the proxy's own
// whose requests take the same road as plain ones.
//
// Start, Stop and the accessors are called from one controlling thread (never
// from a handler). The handlers must outlive the server.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "proxy/handlers.h"
#include "proxy/host_policy.h"
#include "proxy/listen_address.h"
#include "proxy/tls_interception.h"

namespace cvie::proxy {

struct ProxyServerOptions {
  std::string address = "127.0.0.1";  // numeric address to bind
  uint16_t port = kDefaultProxyPort;  // 0: a free port chosen by the system
  size_t workers = 0;                 // 0: twice the number of cores
  // Workers beyond `workers` start when every worker is busy, up to this
  // many in all (0: 8 times `workers`, at least 64), and end after
  // `worker_idle_timeout` with nothing to do: a request that holds its worker
  // for long (a slow or endless answer) does not stall the others.
  size_t max_workers = 0;
  std::chrono::milliseconds worker_idle_timeout{30000};
  size_t io_threads = 1;              // threads running the asynchronous I/O
  size_t max_queued_requests = 1024;  // beyond this, 503 until a worker frees up

  uint32_t max_header_bytes = 64 * 1024;       // request line and headers; 431 beyond
  size_t max_header_count = 200;               // header fields; 431 beyond
  uint64_t max_body_bytes = 32 * 1024 * 1024;  // request body; 413 beyond
  // A chunk-size line (with its extensions) of a chunked request body. The
  // read buffer of a connection never holds more than max_header_bytes plus
  // this, so trailer fields are bounded by it too; 413 beyond.
  uint32_t max_chunk_line_bytes = 4096;
  // Request bodies read and not yet handled, all connections together; a body
  // that would pass it gets 503 and the connection closes.
  uint64_t max_body_bytes_in_flight = 256ull * 1024 * 1024;
  // Open connections and tunnels from one client address; beyond, 503.
  size_t max_connections_per_client = 256;
  // The ports CONNECT may reach; any other gets 403 (a page must not make the
  // proxy open loopback or internal services).
  std::vector<uint16_t> connect_ports = {443};

  std::chrono::milliseconds read_timeout{60000};     // to read one request
  std::chrono::milliseconds idle_timeout{60000};     // keep-alive wait for the next one
  std::chrono::milliseconds write_timeout{60000};    // one write to a stalled client
  std::chrono::milliseconds connect_timeout{30000};  // CONNECT to its host
  std::chrono::milliseconds tunnel_idle_timeout{600000};  // a silent tunnel closes
  std::chrono::milliseconds stop_grace{10000};            // in-flight requests may finish
  std::chrono::milliseconds tls_handshake_timeout{15000};  // an inspected CONNECT's TLS

  // When not empty, a request whose Via header names this token has already
  // passed through this proxy: it is answered 508 Loop Detected at once, on
  // the I/O thread, without waiting for a worker. The road adds the token to
  // the requests it forwards (RoadOptions::via_token).
  std::string loop_token;
  // Panel requests run on a small pool of their own, so that the panel
  // answers while every worker of the main pool is busy.
  size_t panel_workers = 2;

  // When set, CONNECT requests to hosts it chooses are terminated by the proxy
  // and their decrypted requests go to the ProxyExchangeHandler with https
  // URLs; other CONNECTs are tunnelled. Must outlive the server; may be null.
  TlsInterception* tls_interception = nullptr;
  // When set, a CONNECT that would be tunnelled (not inspected) is refused
  // with 403 when it says so. Must outlive the server; may be null.
  HostPolicy* host_policy = nullptr;
  // Told of every tunnel refused by host_policy: host and verdict. Called on
  // I/O threads; must be quick and thread safe. May be empty.
  std::function<void(const std::string& host, const HostVerdict& verdict)>
      on_tunnel_blocked;

  // Called once at the end of Stop, after every request and tunnel ended.
  std::function<void()> on_stop;
  // Receives one line per notable event (accept failures, handler exceptions).
  // Called from I/O and worker threads; may be empty.
  std::function<void(const std::string&)> log;
};

class ProxyServer {
 public:
  // `proxy` or `panel` may be null: such requests then get 502 or 404.
  ProxyServer(ProxyServerOptions options, ProxyExchangeHandler* proxy,
              PanelHandler* panel);
  // Stops the server if it still runs.
  ~ProxyServer();

  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  // Binds, listens and starts the I/O threads and the workers. Returns false
  // with a one-line `error` (e.g. the address is in use); the server can then be
  // destroyed. Call once.
  bool Start(std::string* error);

  // The bound address and port (the real port when 0 was asked), after Start.
  const std::string& address() const { return bound_address_; }
  uint16_t port() const { return bound_port_; }

  // Graceful stop: stops accepting, closes idle connections and tunnels, lets
  // requests being handled finish within `stop_grace`, then aborts the rest
  // (their handlers see writes fail and cancelled() true), waits for the
  // workers, and runs `on_stop`. Safe to call more than once.
  void Stop();

 private:
  struct Impl;
  ProxyServerOptions options_;
  ProxyExchangeHandler* proxy_;
  PanelHandler* panel_;
  std::unique_ptr<Impl> impl_;
  std::string bound_address_;
  uint16_t bound_port_ = 0;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace cvie::proxy
