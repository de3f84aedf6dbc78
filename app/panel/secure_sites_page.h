// app/panel/secure_sites_page.h
//
// The control panel's "Secure sites" page (GET /secure-sites): how secure
// sites are treated now (tunnelled, host blocking only, filtered), the
// advertising hosts refused at CONNECT, and the guided HTTPS setup: the
// security note, then a button that creates the local CA (POST /local-ca with
// the panel's token), the certificate to download (GET /local-ca.pem), the
// import steps for Chromium and Firefox, the switch, and a link to the
// self-test address the proxy answers only inside a connection it opened.
//
// TunnelBlocks counts the tunnels refused, for the page; Record is called on
// the proxy's I/O threads, Snapshot on panel workers (one mutex).

#pragma once

#include <stdint.h>

#include <mutex>
#include <string>

namespace cvie::https {
class HostBlocker;
}

namespace cvie::panel {

class TunnelBlocks {
 public:
  struct Last {
    uint64_t count = 0;
    std::string host;  // the last host refused
    std::string rule;  // "list:line: rule"
  };
  void Record(const std::string& host, const std::string& rule);
  Last Snapshot() const;

 private:
  mutable std::mutex mu_;
  Last last_;  // guarded by mu_
};

// The page's HTML. `blocker` and `blocks` may be null (no figures then).
std::string RenderSecureSitesPage(const std::string& token,
                                  const https::HostBlocker* blocker,
                                  const TunnelBlocks* blocks);

}  // namespace cvie::panel
