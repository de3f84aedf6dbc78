#include "tls_test_support.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "common/loopback.h"

namespace cvie::tlstest {

namespace {

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<size_t>(n));
  BIO_free(bio);
  return out;
}

std::shared_ptr<EVP_PKEY> NewKey() {
  return std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), EVP_PKEY_free);
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext) {
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
}

std::shared_ptr<X509> NewCert(EVP_PKEY* key, const std::string& cn, int from_days,
                              int to_days) {
  std::shared_ptr<X509> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(from_days) * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(to_days) * 86400);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                             0);
  X509_set_pubkey(cert.get(), key);
  return cert;
}

bool IsIpLiteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// ALPN wire format of `protocols`.
std::string AlpnWire(const std::vector<std::string>& protocols) {
  std::string wire;
  for (const std::string& p : protocols) {
    wire.push_back(static_cast<char>(p.size()));
    wire += p;
  }
  return wire;
}

int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outlen,
               const unsigned char* in, unsigned int inlen, void* arg) {
  const std::string* wire = static_cast<const std::string*>(arg);
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(
          &selected, outlen, reinterpret_cast<const unsigned char*>(wire->data()),
          static_cast<unsigned int>(wire->size()), in, inlen) != OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

// A write to a peer that has gone fails instead of ending the test process.
void IgnoreSigpipe() { signal(SIGPIPE, SIG_IGN); }

std::string OpenSslError() {
  unsigned long e = ERR_get_error();
  if (e == 0) return "no OpenSSL error";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

std::string KeyAndCert::CertPem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert.get());
  return BioText(bio);
}

std::string KeyAndCert::KeyPem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  return BioText(bio);
}

KeyAndCert MakeCa(const std::string& name) {
  KeyAndCert ca;
  ca.key = NewKey();
  ca.cert = NewCert(ca.key.get(), name, -1, 365);
  X509_set_issuer_name(ca.cert.get(), X509_get_subject_name(ca.cert.get()));
  AddExtension(ca.cert.get(), ca.cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(ca.cert.get(), ca.cert.get(), NID_key_usage,
               "critical,keyCertSign,cRLSign");
  AddExtension(ca.cert.get(), ca.cert.get(), NID_subject_key_identifier, "hash");
  X509_sign(ca.cert.get(), ca.key.get(), EVP_sha256());
  return ca;
}

KeyAndCert MakeLeaf(const KeyAndCert& ca, const std::vector<std::string>& hosts,
                    int from_days, int to_days) {
  KeyAndCert leaf;
  leaf.key = NewKey();
  leaf.cert =
      NewCert(leaf.key.get(), hosts.empty() ? "leaf" : hosts[0], from_days, to_days);
  X509_set_issuer_name(leaf.cert.get(), X509_get_subject_name(ca.cert.get()));
  std::string san;
  for (const std::string& h : hosts) {
    if (!san.empty()) san += ",";
    san += (IsIpLiteral(h) ? "IP:" : "DNS:") + h;
  }
  if (!san.empty())
    AddExtension(leaf.cert.get(), ca.cert.get(), NID_subject_alt_name, san);
  AddExtension(leaf.cert.get(), ca.cert.get(), NID_basic_constraints, "CA:FALSE");
  AddExtension(leaf.cert.get(), ca.cert.get(), NID_ext_key_usage, "serverAuth");
  X509_sign(leaf.cert.get(), ca.key.get(), EVP_sha256());
  return leaf;
}

std::shared_ptr<SSL_CTX> ServerContext(const KeyAndCert& leaf,
                                       const std::vector<std::string>& alpn) {
  std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  SSL_CTX_use_certificate(ctx.get(), leaf.cert.get());
  SSL_CTX_use_PrivateKey(ctx.get(), leaf.key.get());
  if (!alpn.empty()) {
    // The wire list lives as long as the context.
    auto* wire = new std::string(AlpnWire(alpn));
    SSL_CTX_set_alpn_select_cb(ctx.get(), &SelectAlpn, wire);
    std::shared_ptr<SSL_CTX> keep = ctx;
    return std::shared_ptr<SSL_CTX>(ctx.get(), [keep, wire](SSL_CTX*) mutable {
      keep.reset();
      delete wire;
    });
  }
  return ctx;
}

std::string WritePem(const std::filesystem::path& path, const std::string& pem) {
  std::ofstream(path, std::ios::binary) << pem;
  return path.string();
}

bool FakeInterception::ShouldInspect(const std::string& host) {
  if (!enabled_.load()) return false;
  std::lock_guard<std::mutex> lock(mu_);
  return passthrough_.count(host) == 0;
}

std::shared_ptr<SSL_CTX> FakeInterception::ContextFor(const std::string& host,
                                                      std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (failing_.count(host)) {
    *error = "no certificate for " + host + " in this test";
    return nullptr;
  }
  auto& ctx = contexts_[host];
  if (!ctx) {
    ctx = ServerContext(MakeLeaf(ca_, {host}), alpn_);
    ++made_;
  }
  return ctx;
}

void FakeInterception::PassThrough(const std::string& host) {
  std::lock_guard<std::mutex> lock(mu_);
  passthrough_.insert(host);
}

void FakeInterception::FailContextFor(const std::string& host) {
  std::lock_guard<std::mutex> lock(mu_);
  failing_.insert(host);
}

int FakeInterception::contexts_made() {
  std::lock_guard<std::mutex> lock(mu_);
  return made_;
}

TlsOrigin::TlsOrigin(std::shared_ptr<SSL_CTX> context) : context_(std::move(context)) {
  IgnoreSigpipe();
  listen_fd_ = cvie::testing::ListenOnLoopback(&port_);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TlsOrigin::~TlsOrigin() {
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  close(listen_fd_);
  acceptor_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    threads.swap(connections_);
  }
  for (std::thread& t : threads) t.join();
}

void TlsOrigin::Set(const std::string& path, const std::string& content_type,
                    const std::string& body) {
  std::lock_guard<std::mutex> lock(mu_);
  replies_[path] = {content_type, body};
}

std::string TlsOrigin::last_sent() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_sent_;
}

