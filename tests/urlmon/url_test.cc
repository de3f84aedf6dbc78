// Splitting addresses: scheme, host, port, path, extra information.

#include "platform/url.h"

#include <gtest/gtest.h>

using namespace cvie;

namespace {

struct CrackCase {
  const wchar_t* url;
  bool ok;
  platform::INTERNET_SCHEME scheme;
  const wchar_t* scheme_name;
  const wchar_t* host;
  platform::INTERNET_PORT port;
  const wchar_t* path;
  const wchar_t* extra;
};

const CrackCase kCrackCases[] = {
    {L"http://www.example.com/index.html", true, platform::INTERNET_SCHEME_HTTP, L"http",
     L"www.example.com", 80, L"/index.html", L""},
    {L"https://Ads.Example.COM:8443/a/b?x=1&y=2#top", true,
     platform::INTERNET_SCHEME_HTTPS, L"https", L"Ads.Example.COM", 8443, L"/a/b",
     L"?x=1&y=2#top"},
    {L"HTTP://X/", true, platform::INTERNET_SCHEME_HTTP, L"http", L"X", 80, L"/", L""},
    {L"http://h", true, platform::INTERNET_SCHEME_HTTP, L"http", L"h", 80, L"/", L""},
    {L"file:///home/user/page.html", true, platform::INTERNET_SCHEME_FILE, L"file", L"",
     0, L"/home/user/page.html", L""},
    {L"file://localhost/tmp/a.htm", true, platform::INTERNET_SCHEME_FILE, L"file", L"", 0,
     L"/tmp/a.htm", L""},
    {L"ftp://files.example.com/pub/", true, platform::INTERNET_SCHEME_FTP, L"ftp",
     L"files.example.com", 21, L"/pub/", L""},
    {L"about:blank", true, platform::INTERNET_SCHEME_UNKNOWN, L"about", L"", 0, L"blank",
     L""},
    {L"javascript:void(0)", true, platform::INTERNET_SCHEME_JAVASCRIPT, L"javascript",
     L"", 0, L"void(0)", L""},
    {L"mailto:someone@example.com", true, platform::INTERNET_SCHEME_MAILTO, L"mailto",
     L"", 0, L"someone@example.com", L""},
    {L"res://ieframe.dll/navcancl.htm", true, platform::INTERNET_SCHEME_RES, L"res",
     L"ieframe.dll", 0, L"/navcancl.htm", L""},
    {L"cvtest://thing/x", true, platform::INTERNET_SCHEME_UNKNOWN, L"cvtest", L"thing", 0,
     L"/x", L""},
    {L"http://b\u00fccher.example/caf\u00e9", true, platform::INTERNET_SCHEME_HTTP,
     L"http", L"b\u00fccher.example", 80, L"/caf\u00e9", L""},
    {L"www.example.com/page", false, platform::INTERNET_SCHEME_UNKNOWN, L"", L"", 0, L"",
     L""},
    {L"", false, platform::INTERNET_SCHEME_UNKNOWN, L"", L"", 0, L"", L""},
    {L"http://", false, platform::INTERNET_SCHEME_UNKNOWN, L"", L"", 0, L"", L""},
    {L"file://otherhost/share/x", false, platform::INTERNET_SCHEME_UNKNOWN, L"", L"", 0,
     L"", L""},
    {L"1http://x/", false, platform::INTERNET_SCHEME_UNKNOWN, L"", L"", 0, L"", L""},
};

std::string Name(const wchar_t* url) {
  std::wstring w(url);
  return std::string(w.begin(), w.end());
}

}  // namespace

TEST(CrackUrl, SplitsAddressesOfEveryShape) {
  for (const CrackCase& c : kCrackCases) {
    platform::CrackedUrl cracked;
    bool ok = platform::CrackUrl(c.url, &cracked);
    ASSERT_EQ(ok, c.ok) << Name(c.url);
    if (!ok) continue;
    EXPECT_EQ(cracked.scheme, c.scheme) << Name(c.url);
    EXPECT_EQ(cracked.scheme_name, c.scheme_name) << Name(c.url);
    EXPECT_EQ(cracked.host, c.host) << Name(c.url);
    EXPECT_EQ(cracked.port, c.port) << Name(c.url);
    EXPECT_EQ(cracked.path, c.path) << Name(c.url);
    EXPECT_EQ(cracked.extra, c.extra) << Name(c.url);
    EXPECT_EQ(platform::UrlScheme(c.url), c.scheme) << Name(c.url);
    EXPECT_EQ(platform::UrlHost(c.url), c.host) << Name(c.url);
  }
}

