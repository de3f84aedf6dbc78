// app/proxy/server_state.h
//
// What every connection and tunnel of one proxy server shares: the options, the
// handlers, the worker pools, the list of live sessions (so that Stop can reach
// them) and the count of requests being handled. Internal to app/proxy.

#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "proxy/handlers.h"
#include "proxy/proxy_server.h"
#include "proxy/worker_pool.h"

namespace cvie::proxy {

// A live connection or tunnel. Both calls may come from any thread; they post
// the work to the session's own strand.
class Session {
 public:
  virtual ~Session() = default;
  // The server is stopping: close now unless a request is being handled, in
  // which case close once its response is done.
  virtual void StopGracefully() = 0;
  // Close now; a handler still running sees its writes fail.
  virtual void Abort() = 0;
};

class ServerState {
 public:
  ServerState(const ProxyServerOptions& options, ProxyExchangeHandler* proxy,
              PanelHandler* panel, WorkerPool* pool, WorkerPool* panel_pool)
      : options(options),
        proxy_handler(proxy),
        panel_handler(panel),
        pool(pool),
        panel_pool(panel_pool) {}

  const ProxyServerOptions options;
  ProxyExchangeHandler* const proxy_handler;
  PanelHandler* const panel_handler;
  WorkerPool* const pool;        // requests to fetch through the proxy
  WorkerPool* const panel_pool;  // requests for the control panel
  std::string listen_host;       // set before the first connection is accepted
  uint16_t listen_port = 0;
  std::atomic<bool> stopping{false};

  void Log(const std::string& line) const {
    if (options.log) options.log(line);
  }

  uint64_t Register(const std::shared_ptr<Session>& session) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t id = ++next_id_;
    sessions_.emplace(id, session);
    return id;
  }
  void Unregister(uint64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_.erase(id);
  }
  std::vector<std::shared_ptr<Session>> LiveSessions() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::shared_ptr<Session>> out;
    for (auto& [id, weak] : sessions_) {
      if (auto s = weak.lock()) out.push_back(std::move(s));
    }
    return out;
  }

  void BeginRequest() {
    std::lock_guard<std::mutex> lock(mu_);
    ++in_flight_;
  }
  void EndRequest() {
    std::lock_guard<std::mutex> lock(mu_);
    --in_flight_;
    if (in_flight_ == 0) idle_cv_.notify_all();
  }
  // Counts `bytes` more of request body against max_body_bytes_in_flight;
  // false (nothing counted) when they would pass it.
  bool ReserveBody(uint64_t bytes) {
    uint64_t limit = options.max_body_bytes_in_flight;
    uint64_t now = body_in_flight_.load(std::memory_order_relaxed);
    do {
      if (bytes > limit || now > limit - bytes) return false;
    } while (!body_in_flight_.compare_exchange_weak(now, now + bytes,
                                                    std::memory_order_relaxed));
    return true;
  }
  void ReleaseBody(uint64_t bytes) {
    body_in_flight_.fetch_sub(bytes, std::memory_order_relaxed);
  }

  // A place for one more connection from `client` (an address without port),
  // held as long as the returned object lives; null when the client already
  // has max_connections_per_client. The object must not outlive this state.
  std::shared_ptr<void> AdmitClient(const std::string& client) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t& open = clients_[client];
    if (open >= options.max_connections_per_client) {
      if (open == 0) clients_.erase(client);
      return nullptr;
    }
    ++open;
    return std::shared_ptr<void>(this, [this, client](void*) {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = clients_.find(client);
      if (it != clients_.end() && --it->second == 0) clients_.erase(it);
    });
  }

  // Waits until no request is being handled or `timeout` passed; true when idle.
  bool WaitForNoRequests(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    return idle_cv_.wait_for(lock, timeout, [this] { return in_flight_ == 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable idle_cv_;
  std::unordered_map<uint64_t, std::weak_ptr<Session>> sessions_;  // guarded by mu_
  uint64_t next_id_ = 0;                                           // guarded by mu_
  int in_flight_ = 0;                                              // guarded by mu_
  std::unordered_map<std::string, size_t> clients_;  // open connections; mu_
  std::atomic<uint64_t> body_in_flight_{0};          // request body bytes held
};

}  // namespace cvie::proxy
