// The local certificate authority: making, storing and loading its key and
// certificate, and minting leaf certificates for the hosts the proxy
// intercepts.

#include "https/local_ca.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace cvie::https {
namespace {

constexpr char kCaCommonName[] = "Corvane Filter Local CA";
constexpr char kCaOrganization[] = "Corvane Filter";
constexpr long kBackdateSeconds = 60 * 60;
constexpr long kLeafLifetimeSeconds = 397L * 24 * 60 * 60;
constexpr size_t kMaxFileBytes = 1 << 20;

void SetError(std::string* error, const std::string& message) {
  if (error) *error = message;
}

// The last OpenSSL error as text (and the queue cleared), for messages.
std::string OpenSslReason() {
  unsigned long code = ERR_peek_last_error();
  std::string reason;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    reason = buffer;
  }
  ERR_clear_error();
  return reason.empty() ? "unknown OpenSSL error" : reason;
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509ExtFree {
  void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};
struct GeneralNamesFree {
  void operator()(GENERAL_NAMES* g) const { GENERAL_NAMES_free(g); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, X509ExtFree>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, GeneralNamesFree>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::wstring UserFile(const wchar_t* name) {
  return platform::UserFolderPath() + platform::kPathSeparator + name;
}

// Reads a whole small file; false when it cannot be read or is too large to
// be one of ours.
bool ReadSmallFile(const std::wstring& path, std::string* contents) {
  std::ifstream in(platform::ToNarrow(path), std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  *contents = buffer.str();
  return contents->size() <= kMaxFileBytes;
}

// Writes `data` to a fresh file next to `path` made with `mode` from the
// start (so a private key is never readable by others, not even for a
// moment), then moves it to `path`. With `replace` false an existing `path`
// is kept and the call fails.
bool WriteFileAtomically(const std::wstring& path, const std::string& data, mode_t mode,
                         bool replace, std::string* error) {
  const std::wstring temp = path + L".tmp" + std::to_wstring(getpid());
  const std::string temp_narrow = platform::ToNarrow(temp);
  unlink(temp_narrow.c_str());
  int fd = open(temp_narrow.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    SetError(error, "cannot create " + platform::ToNarrow(path) + ": " + strerror(errno));
    return false;
  }
  size_t done = 0;
  bool ok = true;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  const int saved_errno = errno;
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (!ok) {
    unlink(temp_narrow.c_str());
    SetError(error,
             "cannot write " + platform::ToNarrow(path) + ": " + strerror(saved_errno));
    return false;
  }
  if (!platform::RenameFile(temp, path, replace)) {
    unlink(temp_narrow.c_str());
    SetError(error, platform::PathExists(path) && !replace
                        ? platform::ToNarrow(path) + " already exists"
                        : "cannot move the new file to " + platform::ToNarrow(path));
    return false;
  }
  return true;
}

bool RandomSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  bytes[0] &= 0x7f;  // positive
  bytes[0] |= 0x01;  // and never shorter than 128 bits minus one
  BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  if (!bn) return false;
  ASN1_INTEGER* serial = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
  BN_free(bn);
  return serial != nullptr;
}

// Adds an extension given in OpenSSL's configuration syntax (fixed texts only:
// nothing that comes from a user or a host name goes through here).
bool AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

PkeyPtr NewP256Key() { return PkeyPtr(EVP_EC_gen("P-256")); }

// The self-signed CA certificate for `key`, valid `days` days from now (and
// from an hour ago, for clocks a little behind).
X509Ptr MakeCaCertificate(EVP_PKEY* key, int days) {
  X509Ptr cert(X509_new());
  if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      !RandomSerial(cert.get())) {
    return nullptr;
  }
  if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kBackdateSeconds) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * days)) {
    return nullptr;
  }
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(kCaCommonName),
                                 -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(kCaOrganization),
                                 -1, -1, 0) != 1 ||
      X509_set_issuer_name(cert.get(), name) != 1 ||
      X509_set_pubkey(cert.get(), key) != 1) {
    return nullptr;
  }
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  if (!AddExtension(cert.get(), &ctx, NID_basic_constraints,
                    "critical,CA:TRUE,pathlen:0") ||
      !AddExtension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash") ||
      !AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always")) {
    return nullptr;
  }
  if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

