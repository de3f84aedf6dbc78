// app/proxy/tls_interception.h
//
// What the proxy asks before it opens a CONNECT tunnel when HTTPS filtering is
// wired in: whether to terminate TLS for the host itself, and the server
// context presenting a certificate for that host. A host it does not inspect is
// tunnelled byte for byte as before. Decrypted requests then take the same road
// as plain HTTP requests, with "https://host[:port]/path" URLs.
//
// Both calls come from the proxy's I/O threads, several at once: an
// implementation must be thread safe and should answer quickly (it may read a
// small settings file now and then; it must never wait on the network).

#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace cvie::proxy {

// A name no DNS answers, which the proxy answers itself inside an inspected
// connection: a browser that shows its page trusts the local CA.
inline constexpr char kSelfTestHost[] = "cvie-selftest.invalid";

class TlsInterception {
 public:
  virtual ~TlsInterception() = default;

  // True when a CONNECT to `host` (a DNS name or an IP literal without brackets)
  // should be terminated by the proxy; false means the plain tunnel.
  virtual bool ShouldInspect(const std::string& host) = 0;

  // A server context for `host` whose certificate the browser can check, with
  // ALPN limited to "http/1.1". Null with a one-line `error` when none can be
  // made; the proxy then refuses the CONNECT with a 502 naming the error. The
  // context must not carry application data (SSL_CTX_set_app_data): the TLS
  // layer the proxy uses keeps its own callbacks in that slot.
  virtual std::shared_ptr<SSL_CTX> ContextFor(const std::string& host,
                                              std::string* error) = 0;
};

}  // namespace cvie::proxy
