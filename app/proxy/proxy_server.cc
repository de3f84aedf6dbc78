#include "proxy/proxy_server.h"

#include <future>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "proxy/http_connection.h"
#include "proxy/request_target.h"
#include "proxy/server_state.h"
#include "proxy/worker_pool.h"

namespace cvie::proxy {

namespace net = boost::asio;
using tcp = net::ip::tcp;

struct ProxyServer::Impl {
  Impl(size_t workers, size_t max_queued, size_t max_workers,
       std::chrono::milliseconds worker_idle, size_t panel_workers,
       std::function<void()> worker_start, std::function<void()> worker_idle_hook)
      : pool(workers, max_queued, max_workers, worker_idle, std::move(worker_start),
             std::move(worker_idle_hook)),
        panel_pool(panel_workers, max_queued),
        acceptor(net::make_strand(io)),
        retry_timer(acceptor.get_executor()),
        work(net::make_work_guard(io)) {}

  void Accept() {
    acceptor.async_accept(
        net::make_strand(io), [this](boost::system::error_code ec, tcp::socket socket) {
          if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
          if (ec) {
            // Out of descriptors or a similar passing failure: try again shortly
            // rather than spinning.
            state->Log("accept failed: " + ec.message());
            retry_timer.expires_after(std::chrono::milliseconds(100));
            retry_timer.async_wait([this](boost::system::error_code ec) {
              if (!ec && acceptor.is_open()) Accept();
            });
            return;
          }
          std::make_shared<HttpConnection>(state, std::move(socket))->Start();
          Accept();
        });
  }

  // Declared in the order they must be built; torn down explicitly by Stop.
  WorkerPool pool;
  WorkerPool panel_pool;
  net::io_context io;
  tcp::acceptor acceptor;
  net::steady_timer retry_timer;
  std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
  std::shared_ptr<ServerState> state;
  std::vector<std::thread> io_threads;
};

ProxyServer::ProxyServer(ProxyServerOptions options, ProxyExchangeHandler* proxy,
                         PanelHandler* panel)
    : options_(std::move(options)), proxy_(proxy), panel_(panel) {}

ProxyServer::~ProxyServer() { Stop(); }

bool ProxyServer::Start(std::string* error) {
  if (started_) {
    *error = "the proxy server was already started";
    return false;
  }
  size_t workers = options_.workers;
  if (workers == 0) workers = 2 * std::max(1u, std::thread::hardware_concurrency());
  size_t io_threads = std::max<size_t>(1, options_.io_threads);

  boost::system::error_code ec;
  net::ip::address address = net::ip::make_address(options_.address, ec);
  if (ec) {
    *error = "'" + options_.address + "' is not a numeric IP address";
    return false;
  }
  tcp::endpoint endpoint(address, options_.port);
  std::string where = FormatHostPort(address.to_string(), options_.port);

  size_t max_workers = options_.max_workers;
  if (max_workers == 0) max_workers = std::max<size_t>(64, 8 * workers);
  impl_ = std::make_unique<Impl>(
      workers, options_.max_queued_requests, max_workers, options_.worker_idle_timeout,
      std::max<size_t>(1, options_.panel_workers),
      [proxy = proxy_] {
        if (proxy) proxy->PrepareWorker();
      },
      [proxy = proxy_] {
        if (proxy) proxy->WorkerIdle();
      });
  impl_->state = std::make_shared<ServerState>(options_, proxy_, panel_, &impl_->pool,
                                               &impl_->panel_pool);
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (!ec) {
    bound_address_ = address.to_string();
    bound_port_ = acceptor.local_endpoint(ec).port();
  }
  if (ec) {
    *error = "cannot listen on " + where + ": " + ec.message();
    impl_->work.reset();
    impl_.reset();
    return false;
  }
  impl_->state->listen_host = bound_address_;
  impl_->state->listen_port = bound_port_;
  started_ = true;
  impl_->Accept();
  for (size_t i = 0; i < io_threads; ++i) {
    impl_->io_threads.emplace_back([this] { impl_->io.run(); });
  }
  return true;
}

void ProxyServer::Stop() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  Impl& impl = *impl_;
  ServerState& state = *impl.state;
  state.stopping.store(true);

  // 1. No new connections.
  std::promise<void> closed;
  net::post(impl.acceptor.get_executor(), [&impl, &closed] {
    boost::system::error_code ignored;
    impl.acceptor.close(ignored);
    impl.retry_timer.cancel();
    closed.set_value();
  });
  closed.get_future().wait();

  // 2. Idle connections and tunnels close; requests being handled may finish.
  for (auto& session : state.LiveSessions()) session->StopGracefully();
  state.WaitForNoRequests(options_.stop_grace);

  // 3. Whatever is left is aborted; handlers see their writes fail.
  for (auto& session : state.LiveSessions()) session->Abort();
  impl.pool.Shutdown();
  impl.panel_pool.Shutdown();

  // 4. The I/O threads end; pending operations are dropped with the context.
  impl.work.reset();
  impl.io.stop();
  for (std::thread& t : impl.io_threads) t.join();
  impl_.reset();

  if (options_.on_stop) options_.on_stop();
}

}  // namespace cvie::proxy
