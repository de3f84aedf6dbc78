// The part of the address layer every system shares: UrlScheme and UrlHost,
// and InternetCrackUrlW, which copies the parts CrackUrl splits into the
// caller's buffers with WinINet's rules for lengths and errors.

#include <wchar.h>

#include "platform/url.h"
#include "platform/url_crack_internal.h"

namespace cvie::platform {
namespace {

thread_local DWORD last_crack_error = 0;

}  // namespace

INTERNET_SCHEME UrlScheme(const std::wstring& url) {
  CrackedUrl cracked;
  if (!CrackUrl(url, &cracked)) return INTERNET_SCHEME_UNKNOWN;
  return cracked.scheme;
}

std::wstring UrlHost(const std::wstring& url) {
  CrackedUrl cracked;
  if (!CrackUrl(url, &cracked)) return L"";
  return cracked.host;
}

DWORD InternetCrackUrlLastError() { return last_crack_error; }

namespace {

// Copies one part into the caller's buffer; false when it does not fit.
bool CopyPart(const std::wstring& part, LPWSTR buffer, DWORD* length, bool* too_small) {
  if (*length == 0) return true;  // not asked for
  if (!buffer) return false;
  if (part.size() + 1 > *length) {
    *too_small = true;
    *length = static_cast<DWORD>(part.size() + 1);  // what it needs
    return false;
  }
  wmemcpy(buffer, part.c_str(), part.size() + 1);
  *length = static_cast<DWORD>(part.size());
  return true;
}

}  // namespace

BOOL InternetCrackUrlW(LPCWSTR url, DWORD url_length, DWORD flags,
                       URL_COMPONENTSW* components) {
  last_crack_error = 0;
  if (!url || !components || components->dwStructSize != sizeof(URL_COMPONENTSW)) {
    last_crack_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  struct Wanted {
    LPWSTR buffer;
    DWORD length;
  };
  const Wanted wanted[] = {
      {components->lpszScheme, components->dwSchemeLength},
      {components->lpszHostName, components->dwHostNameLength},
      {components->lpszUserName, components->dwUserNameLength},
      {components->lpszPassword, components->dwPasswordLength},
      {components->lpszUrlPath, components->dwUrlPathLength},
      {components->lpszExtraInfo, components->dwExtraInfoLength},
  };
  for (const Wanted& w : wanted) {
    if (w.length != 0 && !w.buffer) {
      last_crack_error = ERROR_INVALID_PARAMETER;
      return 0;
    }
  }

  std::wstring text = url_length ? std::wstring(url, url_length) : std::wstring(url);
  CrackedUrl cracked;
  if (!CrackUrl(text, &cracked, (flags & ICU_DECODE) != 0)) {
    last_crack_error = StartsWithSchemeName(text) ? ERROR_INTERNET_INVALID_URL
                                                  : ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    return 0;
  }
  components->nScheme = cracked.scheme;
  components->nPort = cracked.port;
  std::wstring path = cracked.path;
  if (components->dwExtraInfoLength == 0) path += cracked.extra;

  bool too_small = false;
  bool ok = true;
  ok = CopyPart(cracked.scheme_name, components->lpszScheme, &components->dwSchemeLength,
                &too_small) &&
       ok;
  ok = CopyPart(cracked.host, components->lpszHostName, &components->dwHostNameLength,
                &too_small) &&
       ok;
  ok = CopyPart(cracked.user, components->lpszUserName, &components->dwUserNameLength,
                &too_small) &&
       ok;
  ok = CopyPart(cracked.password, components->lpszPassword, &components->dwPasswordLength,
                &too_small) &&
       ok;
  ok =
      CopyPart(path, components->lpszUrlPath, &components->dwUrlPathLength, &too_small) &&
      ok;
  ok = CopyPart(cracked.extra, components->lpszExtraInfo, &components->dwExtraInfoLength,
                &too_small) &&
       ok;
  if (!ok) {
    last_crack_error = too_small ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER;
    return 0;
  }
  return 1;
}

}  // namespace cvie::platform
