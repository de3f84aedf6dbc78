#include "lists/address_pattern.h"

namespace cvie::lists {

namespace {

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// What "^" stands for when a character is there: anything but a letter, a
// digit or one of "_-.%".
bool IsSeparator(char c) {
  return !(IsLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' ||
           c == '%');
}

}  // namespace

AddressPattern::AddressPattern(std::string_view written, bool match_case) {
  if (match_case) flags_ |= kMatchCase;
  if (written.substr(0, 2) == "||") {
    flags_ |= kHostAnchor;
    written.remove_prefix(2);
  } else if (!written.empty() && written.front() == '|') {
    flags_ |= kStartAnchor;
    written.remove_prefix(1);
  }
  if (!written.empty() && written.back() == '|') {
    flags_ |= kEndAnchor;
    written.remove_suffix(1);
  }
  body_.assign(written);
  if (!match_case) {
    for (char& c : body_) c = FoldAscii(c);
  }
}

bool AddressPattern::SegmentAt(std::string_view segment, std::string_view text,
                               size_t pos, size_t* end) const {
  const bool fold = (flags_ & kMatchCase) == 0;
  for (char want : segment) {
    if (want == '^') {
      // A separator character, or (zero-width) the end of the address.
      if (pos < text.size()) {
        if (!IsSeparator(text[pos])) return false;
        ++pos;
      }
      continue;
    }
    if (pos >= text.size()) return false;
    char got = fold ? FoldAscii(text[pos]) : text[pos];
    if (got != want) return false;
    ++pos;
  }
  *end = pos;
  return true;
}

bool AddressPattern::BodyFrom(std::string_view text, size_t start, bool anchored,
                              size_t skip) const {
  std::string_view rest = std::string_view(body_).substr(skip);
  size_t pos = start + skip;
  bool first = true;
  for (;;) {
    size_t star = rest.find('*');
    std::string_view segment = rest.substr(0, star);
    const bool last = star == std::string_view::npos;
    size_t end = 0;
    if (last && (flags_ & kEndAnchor) != 0) {
      // The last segment must end at the end of the address.
      if (first && anchored)
        return SegmentAt(segment, text, pos, &end) && end == text.size();
      for (size_t q = pos; q <= text.size(); ++q) {
        if (SegmentAt(segment, text, q, &end) && end == text.size()) return true;
      }
      return false;
    }
    if (first && anchored) {
      if (!SegmentAt(segment, text, pos, &end)) return false;
    } else {
      // The leftmost place ends earliest, which leaves the most for the rest.
      size_t q = pos;
      while (q <= text.size() && !SegmentAt(segment, text, q, &end)) ++q;
      if (q > text.size()) return false;
    }
    if (last) return true;
    pos = end;
    rest.remove_prefix(star + 1);
    first = false;
  }
}

size_t AddressPattern::HostStart(std::string_view text) {
  if (text.empty() || !IsLetter(text[0])) return std::string_view::npos;
  size_t i = 1;
  while (i < text.size() && (IsLetter(text[i]) || (text[i] >= '0' && text[i] <= '9') ||
                             text[i] == '+' || text[i] == '.' || text[i] == '-')) {
    ++i;
  }
  if (text.substr(i, 3) != "://") return std::string_view::npos;
  return i + 3;
}

bool AddressPattern::HostOnly(std::string_view* host) const {
  if ((flags_ & (kHostAnchor | kStartAnchor | kEndAnchor | kMatchCase)) != kHostAnchor ||
      body_.size() < 2 || body_.back() != '^') {
    return false;
  }
  std::string_view name(body_.data(), body_.size() - 1);
  if (name.size() > kMaxHostToken) return false;
  for (char c : name) {
    if (IsSeparator(c) || c == '*') return false;
  }
  *host = name;
  return true;
}

bool AddressPattern::HostKey(std::string_view* host) const {
  if ((flags_ & (kHostAnchor | kMatchCase)) != kHostAnchor) return false;
  size_t end = 0;
  while (end < body_.size() && !IsSeparator(body_[end])) ++end;
  // A token of an address ends at its first separator; "*" could stand for
  // more host characters, and a body that ends with the host could match the
  // start of a longer token.
  if (end == 0 || end == body_.size() || end > kMaxHostToken || body_[end] == '*') {
    return false;
  }
  *host = std::string_view(body_.data(), end);
  return true;
}

bool AddressPattern::MatchesAt(std::string_view text, size_t start,
                               std::string_view token) const {
  // The token is the lower-case text from `start` up to a separator; the
  // rule's host is the body up to its first separator (HostKey).
  if ((flags_ & (kHostAnchor | kMatchCase)) != kHostAnchor ||
      body_.size() <= token.size() || body_.compare(0, token.size(), token) != 0 ||
      !IsSeparator(body_[token.size()]) || body_[token.size()] == '*') {
    return false;
  }
  return BodyFrom(text, start, /*anchored=*/true, token.size());
}

bool AddressPattern::Matches(std::string_view text) const {
  if ((flags_ & kHostAnchor) == 0) {
    return BodyFrom(text, 0, (flags_ & kStartAnchor) != 0);
  }
  // "scheme://", the scheme a letter and then letters, digits and "+.-"; the
  // body starts at the host or just after a "." inside it.
  size_t host = HostStart(text);
  if (host == std::string_view::npos) return false;
  if ((flags_ & kMatchCase) != 0) {
    // A case-sensitive "||" wants the scheme in lower case.
    for (size_t i = 0; i < host - 3; ++i) {
      if (text[i] >= 'A' && text[i] <= 'Z') return false;
    }
  }
  if (BodyFrom(text, host, /*anchored=*/true)) return true;
  for (size_t dot = host; dot < text.size(); ++dot) {
    char c = text[dot];
    if (c == '/' || c == '?' || c == '#') break;
    if (c == '.' && BodyFrom(text, dot + 1, /*anchored=*/true)) return true;
  }
  return false;
}

}  // namespace cvie::lists
