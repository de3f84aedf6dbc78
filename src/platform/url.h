// platform/url.h
//
// Splitting an address into scheme, host, port, user, password, path and
// extra information, standing in for WinINet's InternetCrackUrlW. The parsing
// is libcurl's URL API; wide strings in, wide strings out (UTF-8 between).
//
// Addresses with an authority ("http://host/...", "file:///path") are parsed
// by libcurl, which accepts any scheme of that form. Addresses without one
// ("javascript:...", "mailto:...", "about:blank") give their scheme and the
// rest as path, with an empty host. Text without a scheme ("www.example.com")
// cannot be split.
//
// Thread safety: every function may be called from any thread.

#pragma once

#include <stdint.h>

#include <string>

#include "platform/com.h"
#include "platform/registry.h"  // the Windows error codes

namespace cvie::platform {

enum INTERNET_SCHEME {
  INTERNET_SCHEME_PARTIAL = -2,
  INTERNET_SCHEME_UNKNOWN = -1,
  INTERNET_SCHEME_DEFAULT = 0,
  INTERNET_SCHEME_FTP = 1,
  INTERNET_SCHEME_GOPHER = 2,
  INTERNET_SCHEME_HTTP = 3,
  INTERNET_SCHEME_HTTPS = 4,
  INTERNET_SCHEME_FILE = 5,
  INTERNET_SCHEME_NEWS = 6,
  INTERNET_SCHEME_MAILTO = 7,
  INTERNET_SCHEME_SOCKS = 8,
  INTERNET_SCHEME_JAVASCRIPT = 9,
  INTERNET_SCHEME_VBSCRIPT = 10,
  INTERNET_SCHEME_RES = 11,
};

typedef uint16_t INTERNET_PORT;

// Flags of InternetCrackUrlW.
constexpr DWORD ICU_ESCAPE = 0x80000000;  // accepted; the parts come out as written
constexpr DWORD ICU_DECODE = 0x10000000;  // percent-decode user, password, path, extra

// Error codes InternetCrackUrlW leaves for InternetCrackUrlLastError (the
// Windows codes; ERROR_INVALID_PARAMETER is the registry layer's).
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
constexpr DWORD ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;

// What to split out and where to put it. For each part: a buffer in
// lpszXxx with its capacity in dwXxxLength (characters, with room for the
// terminating zero) receives a copy, and dwXxxLength is set to the copied
// length without the zero; a length of 0 leaves the part alone. Only the
// copying form is supported: a null buffer with a non-zero length is an
// invalid parameter.
struct URL_COMPONENTSW {
  DWORD dwStructSize = sizeof(URL_COMPONENTSW);
  LPWSTR lpszScheme = nullptr;
  DWORD dwSchemeLength = 0;
  INTERNET_SCHEME nScheme = INTERNET_SCHEME_UNKNOWN;
  LPWSTR lpszHostName = nullptr;
  DWORD dwHostNameLength = 0;
  INTERNET_PORT nPort = 0;
  LPWSTR lpszUserName = nullptr;
  DWORD dwUserNameLength = 0;
  LPWSTR lpszPassword = nullptr;
  DWORD dwPasswordLength = 0;
  LPWSTR lpszUrlPath = nullptr;
  DWORD dwUrlPathLength = 0;
  LPWSTR lpszExtraInfo = nullptr;
  DWORD dwExtraInfoLength = 0;
};

// Splits `url` (`url_length` characters, or up to its zero when 0). TRUE on
// success, with nScheme and nPort always set (the scheme's default port when
// the address names none). FALSE when the address cannot be split or a
// buffer is too small; InternetCrackUrlLastError then tells why. When the
// extra information is not asked for, the path includes it ("?q#f").
BOOL InternetCrackUrlW(LPCWSTR url, DWORD url_length, DWORD flags,
                       URL_COMPONENTSW* components);
// The error of this thread's last failed InternetCrackUrlW (0 after success).
DWORD InternetCrackUrlLastError();

// The same split for C++ callers.
struct CrackedUrl {
  INTERNET_SCHEME scheme = INTERNET_SCHEME_UNKNOWN;
  std::wstring scheme_name;  // lower case, e.g. L"https"
  std::wstring host;         // as written; empty when the address has none
  INTERNET_PORT port = 0;    // the scheme's default when not given; 0 if none
  std::wstring user;
  std::wstring password;
  std::wstring path;   // "/a/b"; for "mailto:a@b" forms, the text after the colon
  std::wstring extra;  // "?query#fragment", empty when absent
};
// False when the address cannot be split. With `decode`, user, password,
// path and extra are percent-decoded.
bool CrackUrl(const std::wstring& url, CrackedUrl* out, bool decode = false);

// The scheme of an address, INTERNET_SCHEME_UNKNOWN when it cannot be split
// or its scheme has no number.
INTERNET_SCHEME UrlScheme(const std::wstring& url);
// The host of an address; empty when it has none or cannot be split.
std::wstring UrlHost(const std::wstring& url);

}  // namespace cvie::platform