TEST(CrackUrl, DecodesOnlyWhenAsked) {
  const wchar_t* url = L"http://u%40x:p%3Aw@h/a%20b/c?q=%41#f%42";
  platform::CrackedUrl raw, decoded;
  ASSERT_TRUE(platform::CrackUrl(url, &raw));
  ASSERT_TRUE(platform::CrackUrl(url, &decoded, true));
  EXPECT_EQ(raw.path, L"/a%20b/c");
  EXPECT_EQ(decoded.path, L"/a b/c");
  EXPECT_EQ(raw.user, L"u%40x");
  EXPECT_EQ(decoded.user, L"u@x");
  EXPECT_EQ(decoded.password, L"p:w");
  EXPECT_EQ(decoded.extra, L"?q=A#fB");
  EXPECT_EQ(raw.host, L"h");
}

TEST(InternetCrackUrlW, CopiesTheAskedPartsIntoBuffers) {
  wchar_t scheme[16], host[1000], path[64], extra[64];
  platform::URL_COMPONENTSW parts;
  parts.lpszScheme = scheme;
  parts.dwSchemeLength = 16;
  parts.lpszHostName = host;
  parts.dwHostNameLength = 1000;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 64;
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = 64;
  ASSERT_TRUE(platform::InternetCrackUrlW(L"https://ads.example.net:444/x/y.js?z=1", 0, 0,
                                          &parts));
  EXPECT_EQ(platform::InternetCrackUrlLastError(), 0u);
  EXPECT_EQ(parts.nScheme, platform::INTERNET_SCHEME_HTTPS);
  EXPECT_EQ(parts.nPort, 444);
  EXPECT_EQ(std::wstring(scheme), L"https");
  EXPECT_EQ(parts.dwSchemeLength, 5u);
  EXPECT_EQ(std::wstring(host), L"ads.example.net");
  EXPECT_EQ(parts.dwHostNameLength, 15u);
  EXPECT_EQ(std::wstring(path), L"/x/y.js");
  EXPECT_EQ(std::wstring(extra), L"?z=1");

  // Without extra information asked for, the path carries it.
  platform::URL_COMPONENTSW path_only;
  path_only.lpszUrlPath = path;
  path_only.dwUrlPathLength = 64;
  ASSERT_TRUE(platform::InternetCrackUrlW(L"http://h/p?q#f", 0, 0, &path_only));
  EXPECT_EQ(std::wstring(path), L"/p?q#f");
  EXPECT_EQ(path_only.nScheme, platform::INTERNET_SCHEME_HTTP);

  // Only the given length of the text counts.
  platform::URL_COMPONENTSW counted;
  counted.lpszHostName = host;
  counted.dwHostNameLength = 1000;
  ASSERT_TRUE(
      platform::InternetCrackUrlW(L"http://short/and-more-text", 12, 0, &counted));
  EXPECT_EQ(std::wstring(host), L"short");
}

TEST(InternetCrackUrlW, ReportsWhyItFailed) {
  struct Case {
    const char* name;
    const wchar_t* url;
    DWORD host_capacity;
    bool null_buffer;
    DWORD error;
  };
  const Case cases[] = {
      {"no scheme", L"www.example.com", 100, false,
       platform::ERROR_INTERNET_UNRECOGNIZED_SCHEME},
      {"broken address", L"http://", 100, false, platform::ERROR_INTERNET_INVALID_URL},
      {"host does not fit", L"http://a-long-host-name.example/", 8, false,
       platform::ERROR_INSUFFICIENT_BUFFER},
      {"length without a buffer", L"http://h/", 100, true,
       platform::ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    wchar_t host[100] = L"untouched";
    platform::URL_COMPONENTSW parts;
    parts.lpszHostName = c.null_buffer ? nullptr : host;
    parts.dwHostNameLength = c.host_capacity;
    EXPECT_FALSE(platform::InternetCrackUrlW(c.url, 0, 0, &parts)) << c.name;
    EXPECT_EQ(platform::InternetCrackUrlLastError(), c.error) << c.name;
    if (c.error == platform::ERROR_INSUFFICIENT_BUFFER) {
      EXPECT_EQ(std::wstring(host), L"untouched") << "nothing written past the buffer";
    }
  }
  platform::URL_COMPONENTSW wrong_size;
  wrong_size.dwStructSize = 4;
  EXPECT_FALSE(platform::InternetCrackUrlW(L"http://h/", 0, 0, &wrong_size));
  EXPECT_EQ(platform::InternetCrackUrlLastError(), platform::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(platform::InternetCrackUrlW(nullptr, 0, 0, &wrong_size));
}
