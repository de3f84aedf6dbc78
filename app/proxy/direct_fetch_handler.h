// app/proxy/direct_fetch_handler.h
//
// A stand-in for the filtering road: fetches the requested URL with libcurl and
// streams the answer back unchanged (status, end-to-end headers, body as it
// arrives). Redirects are passed to the browser, not followed; the environment's
// proxy settings are ignored so that the proxy never sends a request to itself.
// Safe to call from many worker threads at once (one transfer per call).

#pragma once

#include "proxy/handlers.h"

namespace cvie::proxy {

class DirectFetchHandler : public ProxyExchangeHandler {
 public:
  DirectFetchHandler();
  // A transfer that fails before any answer came gets 502 with a short reason;
  // one that fails half way is abandoned so the browser sees it cut short.
  void Handle(const ProxyRequest& request, ResponseWriter& out) override;
};

}  // namespace cvie::proxy
