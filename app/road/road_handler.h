// app/road/road_handler.h
//
// The road of a page: each request the browser sends through the proxy is
// bound through the URL-moniker session on the worker thread that serves it.
// The system's namespace handler records the page address for the thread, an
// HTML answer is read through the registered HTML filter and sent whole with
// its Content-Length set to the rewritten size, anything else streams to the
// browser as it arrives. Status, reason and end-to-end headers pass unchanged
// (redirects too: the binding does not follow them), except that a filtered
// page is sent "Cache-Control: no-store" without its validators, since it
// changes with the options and the whitelist; content encodings are
// decoded by the binding, so the headers sent no longer name one.
//
// An origin that cannot be reached gets the browser a 502 page (504 when it
// does not answer in time). An origin that stops half way ends the response
// cut short. An HTML page that declares more than `max_filtered_bytes` is
// streamed unfiltered from the same transfer (the filter is set aside before
// it reads anything; the request is never sent twice), so one huge page
// cannot hold that much memory twice. One that declares no length and grows
// past that size is sent as it is, without a length: what was read so far,
// then the rest as it arrives, unfiltered.
//
// Top-level navigations also go to the browser window (BeforeNavigate2 line,
// location for the panel).
//
// Thread safety: Handle may run on many worker threads at once; each call
// owns its binding.

#pragma once

#include <stddef.h>

#include <string>

#include "platform/urlmon_binding.h"
#include "proxy/handlers.h"
#include "road/browser_window.h"

namespace cvie::road {

struct RoadOptions {
  size_t max_filtered_bytes = 32u << 20;
  int connect_timeout_ms = 15000;
  int idle_timeout_ms = 60000;
  // When not empty, every forwarded request carries "Via: 1.1 <via_token>",
  // by which the proxy knows a request that comes back to it
  // (ProxyServerOptions::loop_token).
  std::string via_token;
};

class RoadHandler : public proxy::ProxyExchangeHandler {
 public:
  // `window` may be null (no navigation bookkeeping); it must outlive this.
  RoadHandler(BrowserWindow* window, RoadOptions options);
  void Handle(const proxy::ProxyRequest& request, proxy::ResponseWriter& out) override;
  // Makes the thread's transfer handle (platform/urlmon_binding.h).
  void PrepareWorker() override;
  // Frees the page blocks the thread keeps for its next page and hands
  // freed memory back to the system.
  void WorkerIdle() override;

 private:
  // A page read through the HTML filter: whole, with its length, when the
  // filter held it; streamed when it is over the page limit.
  void SendFiltered(const std::string& url, Binding& binding, proxy::ResponseWriter& out);
  // A filtered page the filter does not hold: read in pieces, held up to the
  // page limit, streamed past it.
  void SendReadInPieces(const std::string& url, Binding& binding,
                        proxy::ResponseWriter& out);

  BrowserWindow* window_;
  RoadOptions options_;
};

// The short page sent for a fetch that failed before any answer came.
void SendFetchError(proxy::ResponseWriter& out, int status, const std::string& url,
                    const std::string& why);

}  // namespace cvie::road
