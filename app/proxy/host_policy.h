// app/proxy/host_policy.h
//
// What the proxy asks before it opens a plain CONNECT tunnel (one it does not
// inspect): whether the host alone is enough to refuse it, as an advertising
// or tracking host of the subscribed lists. A refused CONNECT gets 403 with a
// one-line body; the proxy logs it and passes it to
// ProxyServerOptions::on_tunnel_blocked.
//
// Called from the proxy's I/O threads, several at once: an implementation
// must be thread safe and answer at once (no file, registry or network wait).

#pragma once

#include <stdint.h>

#include <string>

namespace cvie::proxy {

struct HostVerdict {
  bool blocked = false;
  std::string rule;  // the deciding rule as written, when blocked
  std::string list;  // the list holding it
  uint32_t line = 0;
};

class HostPolicy {
 public:
  virtual ~HostPolicy() = default;
  // `host`: a DNS name or an IP literal without brackets.
  virtual HostVerdict CheckTunnelHost(const std::string& host) = 0;
};

}  // namespace cvie::proxy
