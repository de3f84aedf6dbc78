#include "platform/url.h"

#include <ctype.h>
#include <curl/curl.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "platform/url_crack_internal.h"
#include "platform/urlmon_internal.h"

namespace cvie::platform {

namespace {

struct SchemeNumber {
  const char* name;
  INTERNET_SCHEME scheme;
};
const SchemeNumber kSchemeNumbers[] = {
    {"ftp", INTERNET_SCHEME_FTP},
    {"gopher", INTERNET_SCHEME_GOPHER},
    {"http", INTERNET_SCHEME_HTTP},
    {"https", INTERNET_SCHEME_HTTPS},
    {"file", INTERNET_SCHEME_FILE},
    {"news", INTERNET_SCHEME_NEWS},
    {"mailto", INTERNET_SCHEME_MAILTO},
    {"socks", INTERNET_SCHEME_SOCKS},
    {"javascript", INTERNET_SCHEME_JAVASCRIPT},
    {"vbscript", INTERNET_SCHEME_VBSCRIPT},
    {"res", INTERNET_SCHEME_RES},
};

INTERNET_SCHEME SchemeFromName(const std::string& lower_name) {
  for (const SchemeNumber& s : kSchemeNumbers) {
    if (lower_name == s.name) return s.scheme;
  }
  return INTERNET_SCHEME_UNKNOWN;
}

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Length of a leading "scheme:" (letters, digits, '+', '-', '.', first a
// letter), without the colon; 0 when the text does not start with one.
size_t SchemeLength(const std::string& text) {
  if (text.empty() || !isalpha(static_cast<unsigned char>(text[0]))) return 0;
  for (size_t i = 1; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ':') return i;
    if (!isalnum(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// Takes one part out of a parsed handle; false when the address lacks it.
bool Part(CURLU* handle, CURLUPart part, unsigned int flags, std::string* out) {
  out->clear();
  char* value = nullptr;
  if (curl_url_get(handle, part, &value, flags) != CURLUE_OK || !value) return false;
  *out = value;
  curl_free(value);
  return true;
}

}  // namespace

// --- UTF-8 <-> wide ------------------------------------------------------------

std::string NarrowUtf8(const std::wstring& wide) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t wc : wide) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::wstring WideUtf8(const std::string& narrow) {
  std::wstring out;
  out.reserve(narrow.size());
  size_t i = 0;
  while (i < narrow.size()) {
    unsigned char b = static_cast<unsigned char>(narrow[i]);
    uint32_t c;
    size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out.push_back(L'\xFFFD');
      ++i;
      continue;
    }
    if (i + extra >= narrow.size()) {  // cut short
      out.push_back(L'\xFFFD');
      ++i;
      continue;
    }
    bool good = true;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char cont = static_cast<unsigned char>(narrow[i + k]);
      if ((cont & 0xC0) != 0x80) {
        good = false;
        break;
      }
      c = (c << 6) | (cont & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (!good || c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(L'\xFFFD');
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(c));
    i += extra + 1;
  }
  return out;
}

// --- Cracking --------------------------------------------------------------------

bool CrackUrl(const std::wstring& url, CrackedUrl* out, bool decode) {
  if (!out) return false;
  *out = CrackedUrl();
  std::string text = NarrowUtf8(url);
  size_t scheme_length = SchemeLength(text);
  if (scheme_length == 0) return false;
  std::string scheme = AsciiLower(text.substr(0, scheme_length));
  bool has_authority = text.compare(scheme_length, 3, "://") == 0;

  if (!has_authority) {
    // "javascript:...", "mailto:a@b", "about:blank": no host to split out.
    std::string rest = text.substr(scheme_length + 1);
    out->scheme = SchemeFromName(scheme);
    out->scheme_name = WideUtf8(scheme);
    out->path = WideUtf8(decode ? PercentDecode(rest) : rest);
    return true;
  }

  EnsureCurlInitialized();
  CURLU* handle = curl_url();
  if (!handle) return false;
  CURLUcode rc = curl_url_set(handle, CURLUPART_URL, text.c_str(),
                              CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS);
  if (rc != CURLUE_OK) {
    curl_url_cleanup(handle);
    return false;
  }
  unsigned int decode_flag = decode ? CURLU_URLDECODE : 0;
  std::string host, port, user, password, path, query, fragment;
  Part(handle, CURLUPART_HOST, 0, &host);
  Part(handle, CURLUPART_PORT, CURLU_DEFAULT_PORT, &port);
  Part(handle, CURLUPART_USER, decode_flag, &user);
  Part(handle, CURLUPART_PASSWORD, decode_flag, &password);
  Part(handle, CURLUPART_PATH, decode_flag, &path);
  bool has_query = Part(handle, CURLUPART_QUERY, decode_flag, &query);
  bool has_fragment = Part(handle, CURLUPART_FRAGMENT, decode_flag, &fragment);
  out->scheme = SchemeFromName(scheme);
  out->scheme_name = WideUtf8(scheme);
  out->host = WideUtf8(host);
  out->port = port.empty() ? 0 : static_cast<INTERNET_PORT>(atoi(port.c_str()));
  out->user = WideUtf8(user);
  out->password = WideUtf8(password);
  out->path = WideUtf8(path);
  std::string extra;
  if (has_query) extra += "?" + query;
  if (has_fragment) extra += "#" + fragment;
  out->extra = WideUtf8(extra);
  curl_url_cleanup(handle);
  return true;
}

bool StartsWithSchemeName(const std::wstring& text) {
  return SchemeLength(NarrowUtf8(text)) != 0;
}

}  // namespace cvie::platform