void TlsOrigin::AcceptLoop() {
  for (;;) {
    pollfd p{listen_fd_, POLLIN, 0};
    int ready = poll(&p, 1, 100);
    if (stopping_) return;
    if (ready <= 0) continue;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    connections_.emplace_back([this, fd] { Serve(fd); });
  }
}

void TlsOrigin::Serve(int fd) {
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  SSL* ssl = SSL_new(context_.get());
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) == 1) {
    ++handshakes_;
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      int n = SSL_read(ssl, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    if (request.find("\r\n\r\n") != std::string::npos) {
      ++requests_;
      size_t sp1 = request.find(' ');
      size_t sp2 = request.find(' ', sp1 + 1);
      std::string path = request.substr(sp1 + 1, sp2 - sp1 - 1);
      std::string response;
      {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = replies_.find(path);
        if (it == replies_.end()) {
          response =
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: "
              "10\r\nConnection: close\r\n\r\nnot found\n";
        } else {
          response = "HTTP/1.1 200 OK\r\nContent-Type: " + it->second.first +
                     "\r\nContent-Length: " + std::to_string(it->second.second.size()) +
                     "\r\nConnection: close\r\n\r\n" + it->second.second;
        }
        last_sent_ = response;
      }
      size_t sent = 0;
      while (sent < response.size()) {
        int n = SSL_write(ssl, response.data() + sent,
                          static_cast<int>(response.size() - sent));
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      SSL_shutdown(ssl);
    }
  }
  SSL_free(ssl);
  close(fd);
}

namespace {

size_t AppendTo(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

}  // namespace

CurlResult CurlGet(const std::string& url, uint16_t proxy_port,
                   const std::string& ca_file, bool alpn_h2) {
  IgnoreSigpipe();
  CurlResult result;
  CURL* curl = curl_easy_init();
  char error[CURL_ERROR_SIZE] = "";
  std::string proxy = "http://127.0.0.1:" + std::to_string(proxy_port);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
  curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION,
                   alpn_h2 ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendTo);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &AppendTo);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result.headers);
  result.code = curl_easy_perform(curl);
  result.error = error;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  curl_easy_cleanup(curl);
  return result;
}

TlsClient::TlsClient() { IgnoreSigpipe(); }

TlsClient::~TlsClient() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
  if (fd_ >= 0) close(fd_);
}

int TlsClient::Connect(uint16_t proxy_port, const std::string& authority) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{10, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr = Loopback(proxy_port);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  std::string request =
      "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
  if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return -1;
  // Byte by byte, so that nothing of the TLS stream is taken with the head.
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (recv(fd_, &c, 1, 0) != 1) return head.empty() ? -1 : 0;
    head.push_back(c);
  }
  if (head.compare(0, 9, "HTTP/1.1 ") != 0) return 0;
  return atoi(head.c_str() + 9);
}

bool TlsClient::Handshake(const std::string& host, const std::string& ca_file,
                          const std::vector<std::string>& alpn, std::string* error) {
  ctx_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr);
  ssl_ = SSL_new(ctx_);
  SSL_set_fd(ssl_, fd_);
  SSL_set_tlsext_host_name(ssl_, host.c_str());
  SSL_set1_host(ssl_, host.c_str());
  if (!alpn.empty()) {
    std::string wire = AlpnWire(alpn);
    SSL_set_alpn_protos(ssl_, reinterpret_cast<const unsigned char*>(wire.data()),
                        static_cast<unsigned int>(wire.size()));
  }
  if (SSL_connect(ssl_) != 1) {
    long verify = SSL_get_verify_result(ssl_);
    *error = verify != X509_V_OK ? X509_verify_cert_error_string(verify) : OpenSslError();
    return false;
  }
  return true;
}

std::string TlsClient::Alpn() const {
  const unsigned char* data = nullptr;
  unsigned int size = 0;
  SSL_get0_alpn_selected(ssl_, &data, &size);
  return std::string(reinterpret_cast<const char*>(data), size);
}

bool TlsClient::Write(const std::string& data) {
  return SSL_write(ssl_, data.data(), static_cast<int>(data.size())) ==
         static_cast<int>(data.size());
}

std::string TlsClient::ReadAll(int timeout_ms, bool* closed) {
  std::string out;
  *closed = false;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buffer[16384];
  while (std::chrono::steady_clock::now() < deadline) {
    if (SSL_pending(ssl_) == 0) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
    }
    int n = SSL_read(ssl_, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
      continue;
    }
    int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ) continue;
    *closed = true;
    break;
  }
  return out;
}

}  // namespace cvie::tlstest
