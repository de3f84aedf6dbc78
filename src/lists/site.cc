#include "lists/site.h"

#include <ctype.h>

namespace cvie::lists {

std::string HostOf(std::string_view url) {
  std::string host;
  HostOf(url, &host);
  return host;
}

void HostOf(std::string_view url, std::string* host_out) {
  host_out->clear();
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return;
  for (size_t i = 0; i < scheme_end; ++i) {
    char c = url[i];
    if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
      return;
    }
  }
  size_t start = scheme_end + 3;
  size_t end = url.find_first_of("/?#\\", start);
  if (end == std::string_view::npos) end = url.size();
  std::string_view authority = url.substr(start, end - start);
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view host = authority;
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    host = close == std::string_view::npos ? host.substr(1) : host.substr(1, close - 1);
  } else {
    size_t colon = host.find(':');
    if (colon != std::string_view::npos) host = host.substr(0, colon);
  }
  std::string& lower = *host_out;
  lower.assign(host);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  while (!lower.empty() && lower.back() == '.') lower.pop_back();
}

bool IsSameOrUnder(std::string_view host, std::string_view domain) {
  if (domain.empty() || host.size() < domain.size()) return false;
  if (host.size() == domain.size()) return host == domain;
  return host.substr(host.size() - domain.size()) == domain &&
         host[host.size() - domain.size() - 1] == '.';
}

}  // namespace cvie::lists

namespace cvie::lists {

namespace {

bool IsUrlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The length of "scheme:" at the start of `text`, or 0.
size_t SchemeLength(std::string_view text) {
  if (text.empty() || !isalpha(static_cast<unsigned char>(text[0]))) return 0;
  for (size_t i = 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == ':') return i + 1;
    if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return 0;
  }
  return 0;
}

}  // namespace

std::string ResolveAgainst(std::string_view page_url, std::string_view reference) {
  while (!reference.empty() && IsUrlSpace(reference.front())) reference.remove_prefix(1);
  while (!reference.empty() && IsUrlSpace(reference.back())) reference.remove_suffix(1);
  const size_t scheme = SchemeLength(page_url);
  if (SchemeLength(reference) > 0 || scheme == 0 || page_url.substr(scheme, 2) != "//") {
    return std::string(reference);
  }
  if (reference.substr(0, 2) == "//") {
    return std::string(page_url.substr(0, scheme)) + std::string(reference);
  }
  // Where the host part ends, and where the path ends (before "?" or "#").
  size_t authority_end = page_url.find_first_of("/?#", scheme + 2);
  if (authority_end == std::string_view::npos) authority_end = page_url.size();
  size_t path_end = page_url.find_first_of("?#", authority_end);
  if (path_end == std::string_view::npos) path_end = page_url.size();
  std::string resolved;
  if (reference.empty()) {
    resolved.assign(page_url.substr(0, page_url.find('#')));
  } else if (reference.front() == '/') {
    resolved.assign(page_url.substr(0, authority_end));
    resolved.append(reference);
  } else if (reference.front() == '?') {
    resolved.assign(page_url.substr(0, path_end));
    resolved.append(reference);
  } else if (reference.front() == '#') {
    resolved.assign(page_url.substr(0, page_url.find('#')));
    resolved.append(reference);
  } else {
    std::string_view path = page_url.substr(authority_end, path_end - authority_end);
    size_t slash = path.rfind('/');
    resolved.assign(page_url.substr(0, authority_end));
    if (slash == std::string_view::npos) {
      resolved += '/';
    } else {
      resolved.append(path.substr(0, slash + 1));
    }
    resolved.append(reference);
  }
  return resolved;
}

}  // namespace cvie::lists
