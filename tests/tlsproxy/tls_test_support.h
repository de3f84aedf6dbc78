// tests/tlsproxy/tls_test_support.h
//
// What the tests of the proxy's HTTPS filtering need, on loopback only: test
// certificate authorities and leaf certificates made with OpenSSL (valid,
// expired, for the wrong host), an HTTPS origin server answering scripted
// paths and counting what it saw, a fake interception deciding per host, and
// clients: libcurl through the proxy, and a raw TLS client over a CONNECT.

#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdint.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "proxy/tls_interception.h"

namespace cvie::tlstest {

// A key and a certificate, owned.
struct KeyAndCert {
  std::shared_ptr<EVP_PKEY> key;
  std::shared_ptr<X509> cert;
  std::string CertPem() const;
  std::string KeyPem() const;
};

// A self-signed CA named `name`.
KeyAndCert MakeCa(const std::string& name);
// A leaf signed by `ca` for `hosts` (DNS names or IP literals), valid from
// `from_days` to `to_days` days relative to now.
KeyAndCert MakeLeaf(const KeyAndCert& ca, const std::vector<std::string>& hosts,
                    int from_days = -1, int to_days = 30);
// A server context presenting `leaf`; `alpn` is the protocol list it accepts
// from clients, in preference order ("h2", "http/1.1"); empty: no ALPN.
std::shared_ptr<SSL_CTX> ServerContext(const KeyAndCert& leaf,
                                       const std::vector<std::string>& alpn = {});
// Writes `pem` to `path` and returns the path as a string.
std::string WritePem(const std::filesystem::path& path, const std::string& pem);

// A TLS interception of the test's own: inspects every host except those
// passed through, with leaves minted by `ca` (cached per host).
class FakeInterception : public proxy::TlsInterception {
 public:
  explicit FakeInterception(KeyAndCert ca, std::vector<std::string> alpn = {"http/1.1"})
      : ca_(std::move(ca)), alpn_(std::move(alpn)) {}
  bool ShouldInspect(const std::string& host) override;
  std::shared_ptr<SSL_CTX> ContextFor(const std::string& host,
                                      std::string* error) override;

  void set_enabled(bool on) { enabled_ = on; }
  void PassThrough(const std::string& host);
  void FailContextFor(const std::string& host);
  int contexts_made();

 private:
  KeyAndCert ca_;
  std::vector<std::string> alpn_;
  std::atomic<bool> enabled_{true};
  std::mutex mu_;
  std::set<std::string> passthrough_;                         // guarded by mu_
  std::set<std::string> failing_;                             // guarded by mu_
  std::map<std::string, std::shared_ptr<SSL_CTX>> contexts_;  // guarded by mu_
  int made_ = 0;                                              // guarded by mu_
};

// An HTTPS/1.1 origin on 127.0.0.1 and a free port. Every path answers 200
// with the scripted content type and body (404 when unknown), then closes.
class TlsOrigin {
 public:
  explicit TlsOrigin(std::shared_ptr<SSL_CTX> context);
  ~TlsOrigin();
  TlsOrigin(const TlsOrigin&) = delete;
  TlsOrigin& operator=(const TlsOrigin&) = delete;

  uint16_t port() const { return port_; }
  void Set(const std::string& path, const std::string& content_type,
           const std::string& body);
  // Requests received (any path) and handshakes completed.
  int requests() const { return requests_.load(); }
  int handshakes() const { return handshakes_.load(); }
  // Raw bytes the origin sent over TLS in its last response.
  std::string last_sent();

 private:
  void AcceptLoop();
  void Serve(int fd);

  std::shared_ptr<SSL_CTX> context_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  std::atomic<int> handshakes_{0};
  std::thread acceptor_;
  std::mutex mu_;
  std::map<std::string, std::pair<std::string, std::string>> replies_;  // guarded
  std::string last_sent_;                                               // guarded
  std::vector<std::thread> connections_;                                // guarded
};

// The answer of one libcurl transfer.
struct CurlResult {
  int code = -1;      // CURLcode
  std::string error;  // the error buffer
  long status = 0;    // HTTP status
  std::string body;
  std::string headers;  // raw header block(s)
};

// GETs `url` through the proxy on 127.0.0.1:`proxy_port`, trusting only the
// PEM bundle `ca_file`. `alpn_h2`: let libcurl offer h2 (it offers http/1.1
// otherwise).
CurlResult CurlGet(const std::string& url, uint16_t proxy_port,
                   const std::string& ca_file, bool alpn_h2 = false);

// A TLS client over a CONNECT tunnel of the proxy, with blocking calls bounded
// by a timeout.
class TlsClient {
 public:
  TlsClient();
  ~TlsClient();
  // Sends "CONNECT authority" and reads the proxy's answer head; the status.
  int Connect(uint16_t proxy_port, const std::string& authority);
  // Handshakes trusting `ca_file` for `host`, offering `alpn` protocols. False
  // when the handshake fails; `error` says why.
  bool Handshake(const std::string& host, const std::string& ca_file,
                 const std::vector<std::string>& alpn, std::string* error);
  // The protocol the server selected by ALPN (empty: none).
  std::string Alpn() const;
  bool Write(const std::string& data);
  // Reads until the server closes the session or `timeout_ms` passes; what
  // arrived. `closed` tells whether the session ended.
  std::string ReadAll(int timeout_ms, bool* closed);
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

}  // namespace cvie::tlstest
