// app/proxy/request_target.h
//
// Reads the target of a request line the way a forward proxy must: "/path" is a
// request to the proxy itself (origin form), "http://host/path" is a request the
// proxy makes for the browser (absolute form), "host:port" is the address of a
// CONNECT tunnel (authority form). Pure functions, safe from any thread.

#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

namespace cvie::proxy {

enum class TargetForm {
  kInvalid,    // none of the forms below, or a scheme the proxy does not serve
  kOrigin,     // "/path?query"
  kAbsolute,   // "http://host[:port]/path?query" or "https://..."
  kAuthority,  // "host:port" (CONNECT only)
};

struct RequestTarget {
  TargetForm form = TargetForm::kInvalid;
  std::string scheme;  // lower case, absolute form only ("http" or "https")
  std::string host;    // without brackets for IPv6 literals; empty for origin form
  uint16_t port = 0;   // explicit or the scheme's default; 0 for origin form
  std::string path;    // path and query, "/" when the absolute URL has none
};

// Parses a non-CONNECT request target. Only http and https absolute URLs are
// accepted: any other scheme (file:, ftp:, ...) is kInvalid, so a client cannot
// make the proxy read local files. User info ("user@host") is refused as well.
RequestTarget ParseRequestTarget(std::string_view target);

// Parses the "host:port" of a CONNECT request; the port is required and must be
// 1..65535. IPv6 literals are bracketed ("[::1]:443").
RequestTarget ParseConnectTarget(std::string_view target);

// "host:port", bracketing an IPv6 literal.
std::string FormatHostPort(const std::string& host, uint16_t port);

}  // namespace cvie::proxy
