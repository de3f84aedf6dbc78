#include "config/update_server.h"

#include <stdlib.h>

#include <mutex>

#include "platform/text.h"

namespace cvie {
namespace {

std::mutex g_mutex;
std::wstring& Override() {
  static auto* url = new std::wstring();
  return *url;
}

std::wstring WithoutTrailingSlashes(std::wstring url) {
  while (!url.empty() && url.back() == L'/') url.pop_back();
  return url;
}

}  // namespace

std::wstring UpdateServerUrl() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!Override().empty()) return Override();
  }
  const char* env = getenv("CVIE_UPDATE_SERVER");
  if (env && *env) return WithoutTrailingSlashes(platform::ToWide(env));
  return kDefaultUpdateServer;
}

void SetUpdateServerUrl(const std::wstring& url) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Override() = WithoutTrailingSlashes(url);
}

std::wstring VersionFileUrl() { return UpdateServerUrl() + L"/downloads/cvie.ver"; }

std::wstring DefaultRuleFileUrl() { return UpdateServerUrl() + L"/downloads/cvie.rle"; }

}  // namespace cvie