// A host name we are willing to put in a certificate: letters, digits, '-',
// '_', '.', and ':' / '%' only for IP literals checked separately. No empty
// labels except one trailing dot, which callers strip.
bool PlausibleDnsName(const std::string& host) {
  if (host.empty() || host.size() > 253 || host.front() == '.') return false;
  char previous = 0;
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '.';
    if (!ok) return false;
    if (c == '.' && previous == '.') return false;
    previous = c;
  }
  return true;
}

std::string NormalizeHost(const std::string& host) {
  std::string out;
  out.reserve(host.size());
  for (char c : host)
    out.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
  if (out.size() > 1 && out.back() == '.') out.pop_back();
  return out;
}

// Chooses "http/1.1" when the client offers it; otherwise no protocol is
// agreed (the connection then goes on without ALPN, which browsers treat as
// HTTP/1.1).
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outlen,
               const unsigned char* in, unsigned int inlen, void*) {
  static const unsigned char kHttp11[] = {'h', 't', 't', 'p', '/', '1', '.', '1'};
  unsigned int i = 0;
  while (i < inlen) {
    const unsigned int len = in[i];
    if (len == 0 || i + 1 + len > inlen) break;
    if (len == sizeof kHttp11 && memcmp(in + i + 1, kHttp11, len) == 0) {
      *out = in + i + 1;
      *outlen = static_cast<unsigned char>(len);
      return SSL_TLSEXT_ERR_OK;
    }
    i += 1 + len;
  }
  return SSL_TLSEXT_ERR_NOACK;
}

// The subject alternative names of a leaf for `host` (normalized): its IP
// address, or its DNS name when that is plausible. Null, with *error set,
// otherwise (`requested_host` is named in the message).
GeneralNamesPtr LeafNames(const std::string& host, const std::string& requested_host,
                          std::string* error) {
  GeneralNamesPtr names(GENERAL_NAMES_new());
  GENERAL_NAME* name = GENERAL_NAME_new();
  if (!names || !name) {
    GENERAL_NAME_free(name);
    SetError(error, "out of memory");
    return nullptr;
  }
  if (ASN1_OCTET_STRING* ip = a2i_IPADDRESS(host.c_str())) {
    GENERAL_NAME_set0_value(name, GEN_IPADD, ip);
  } else {
    ERR_clear_error();
    if (!PlausibleDnsName(host)) {
      GENERAL_NAME_free(name);
      SetError(error, "not a host name: " + requested_host);
      return nullptr;
    }
    ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
    if (!dns || ASN1_STRING_set(dns, host.data(), static_cast<int>(host.size())) != 1) {
      ASN1_IA5STRING_free(dns);
      GENERAL_NAME_free(name);
      SetError(error, "out of memory");
      return nullptr;
    }
    GENERAL_NAME_set0_value(name, GEN_DNS, dns);
  }
  if (sk_GENERAL_NAME_push(names.get(), name) == 0) {
    GENERAL_NAME_free(name);
    SetError(error, "out of memory");
    return nullptr;
  }
  return names;
}

