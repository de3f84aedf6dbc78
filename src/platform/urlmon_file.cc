// The default protocol for "file": reads a local file in pieces, so that a
// reader sees it arrive as from a network.

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/url.h"
#include "platform/urlmon_internal.h"

namespace cvie {

namespace {

constexpr size_t kChunk = 64 * 1024;

struct ExtensionType {
  const char* extension;
  const char* mime_type;
};
const ExtensionType kExtensionTypes[] = {
    {".html", "text/html"},
    {".htm", "text/html"},
    {".txt", "text/plain"},
    {".css", "text/css"},
    {".js", "application/javascript"},
    {".json", "application/json"},
    {".xml", "text/xml"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".gif", "image/gif"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".ico", "image/x-icon"},
    {".pdf", "application/pdf"},
};

std::string MimeTypeOfPath(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return "application/octet-stream";
  }
  std::string extension = LowerAscii(path.substr(dot));
  for (const ExtensionType& e : kExtensionTypes) {
    if (extension == e.extension) return e.mime_type;
  }
  return "application/octet-stream";
}

class FileProtocol : public DefaultProtocol {
 public:
  explicit FileProtocol(const BindRequest& request) : DefaultProtocol(request) {}

 protected:
  ~FileProtocol() override { Close(); }

  HRESULT Open(const std::wstring& url, std::string* error) override {
    std::string method = request_.method.empty() ? "GET" : request_.method;
    if (method != "GET" && method != "HEAD") {
      *error = "a file cannot be asked with " + method;
      return INET_E_INVALID_REQUEST;
    }
    platform::CrackedUrl cracked;
    if (!platform::CrackUrl(url, &cracked, true) ||
        cracked.scheme != platform::INTERNET_SCHEME_FILE || cracked.path.empty()) {
      *error = "not a local file address: " + platform::NarrowUtf8(url);
      return INET_E_INVALID_URL;
    }
    path_ = platform::NarrowUtf8(cracked.path);
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      *error = "cannot open " + path_ + ": " + strerror(errno);
      return INET_E_RESOURCE_NOT_FOUND;
    }
    struct stat info;
    if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
      *error = path_ + " is not a file";
      Close();
      return INET_E_RESOURCE_NOT_FOUND;
    }
    std::string mime = MimeTypeOfPath(path_);
    std::vector<HttpHeader> headers = {
        {"Content-Type", mime},
        {"Content-Length", std::to_string(static_cast<long long>(info.st_size))}};
    SetHead(200, "OK", std::move(headers), mime, static_cast<int64_t>(info.st_size));
    if (method == "HEAD") {
      Close();
      Finish(S_OK, "");
    }
    return S_OK;
  }

  bool Fetch(int /*timeout_ms*/) override {
    if (finished()) return true;
    char buffer[kChunk];
    ssize_t n;
    do {
      n = read(fd_, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      Append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      Close();
      Finish(S_OK, "");
    } else {
      std::string text = "cannot read " + path_ + ": " + strerror(errno);
      Close();
      Finish(INET_E_DOWNLOAD_FAILURE, text);
    }
    return true;
  }

  void Close() override {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace

DefaultProtocol* NewFileProtocol(const BindRequest& request) {
  FileProtocol* p = new FileProtocol(request);
  p->AddRef();
  return p;
}

}  // namespace cvie
