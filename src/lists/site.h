// lists/site.h
//
// The parts of an address the list options look at: the host of a URL and
// its site (registrable domain), taken from the Public Suffix List through
// libpsl. Plain functions; safe to call from any number of threads.

#pragma once

#include <string>
#include <string_view>

namespace cvie::lists {

// The host of `url` in lower case, without user information, port or the
// brackets of an IPv6 address. Empty when the address has no "scheme://host".
std::string HostOf(std::string_view url);
// The same into `*host`, reusing its storage (for checks made in a loop).
void HostOf(std::string_view url, std::string* host);

// The registrable domain of `host` (lower case): the public suffix plus one
// label ("news.example.co.uk" -> "example.co.uk"). An IP address, a host that
// is itself a public suffix, or one the list does not know, is its own site.
std::string SiteOf(const std::string& host);

// True when `host` is `domain` or lies under it ("a.b.example" under
// "b.example"). Both in lower case.
bool IsSameOrUnder(std::string_view host, std::string_view domain);

// The address `reference` (an attribute value as written in a page: absolute,
// "//host/...", "/path", "?query", "#part" or a relative path) stands for on
// the page at `page_url`, without white space around it. Dot segments are
// left as written. When the page address has no "scheme://host", or the
// reference is absolute, the reference itself.
std::string ResolveAgainst(std::string_view page_url, std::string_view reference);

}  // namespace cvie::lists
