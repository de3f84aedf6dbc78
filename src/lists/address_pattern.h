// lists/address_pattern.h
//
// The address part of a network rule as the list format writes it ("||" host
// anchor, "|" start and end anchors, "*" any text, "^" a separator or the end
// of the address), matched directly instead of through a regular expression.
// It accepts exactly the addresses TranslatePattern's PCRE2 pattern accepts
// (compiled caseless unless the rule says match-case, and dot-all): case is
// folded for ASCII letters only, and a byte outside ASCII is a separator.
//
// Plain data, immutable once made; Matches may be called from any thread.

#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <type_traits>

namespace cvie::lists {

class AddressPattern {
 public:
  AddressPattern() = default;
  // `written` is the address part of a non-regex rule as written (without
  // "@@" and options).
  AddressPattern(std::string_view written, bool match_case);

  bool Matches(std::string_view text) const;

  // For a caseless rule written "||" + host + "^" (the host without "*" and
  // "^"): true with `*host` set to it in lower case. Such a rule matches an
  // address only if one of its HostTokens equals that host.
  bool HostOnly(std::string_view* host) const;
  static constexpr size_t kMaxHostToken = 256;  // longer hosts are not HostOnly
  // For a caseless rule written "||" + host + more, where the host (no
  // separator, no "*") is followed by "^" or another separator character:
  // true with `*host` set to it in lower case. Such a rule matches an address
  // only if one of its HostTokens equals that host (what follows is then
  // still to be matched). Every HostOnly rule is one of these.
  bool HostKey(std::string_view* host) const;
  // Calls `visit` (lower case text) for every place a "||" rule's body may
  // start in `text` (after "scheme://" and after each "." before the first
  // "/", "?" or "#"), with the text from there up to the next separator, and
  // also that place when `visit` takes it (a second size_t argument).
  template <typename Visit>
  static void HostTokens(std::string_view text, Visit visit);
  // Where the host of `text` starts after a caseless "scheme://"; npos when
  // the address does not start so.
  static size_t HostStart(std::string_view text);
  // For a HostKey rule: true when it matches `text` with its body starting at
  // `start`, a place HostTokens gave with `token`. False at once when the
  // token is not the rule's host; else only what follows the host is
  // compared. Matches is true exactly when this is true for one such place.
  bool MatchesAt(std::string_view text, size_t start, std::string_view token) const;

 private:
  enum : uint8_t { kHostAnchor = 1, kStartAnchor = 2, kEndAnchor = 4, kMatchCase = 8 };

  // Where the segment `segment` (no '*') matches when it starts at `pos`:
  // true with `*end` set, or false.
  bool SegmentAt(std::string_view segment, std::string_view text, size_t pos,
                 size_t* end) const;
  // Matches the body from `start`, the first segment anchored there.
  // `skip`: characters of the body already known to match from `start`
  // (all of the first segment's, before any "*").
  bool BodyFrom(std::string_view text, size_t start, bool anchored,
                size_t skip = 0) const;

  std::string body_;  // between the anchors; lower case unless kMatchCase
  uint8_t flags_ = 0;
};

template <typename Visit>
void AddressPattern::HostTokens(std::string_view text, Visit visit) {
  const size_t host = HostStart(text);
  if (host == std::string_view::npos) return;
  auto kept = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || c == '.' || c == '%';
  };
  char lower[kMaxHostToken];
  auto token_at = [&](size_t start) {
    size_t end = start;
    while (end < text.size() && kept(text[end])) ++end;
    if (end == start || end - start > sizeof lower) return;
    for (size_t i = start; i < end; ++i) {
      char c = text[i];
      lower[i - start] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    if constexpr (std::is_invocable_v<Visit, std::string_view, size_t>) {
      visit(std::string_view(lower, end - start), start);
    } else {
      visit(std::string_view(lower, end - start));
    }
  };
  token_at(host);
  for (size_t i = host; i < text.size(); ++i) {
    char c = text[i];
    if (c == '/' || c == '?' || c == '#') break;
    if (c == '.') token_at(i + 1);
  }
}

}  // namespace cvie::lists
