// app/proxy/placeholder_panel.h
//
// Answers direct requests to the proxy's own address with a small page saying
// the proxy runs, until the control panel takes this place. Safe to call from
// many worker threads at once (it keeps no state).

#pragma once

#include "proxy/handlers.h"

namespace cvie::proxy {

class PlaceholderPanel : public PanelHandler {
 public:
  // GET and HEAD get the page; other methods get 405.
  void Handle(const ProxyRequest& request, ResponseWriter& out) override;
};

}  // namespace cvie::proxy