// A server certificate for `host` with `names`, carrying `leaf_key`'s public
// key, issued and signed by the CA (`ca_cert`, `ca_key`); it never outlives
// the CA's own certificate. Null, with *error set, when OpenSSL fails.
X509Ptr MintLeaf(const std::string& host, GENERAL_NAMES* names, X509* ca_cert,
                 EVP_PKEY* ca_key, EVP_PKEY* leaf_key, std::string* error) {
  X509Ptr leaf(X509_new());
  bool ok = leaf && X509_set_version(leaf.get(), X509_VERSION_3) == 1 &&
            RandomSerial(leaf.get()) &&
            X509_gmtime_adj(X509_getm_notBefore(leaf.get()), -kBackdateSeconds) &&
            X509_gmtime_adj(X509_getm_notAfter(leaf.get()), kLeafLifetimeSeconds);
  if (ok && ASN1_TIME_compare(X509_get0_notAfter(leaf.get()),
                              X509_get0_notAfter(ca_cert)) > 0) {
    ok = X509_set1_notAfter(leaf.get(), X509_get0_notAfter(ca_cert)) == 1;
  }
  if (ok) {
    X509_NAME* subject = X509_get_subject_name(leaf.get());
    // A common name holds at most 64 characters; longer names live in the
    // subject alternative name only, which is what browsers check anyway.
    const char* field = host.size() <= 64 ? "CN" : "O";
    const std::string value = host.size() <= 64 ? host : std::string(kCaOrganization);
    ok = X509_NAME_add_entry_by_txt(subject, field, MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(value.c_str()),
                                    -1, -1, 0) == 1 &&
         X509_set_issuer_name(leaf.get(), X509_get_subject_name(ca_cert)) == 1 &&
         X509_set_pubkey(leaf.get(), leaf_key) == 1;
  }
  if (ok) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, ca_cert, leaf.get(), nullptr, nullptr, 0);
    ok = AddExtension(leaf.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(leaf.get(), &ctx, NID_key_usage, "critical,digitalSignature") &&
         AddExtension(leaf.get(), &ctx, NID_ext_key_usage, "serverAuth") &&
         AddExtension(leaf.get(), &ctx, NID_subject_key_identifier, "hash") &&
         AddExtension(leaf.get(), &ctx, NID_authority_key_identifier, "keyid:always") &&
         X509_add1_ext_i2d(leaf.get(), NID_subject_alt_name, names, 0,
                           X509V3_ADD_DEFAULT) == 1 &&
         X509_sign(leaf.get(), ca_key, EVP_sha256()) > 0;
  }
  if (!ok) {
    SetError(error, "cannot make a certificate for " + host + ": " + OpenSslReason());
    return nullptr;
  }
  return leaf;
}

// A TLS 1.2+ server context presenting `leaf` (key `leaf_key`) with the CA's
// certificate in its chain, offering HTTP/1.1 by ALPN. Null, with *error set,
// when OpenSSL fails.
std::shared_ptr<SSL_CTX> LeafServerContext(const std::string& host, X509* leaf,
                                           EVP_PKEY* leaf_key, X509* ca_cert,
                                           std::string* error) {
  std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_use_certificate(context.get(), leaf) != 1 ||
      SSL_CTX_use_PrivateKey(context.get(), leaf_key) != 1 ||
      SSL_CTX_add1_chain_cert(context.get(), ca_cert) != 1 ||
      SSL_CTX_check_private_key(context.get()) != 1) {
    SetError(error, "cannot make a TLS context for " + host + ": " + OpenSslReason());
    return nullptr;
  }
  SSL_CTX_set_options(context.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                         SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_alpn_select_cb(context.get(), SelectAlpn, nullptr);
  return context;
}

}  // namespace

std::wstring LocalCaCertificatePath() { return UserFile(L"local-ca.pem"); }
std::wstring LocalCaKeyPath() { return UserFile(L"local-ca.key"); }

bool LocalCaPresent() {
  return platform::PathExists(LocalCaCertificatePath()) &&
         platform::PathExists(LocalCaKeyPath());
}

std::string LocalCaFilesStamp() {
  std::string certificate = platform::FileVersionStamp(LocalCaCertificatePath());
  std::string key = platform::FileVersionStamp(LocalCaKeyPath());
  if (certificate.empty() || key.empty()) return std::string();
  return certificate + "|" + key;
}

