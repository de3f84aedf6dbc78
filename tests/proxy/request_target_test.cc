#include "proxy/request_target.h"

#include <gtest/gtest.h>

namespace cvie::proxy {
namespace {

struct TargetCase {
  const char* target;
  TargetForm form;
  const char* scheme;
  const char* host;
  uint16_t port;
  const char* path;
};

const TargetCase kTargets[] = {
    {"/", TargetForm::kOrigin, "", "", 0, "/"},
    {"/panel?x=1&y=2", TargetForm::kOrigin, "", "", 0, "/panel?x=1&y=2"},
    {"http://example.com/a/b?c", TargetForm::kAbsolute, "http", "example.com", 80,
     "/a/b?c"},
    {"HTTP://Example.COM:8080/x", TargetForm::kAbsolute, "http", "example.com", 8080,
     "/x"},
    {"http://example.com", TargetForm::kAbsolute, "http", "example.com", 80, "/"},
    {"http://example.com?q", TargetForm::kAbsolute, "http", "example.com", 80, "/?q"},
    {"http://example.com/p#frag", TargetForm::kAbsolute, "http", "example.com", 80, "/p"},
    {"https://secure.example/", TargetForm::kAbsolute, "https", "secure.example", 443,
     "/"},
    {"http://[::1]:8118/", TargetForm::kAbsolute, "http", "::1", 8118, "/"},
    {"http://127.0.0.1:/", TargetForm::kAbsolute, "http", "127.0.0.1", 80, "/"},
    // Schemes the proxy does not fetch, and malformed targets.
    {"file:///etc/passwd", TargetForm::kInvalid, "", "", 0, ""},
    {"ftp://example.com/", TargetForm::kInvalid, "", "", 0, ""},
    {"http://user:pw@example.com/", TargetForm::kInvalid, "", "", 0, ""},
    {"http:///path", TargetForm::kInvalid, "", "", 0, ""},
    {"http://example.com:0/", TargetForm::kInvalid, "", "", 0, ""},
    {"http://example.com:65536/", TargetForm::kInvalid, "", "", 0, ""},
    {"http://example.com:80x/", TargetForm::kInvalid, "", "", 0, ""},
    {"http://exa mple.com/", TargetForm::kInvalid, "", "", 0, ""},
    {"http://[::1/", TargetForm::kInvalid, "", "", 0, ""},
    {"example.com:443", TargetForm::kInvalid, "", "", 0, ""},
    {"*", TargetForm::kInvalid, "", "", 0, ""},
    {"", TargetForm::kInvalid, "", "", 0, ""},
};

TEST(RequestTarget, ClassifiesRequestTargets) {
  for (const TargetCase& c : kTargets) {
    RequestTarget t = ParseRequestTarget(c.target);
    EXPECT_EQ(t.form, c.form) << c.target;
    if (t.form == TargetForm::kInvalid) continue;
    EXPECT_EQ(t.scheme, c.scheme) << c.target;
    EXPECT_EQ(t.host, c.host) << c.target;
    EXPECT_EQ(t.port, c.port) << c.target;
    EXPECT_EQ(t.path, c.path) << c.target;
  }
}

TEST(RequestTarget, ReadsConnectAuthorities) {
  struct Case {
    const char* target;
    bool ok;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"example.com:443", true, "example.com", 443},
      {"EXAMPLE.com:8443", true, "example.com", 8443},
      {"127.0.0.1:1", true, "127.0.0.1", 1},
      {"[::1]:443", true, "::1", 443},
      {"example.com", false, "", 0},
      {"example.com:", false, "", 0},
      {"example.com:0", false, "", 0},
      {"example.com:70000", false, "", 0},
      {":443", false, "", 0},
      {"http://example.com:443", false, "", 0},
      {"exa mple.com:443", false, "", 0},
  };
  for (const auto& c : cases) {
    RequestTarget t = ParseConnectTarget(c.target);
    EXPECT_EQ(t.form == TargetForm::kAuthority, c.ok) << c.target;
    if (!c.ok) continue;
    EXPECT_EQ(t.host, c.host) << c.target;
    EXPECT_EQ(t.port, c.port) << c.target;
  }
}

TEST(RequestTarget, FormatsHostAndPort) {
  EXPECT_EQ(FormatHostPort("127.0.0.1", 8118), "127.0.0.1:8118");
  EXPECT_EQ(FormatHostPort("::1", 443), "[::1]:443");
}

}  // namespace
}  // namespace cvie::proxy
