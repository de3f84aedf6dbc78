// app/https/local_ca.h
//
// The local certificate authority that lets the proxy filter HTTPS pages when
// the user opts in. `cvie ca create` makes an EC P-256 key and a self-signed CA
// certificate named "Corvane Filter Local CA" in the per-user folder; the key
// file is readable by the user only (0600), never leaves that folder and is
// never logged. The proxy loads it and mints, for each host it intercepts, a
// leaf certificate signed by it (subject alternative name = the host, an IP
// address for an IP literal), made on first use and cached in memory.
//
// Status results: every call that can fail returns false (or null) and sets
// `*error` to a one-line message; nothing is left half-written on failure.
// Thread safety: the free functions are for the command line; a loaded LocalCa
// may be used from many threads at once.

#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace cvie::https {

// Files of the local CA in the per-user folder.
std::wstring LocalCaCertificatePath();  // "local-ca.pem" (public certificate)
std::wstring LocalCaKeyPath();          // "local-ca.key" (private key, mode 0600)

// Makes a new key and certificate (valid `days` days from now). Refuses when a
// CA is already present (the user must remove it first, so a browser's trusted
// copy is never silently orphaned).
bool CreateLocalCa(int days, std::string* error);
// Writes the CA certificate (PEM) to `path`; an empty path writes to stdout.
bool ExportLocalCa(const std::wstring& path, std::string* error);
// Deletes both files; true when none is left (also when none was there).
bool RemoveLocalCa(std::string* error);
// True when both files exist.
bool LocalCaPresent();
// Changes whenever either file is created, replaced, written or removed; empty
// when either is missing. The proxy compares it to notice a new or removed CA.
std::string LocalCaFilesStamp();

class LocalCa {
 public:
  // Loads the CA from the per-user folder. Null with `error` set when a file is
  // missing or damaged, the key does not belong to the certificate, or the key
  // file is not private to this user (owned by another user, or open to group
  // or others).
  static std::unique_ptr<LocalCa> Load(std::string* error);
  // Loads from PEM texts (tests).
  static std::unique_ptr<LocalCa> FromPem(const std::string& certificate_pem,
                                          const std::string& key_pem, std::string* error);
  ~LocalCa();

  LocalCa(const LocalCa&) = delete;
  LocalCa& operator=(const LocalCa&) = delete;

  // A server context presenting a certificate for `host` (a DNS name or an IP
  // literal, without brackets or port), ALPN "http/1.1" only. Made on first use
  // and cached; null with `error` set when minting fails. Thread safe.
  std::shared_ptr<SSL_CTX> ServerContextFor(const std::string& host, std::string* error);

  // Base64 of the SHA-256 of the CA's SubjectPublicKeyInfo (the form browsers
  // take in --ignore-certificate-errors-spki-list).
  std::string SpkiSha256Base64() const;
  // The CA certificate as PEM.
  std::string CertificatePem() const;
  // The CA certificate, owned by this object (for reading its fields).
  const X509* Certificate() const { return certificate_; }

  // Leaf contexts are kept for at most this many hosts; past it the cache is
  // emptied (contexts already handed out stay valid with their holders).
  static constexpr size_t kMaxCachedContexts = 1024;

 private:
  LocalCa(X509* certificate, EVP_PKEY* key);

  X509* certificate_;
  EVP_PKEY* key_;
  EVP_PKEY* leaf_key_ = nullptr;  // one key for every leaf, made at load
  std::mutex mu_;
  std::unordered_map<std::string, std::shared_ptr<SSL_CTX>> contexts_;  // guarded by mu_
};

}  // namespace cvie::https