bool CreateLocalCa(int days, std::string* error) {
  if (days < 1 || days > 3650) {
    SetError(error, "the validity must be 1 to 3650 days");
    return false;
  }
  const std::wstring cert_path = LocalCaCertificatePath();
  const std::wstring key_path = LocalCaKeyPath();
  if (platform::PathExists(cert_path) || platform::PathExists(key_path)) {
    SetError(error, "a local CA already exists in " +
                        platform::ToNarrow(platform::UserFolderPath()) +
                        " (remove it first with: cvie ca remove)");
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(platform::ToNarrow(platform::UserFolderPath()), ec);
  if (ec) {
    SetError(error, "cannot create the folder " +
                        platform::ToNarrow(platform::UserFolderPath()) + ": " +
                        ec.message());
    return false;
  }

  PkeyPtr key = NewP256Key();
  if (!key) {
    SetError(error, "cannot make a key: " + OpenSslReason());
    return false;
  }
  X509Ptr cert = MakeCaCertificate(key.get(), days);
  if (!cert) {
    SetError(error, "cannot make the certificate: " + OpenSslReason());
    return false;
  }
  BioPtr key_bio(BIO_new(BIO_s_secmem()));
  BioPtr cert_bio(BIO_new(BIO_s_mem()));
  if (!key_bio || !cert_bio ||
      PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) != 1 ||
      PEM_write_bio_X509(cert_bio.get(), cert.get()) != 1) {
    SetError(error, "cannot encode the CA: " + OpenSslReason());
    return false;
  }
  std::string key_pem = BioText(key_bio.get());
  const std::string cert_pem = BioText(cert_bio.get());

  // The key first: a certificate without its key is useless, while a key left
  // alone (the certificate failed) is removed again below.
  bool ok = WriteFileAtomically(key_path, key_pem, 0600, false, error);
  OPENSSL_cleanse(key_pem.data(), key_pem.size());
  if (!ok) return false;
  if (!WriteFileAtomically(cert_path, cert_pem, 0644, false, error)) {
    platform::DeleteFileAt(key_path);
    return false;
  }
  return true;
}

bool ExportLocalCa(const std::wstring& path, std::string* error) {
  std::string pem;
  if (!platform::PathExists(LocalCaCertificatePath()) ||
      !ReadSmallFile(LocalCaCertificatePath(), &pem)) {
    SetError(error, "no local CA (make one with: cvie ca create)");
    return false;
  }
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) {
    ERR_clear_error();
    SetError(error, "the local CA certificate " +
                        platform::ToNarrow(LocalCaCertificatePath()) + " is damaged");
    return false;
  }
  if (path.empty()) {
    if (fwrite(pem.data(), 1, pem.size(), stdout) != pem.size() || fflush(stdout) != 0) {
      SetError(error, "cannot write the certificate to standard output");
      return false;
    }
    return true;
  }
  return WriteFileAtomically(path, pem, 0644, true, error);
}

bool RemoveLocalCa(std::string* error) {
  bool ok = true;
  std::string failed;
  for (const std::wstring& path : {LocalCaKeyPath(), LocalCaCertificatePath()}) {
    if (platform::PathExists(path) && !platform::DeleteFileAt(path)) {
      ok = false;
      failed = platform::ToNarrow(path);
    }
  }
  if (!ok) SetError(error, "cannot delete " + failed);
  return ok;
}

LocalCa::LocalCa(X509* certificate, EVP_PKEY* key)
    : certificate_(certificate), key_(key) {}

LocalCa::~LocalCa() {
  X509_free(certificate_);
  EVP_PKEY_free(key_);
  EVP_PKEY_free(leaf_key_);
}

std::unique_ptr<LocalCa> LocalCa::Load(std::string* error) {
  const std::wstring cert_path = LocalCaCertificatePath();
  const std::wstring key_path = LocalCaKeyPath();
  if (!platform::PathExists(cert_path) || !platform::PathExists(key_path)) {
    SetError(error, "no local CA (make one with: cvie ca create)");
    return nullptr;
  }
  // A key others may read (or replace) is no secret: every site certificate
  // minted with it could be forged by them.
  if (std::string why; !platform::FileIsPrivate(key_path, &why)) {
    SetError(error, "the local CA key " + platform::ToNarrow(key_path) + " " + why +
                        "; it is not used until only you can read it (chmod 600, owned "
                        "by you)");
    return nullptr;
  }
  std::string cert_pem;
  std::string key_pem;
  if (!ReadSmallFile(cert_path, &cert_pem)) {
    SetError(error, "cannot read " + platform::ToNarrow(cert_path));
    return nullptr;
  }
  if (!ReadSmallFile(key_path, &key_pem)) {
    SetError(error, "cannot read " + platform::ToNarrow(key_path));
    return nullptr;
  }
  std::unique_ptr<LocalCa> ca = FromPem(cert_pem, key_pem, error);
  OPENSSL_cleanse(key_pem.data(), key_pem.size());
  return ca;
}

