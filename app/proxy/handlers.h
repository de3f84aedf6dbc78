// app/proxy/handlers.h
//
// What the proxy server calls for each request it has read. Both handlers are
// called on a worker thread of the server's pool, one request start to finish per
// call, and from several worker threads at once: implementations must be safe to
// call concurrently. A handler that returns without starting a response gets an
// error response written for it; one that starts but does not finish gets its
// response finished.

#pragma once

#include "proxy/proxy_request.h"
#include "proxy/response_writer.h"

namespace cvie::proxy {

// Requests in absolute form ("GET http://host/path"): the browser asks the proxy
// to fetch a page.
class ProxyExchangeHandler {
 public:
  virtual ~ProxyExchangeHandler() = default;
  virtual void Handle(const ProxyRequest& request, ResponseWriter& out) = 0;
  // Called once on each worker thread of the proxy's pool as it starts,
  // before its first request: what a worker keeps for all its requests is
  // made there, not in the middle of one.
  virtual void PrepareWorker() {}
  // Called on a worker thread that has been idle for a while after handling
  // requests: it may give back what it keeps for the next one.
  virtual void WorkerIdle() {}
};

// Direct requests to the proxy's own address ("GET /path", or an absolute URL
// naming the proxy's own address and port): the control panel.
class PanelHandler {
 public:
  virtual ~PanelHandler() = default;
  virtual void Handle(const ProxyRequest& request, ResponseWriter& out) = 0;
};

}  // namespace cvie::proxy
