// SiteOf: the registrable domain from the Public Suffix List (libpsl). Kept
// apart from the plain address functions of site.cc, which builds without
// libpsl use as well.

#include <ctype.h>
#include <libpsl.h>

#include "lists/site.h"

namespace cvie::lists {

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

}  // namespace cvie::lists