std::unique_ptr<LocalCa> LocalCa::FromPem(const std::string& certificate_pem,
                                          const std::string& key_pem,
                                          std::string* error) {
  if (certificate_pem.size() > kMaxFileBytes || key_pem.size() > kMaxFileBytes) {
    SetError(error, "the local CA files are too large to be ours");
    return nullptr;
  }
  BioPtr cert_bio(
      BIO_new_mem_buf(certificate_pem.data(), static_cast<int>(certificate_pem.size())));
  X509Ptr cert(cert_bio ? PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr)
                        : nullptr);
  if (!cert) {
    ERR_clear_error();
    SetError(error, "the local CA certificate is damaged");
    return nullptr;
  }
  // A passphrase callback that gives none: a protected key fails instead of
  // prompting on the terminal.
  auto no_passphrase = [](char*, int, int, void*) -> int { return -1; };
  BioPtr key_bio(BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())));
  PkeyPtr key(
      key_bio ? PEM_read_bio_PrivateKey(key_bio.get(), nullptr, no_passphrase, nullptr)
              : nullptr);
  if (!key) {
    ERR_clear_error();
    SetError(error, "the local CA key is damaged");
    return nullptr;
  }
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    SetError(error, "the local CA key does not belong to its certificate");
    return nullptr;
  }
  if (X509_check_ca(cert.get()) == 0) {
    ERR_clear_error();
    SetError(error, "the local CA certificate is not a CA certificate");
    return nullptr;
  }
  PkeyPtr leaf_key = NewP256Key();
  if (!leaf_key) {
    SetError(error, "cannot make a key: " + OpenSslReason());
    return nullptr;
  }
  std::unique_ptr<LocalCa> ca(new LocalCa(cert.release(), key.release()));
  ca->leaf_key_ = leaf_key.release();
  return ca;
}

std::shared_ptr<SSL_CTX> LocalCa::ServerContextFor(const std::string& requested_host,
                                                   std::string* error) {
  const std::string host = NormalizeHost(requested_host);
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = contexts_.find(host);
    if (it != contexts_.end()) return it->second;
  }

  // Minting happens outside the lock so that hosts do not wait on each other;
  // when two threads mint the same host at once, the first one stored wins.
  GeneralNamesPtr names = LeafNames(host, requested_host, error);
  if (!names) return nullptr;
  X509Ptr leaf = MintLeaf(host, names.get(), certificate_, key_, leaf_key_, error);
  if (!leaf) return nullptr;
  std::shared_ptr<SSL_CTX> context =
      LeafServerContext(host, leaf.get(), leaf_key_, certificate_, error);
  if (!context) return nullptr;

  std::lock_guard<std::mutex> lock(mu_);
  auto it = contexts_.find(host);
  if (it != contexts_.end()) return it->second;
  if (contexts_.size() >= kMaxCachedContexts) contexts_.clear();
  contexts_.emplace(host, context);
  return context;
}

std::string LocalCa::SpkiSha256Base64() const {
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(X509_get0_pubkey(certificate_), &der);
  if (length <= 0) return std::string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  const bool ok = EVP_Digest(der, static_cast<size_t>(length), digest, &digest_length,
                             EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!ok) return std::string();
  unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  const int encoded_length =
      EVP_EncodeBlock(encoded, digest, static_cast<int>(digest_length));
  return std::string(reinterpret_cast<char*>(encoded),
                     static_cast<size_t>(encoded_length));
}

std::string LocalCa::CertificatePem() const {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), certificate_) != 1) {
    ERR_clear_error();
    return std::string();
  }
  return BioText(bio.get());
}

}  // namespace cvie::https
