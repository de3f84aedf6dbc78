#include "lists/site.h"

#include <ctype.h>
#include <libpsl.h>

namespace cvie::lists {

std::string HostOf(std::string_view url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return {};
  for (size_t i = 0; i < scheme_end; ++i) {
    char c = url[i];
    if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
      return {};
    }
  }
  size_t start = scheme_end + 3;
  size_t end = url.find_first_of("/?#\\", start);
  if (end == std::string_view::npos) end = url.size();
  std::string_view authority = url.substr(start, end - start);
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view host = authority;
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    host = close == std::string_view::npos ? host.substr(1) : host.substr(1, close - 1);
  } else {
    size_t colon = host.find(':');
    if (colon != std::string_view::npos) host = host.substr(0, colon);
  }
  std::string lower(host);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  while (!lower.empty() && lower.back() == '.') lower.pop_back();
  return lower;
}

namespace {

bool IsIpAddress(const std::string& host) {
  if (host.find(':') != std::string::npos) return true;
  for (char c : host) {
    if (c != '.' && !isdigit(static_cast<unsigned char>(c))) return false;
  }
  return !host.empty();
}

// The Public Suffix List Debian installs (package publicsuffix), read once;
// libpsl's built-in copy when that file is missing.
const psl_ctx_t* Suffixes() {
  static const psl_ctx_t* context = [] {
    const psl_ctx_t* loaded = psl_latest(nullptr);
    return loaded != nullptr ? loaded : psl_builtin();
  }();
  return context;
}

}  // namespace

std::string SiteOf(const std::string& host) {
  if (host.empty() || IsIpAddress(host)) return host;
  const psl_ctx_t* psl = Suffixes();
  if (psl == nullptr) return host;
  const char* site = psl_registrable_domain(psl, host.c_str());
  return site != nullptr ? std::string(site) : host;
}

bool IsSameOrUnder(std::string_view host, std::string_view domain) {
  if (domain.empty() || host.size() < domain.size()) return false;
  if (host.size() == domain.size()) return host == domain;
  return host.substr(host.size() - domain.size()) == domain &&
         host[host.size() - domain.size() - 1] == '.';
}

}  // namespace cvie::lists
