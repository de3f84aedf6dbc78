#include "proxy/http_headers.h"

#include <algorithm>

namespace cvie::proxy {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsTokenChar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
    return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

// Calls `fn` with each trimmed, non-empty element of a comma-separated list.
template <typename Fn>
void ForEachToken(std::string_view value, Fn fn) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view item = Trim(value.substr(0, comma));
    if (!item.empty()) fn(item);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

const std::string* FindHeader(const HeaderList& headers, std::string_view name) {
  for (const Header& h : headers) {
    if (EqualsIgnoreCase(h.name, name)) return &h.value;
  }
  return nullptr;
}

bool HeaderHasToken(std::string_view value, std::string_view token) {
  bool found = false;
  ForEachToken(value, [&](std::string_view item) {
    if (EqualsIgnoreCase(item, token)) found = true;
  });
  return found;
}

bool IsHopByHopHeader(std::string_view name) {
  static constexpr std::string_view kHopByHop[] = {"Connection",
                                                   "Keep-Alive",
                                                   "Proxy-Connection",
                                                   "Proxy-Authenticate",
                                                   "Proxy-Authorization",
                                                   "TE",
                                                   "Trailer",
                                                   "Transfer-Encoding",
                                                   "Upgrade"};
  for (std::string_view h : kHopByHop) {
    if (EqualsIgnoreCase(h, name)) return true;
  }
  return false;
}

void RemoveHopByHopHeaders(HeaderList* headers) {
  std::vector<std::string> named;
  for (const Header& h : *headers) {
    if (EqualsIgnoreCase(h.name, "Connection") ||
        EqualsIgnoreCase(h.name, "Proxy-Connection")) {
      ForEachToken(h.value, [&](std::string_view item) { named.emplace_back(item); });
    }
  }
  auto drop = [&](const Header& h) {
    if (IsHopByHopHeader(h.name)) return true;
    for (const std::string& n : named) {
      if (EqualsIgnoreCase(n, h.name)) return true;
    }
    return false;
  };
  headers->erase(std::remove_if(headers->begin(), headers->end(), drop), headers->end());
}

int TransferCodingStatus(unsigned version, const HeaderList& headers) {
  std::vector<std::string_view> codings;
  bool present = false;
  for (const Header& h : headers) {
    if (!EqualsIgnoreCase(h.name, "Transfer-Encoding")) continue;
    present = true;
    std::string_view value = h.value;
    while (!value.empty()) {
      size_t comma = value.find(',');
      std::string_view token = value.substr(0, comma);
      value =
          comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
      while (!token.empty() && (token.front() == ' ' || token.front() == '\t'))
        token.remove_prefix(1);
      while (!token.empty() && (token.back() == ' ' || token.back() == '\t'))
        token.remove_suffix(1);
      if (!token.empty()) codings.push_back(token);
    }
  }
  if (!present) return 0;
  if (version < 11 || codings.empty() || !EqualsIgnoreCase(codings.back(), "chunked")) {
    return 400;
  }
  for (size_t i = 0; i + 1 < codings.size(); ++i) {
    if (EqualsIgnoreCase(codings[i], "chunked")) return 400;  // chunked twice
  }
  return codings.size() == 1 ? 0 : 501;
}

bool IsValidHeaderName(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return IsTokenChar(static_cast<unsigned char>(c)); });
}

bool IsValidHeaderValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace cvie::proxy
