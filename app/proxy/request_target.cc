#include "proxy/request_target.h"

#include <algorithm>

#include "proxy/http_headers.h"

namespace cvie::proxy {
namespace {

// Parses a decimal port 1..65535; false for anything else.
bool ParsePort(std::string_view text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool IsHostChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         c == '-' || c == '.' || c == '_' || c == '~' || c == '%';
}

// Splits "host[:port]" (IPv6 in brackets). `default_port` 0 means a port is
// required. The host is lower-cased.
bool ParseAuthority(std::string_view authority, uint16_t default_port, std::string* host,
                    uint16_t* port) {
  std::string_view h;
  std::string_view rest;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos || close < 2) return false;
    h = authority.substr(1, close - 1);
    for (char c : h) {
      bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                (c >= 'A' && c <= 'F') || c == ':' || c == '.';
      if (!ok) return false;
    }
    rest = authority.substr(close + 1);
  } else {
    size_t colon = authority.find(':');
    h = authority.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    if (h.empty() || !std::all_of(h.begin(), h.end(), IsHostChar)) return false;
  }
  if (rest.empty()) {
    if (default_port == 0) return false;
    *port = default_port;
  } else {
    if (rest.front() != ':') return false;
    if (rest.size() == 1 && default_port != 0) {
      *port = default_port;  // "host:" means the default port
    } else if (!ParsePort(rest.substr(1), port)) {
      return false;
    }
  }
  host->assign(h);
  std::transform(host->begin(), host->end(), host->begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  });
  return true;
}

bool HasControlOrSpace(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
  });
}

}  // namespace

RequestTarget ParseRequestTarget(std::string_view target) {
  RequestTarget result;
  if (target.empty() || HasControlOrSpace(target)) return result;
  if (target.front() == '/') {
    result.form = TargetForm::kOrigin;
    result.path.assign(target);
    return result;
  }
  size_t sep = target.find("://");
  if (sep == std::string_view::npos) return result;
  std::string_view scheme = target.substr(0, sep);
  uint16_t default_port;
  if (EqualsIgnoreCase(scheme, "http")) {
    result.scheme = "http";
    default_port = 80;
  } else if (EqualsIgnoreCase(scheme, "https")) {
    result.scheme = "https";
    default_port = 443;
  } else {
    return result;
  }
  std::string_view rest = target.substr(sep + 3);
  size_t path_start = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, path_start);
  if (authority.find('@') != std::string_view::npos) return result;
  if (!ParseAuthority(authority, default_port, &result.host, &result.port)) {
    result.scheme.clear();
    return result;
  }
  std::string_view path =
      path_start == std::string_view::npos ? std::string_view() : rest.substr(path_start);
  size_t fragment = path.find('#');
  if (fragment != std::string_view::npos) path = path.substr(0, fragment);
  if (path.empty() || path.front() != '/') {
    result.path = "/";
    result.path.append(path);
  } else {
    result.path.assign(path);
  }
  result.form = TargetForm::kAbsolute;
  return result;
}

RequestTarget ParseConnectTarget(std::string_view target) {
  RequestTarget result;
  if (target.empty() || HasControlOrSpace(target)) return result;
  if (!ParseAuthority(target, 0, &result.host, &result.port)) return result;
  result.form = TargetForm::kAuthority;
  return result;
}

std::string FormatHostPort(const std::string& host, uint16_t port) {
  if (host.find(':') != std::string::npos) {
    return "[" + host + "]:" + std::to_string(port);
  }
  return host + ":" + std::to_string(port);
}

}  // namespace cvie::proxy
