// The address-splitting layer on Windows: WinINet's InternetCrackUrlW splits
// addresses with an authority ("scheme://..."); addresses without one
// ("javascript:...", "mailto:a@b", "about:blank") give their scheme and the
// rest as path, as on Linux. InternetCrackUrlW, which copies the parts into
// the caller's buffers, is shared with the Linux layer
// (platform/url_components.cc).

#include "platform/url.h"

#include <ctype.h>
#include <wchar.h>

#include <string>

#include "platform/text.h"
#include "platform/url_crack_internal.h"
#include "platform/win/win32.h"

#include <wininet.h>

#undef InternetCrackUrl
#undef ICU_ESCAPE
#undef ICU_DECODE
#undef ERROR_INSUFFICIENT_BUFFER
#undef ERROR_INTERNET_INVALID_URL
#undef ERROR_INTERNET_UNRECOGNIZED_SCHEME

namespace cvie::platform {
namespace {

struct SchemeNumber {
  const wchar_t* name;
  INTERNET_SCHEME scheme;
};
const SchemeNumber kSchemeNumbers[] = {
    {L"ftp", INTERNET_SCHEME_FTP},
    {L"gopher", INTERNET_SCHEME_GOPHER},
    {L"http", INTERNET_SCHEME_HTTP},
    {L"https", INTERNET_SCHEME_HTTPS},
    {L"file", INTERNET_SCHEME_FILE},
    {L"news", INTERNET_SCHEME_NEWS},
    {L"mailto", INTERNET_SCHEME_MAILTO},
    {L"socks", INTERNET_SCHEME_SOCKS},
    {L"javascript", INTERNET_SCHEME_JAVASCRIPT},
    {L"vbscript", INTERNET_SCHEME_VBSCRIPT},
    {L"res", INTERNET_SCHEME_RES},
};

INTERNET_SCHEME SchemeFromName(const std::wstring& lower_name) {
  for (const SchemeNumber& s : kSchemeNumbers) {
    if (lower_name == s.name) return s.scheme;
  }
  return INTERNET_SCHEME_UNKNOWN;
}

std::wstring AsciiLower(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

// Length of a leading "scheme:" without the colon; 0 when there is none.
size_t SchemeLength(const std::wstring& text) {
  if (text.empty() || !iswalpha(text[0]) || text[0] > 0x7F) return 0;
  for (size_t i = 1; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (c == L':') return i;
    if (c > 0x7F || (!iswalnum(c) && c != L'+' && c != L'-' && c != L'.')) return 0;
  }
  return 0;
}

// Percent-decodes the UTF-8 form of `text`.
std::wstring PercentDecode(const std::wstring& text) {
  std::string narrow = ToNarrow(text), out;
  for (size_t i = 0; i < narrow.size(); ++i) {
    if (narrow[i] == '%' && i + 2 < narrow.size() &&
        isxdigit(static_cast<unsigned char>(narrow[i + 1])) &&
        isxdigit(static_cast<unsigned char>(narrow[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(narrow.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(narrow[i]);
    }
  }
  return ToWide(out);
}

}  // namespace

bool CrackUrl(const std::wstring& url, CrackedUrl* out, bool decode) {
  if (!out) return false;
  *out = CrackedUrl();
  size_t scheme_length = SchemeLength(url);
  if (scheme_length == 0) return false;
  std::wstring scheme = AsciiLower(url.substr(0, scheme_length));
  out->scheme = SchemeFromName(scheme);
  out->scheme_name = scheme;
  if (url.compare(scheme_length, 3, L"://") != 0) {
    std::wstring rest = url.substr(scheme_length + 1);
    out->path = decode ? PercentDecode(rest) : rest;
    return true;
  }

  // WinINet points into the address: a null buffer with a non-zero length
  // asks for a pointer and a length.
  ::URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUserNameLength =
      parts.dwPasswordLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
  if (!::InternetCrackUrlW(url.c_str(), static_cast<::DWORD>(url.size()), 0, &parts)) {
    *out = CrackedUrl();
    return false;
  }
  auto part = [](const wchar_t* p, ::DWORD n) {
    return p ? std::wstring(p, n) : std::wstring();
  };
  out->host = part(parts.lpszHostName, parts.dwHostNameLength);
  out->port = parts.nPort;
  out->user = part(parts.lpszUserName, parts.dwUserNameLength);
  out->password = part(parts.lpszPassword, parts.dwPasswordLength);
  out->path = part(parts.lpszUrlPath, parts.dwUrlPathLength);
  out->extra = part(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  // The layer's answers whatever WinINet's habits: a file address names no
  // host but this machine ("localhost" is dropped, another host is refused);
  // other addresses need a host, and their path is at least "/".
  if (out->scheme == INTERNET_SCHEME_FILE) {
    if (!out->host.empty() && AsciiLower(out->host) != L"localhost") {
      *out = CrackedUrl();
      return false;
    }
    out->host.clear();
    out->port = 0;
  } else {
    if (out->host.empty()) {
      *out = CrackedUrl();
      return false;
    }
    if (out->path.empty()) out->path = L"/";
  }
  if (decode) {
    out->user = PercentDecode(out->user);
    out->password = PercentDecode(out->password);
    out->path = PercentDecode(out->path);
    out->extra = PercentDecode(out->extra);
  }
  return true;
}

bool StartsWithSchemeName(const std::wstring& text) { return SchemeLength(text) != 0; }

}  // namespace cvie::platform
