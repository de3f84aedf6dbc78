// anyhtml/scan_internal.h
//
// Inline helpers of the scanner shared by html_scan.cc and html_parser.cc;
// not for use outside the HTML library. Every helper works on [p, end) and
// reads nothing at or past end.

#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "anyhtml/html_types.h"

namespace cvie::anyhtml_internal {

inline uint8_t Byte(const char* p) { return static_cast<uint8_t>(*p); }

// Length of the UTF-8 character at p, shortened to the bytes left before end.
inline size_t CharLength(const char* p, const char* end) {
  size_t length = Utf8SequenceLength(Byte(p));
  size_t left = static_cast<size_t>(end - p);
  return length < left ? length : left;
}

inline bool MatchesAt(const char* q, const char* end, const char* marker, size_t length,
                      bool case_insensitive) {
  if (static_cast<size_t>(end - q) < length) return false;
  return case_insensitive ? BytesEqualIgnoreCase(q, marker, length)
                          : memcmp(q, marker, length) == 0;
}

// Skips white space (and in UTF-8 mode the sequences EF BB BF, EF BF BE and
// EF BF BF); returns the first position not skipped.
inline const char* SkipSpaces(const char* p, const char* end, bool utf8) {
  while (p < end) {
    uint8_t c = Byte(p);
    if (IsHtmlSpace(c)) {
      ++p;
    } else if (utf8 && c == 0xEF && end - p >= 3 &&
               ((Byte(p + 1) == 0xBB && Byte(p + 2) == 0xBF) ||
                (Byte(p + 1) == 0xBF && (Byte(p + 2) == 0xBE || Byte(p + 2) == 0xBF)))) {
      p += 3;
    } else {
      break;
    }
  }
  return p;
}

// Steps UTF-8 characters from `cur` until reaching or passing `target`;
// returns the first character start at or after it. Runs of ASCII bytes are
// passed eight at a time. Reads nothing at or past target.
inline const char* StepTo(const char* cur, const char* target, const char* end) {
  while (cur < target) {
    while (target - cur >= 8) {
      uint64_t word;
      memcpy(&word, cur, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      cur += 8;
    }
    if (cur >= target) break;
    cur += CharLength(cur, end);
  }
  return cur;
}

// The first byte in [p, end) equal to c (either case of an ASCII letter when
// case-insensitive), or null.
inline const char* FindByte(const char* p, const char* end, char c,
                            bool case_insensitive) {
  if (p >= end) return nullptr;
  uint8_t lower = static_cast<uint8_t>(c) | 0x20;
  if (!case_insensitive || lower < 'a' || lower > 'z') {
    return static_cast<const char*>(memchr(p, c, static_cast<size_t>(end - p)));
  }
  for (; p < end; ++p) {
    if ((Byte(p) | 0x20) == lower) return p;
  }
  return nullptr;
}

// Where the marker (of `length` > 0 bytes) starts on the characters stepped
// from p (every byte in single-byte mode), or null when it does not occur
// before end.
inline const char* SearchMarker(const char* p, const char* end, const char* marker,
                                size_t length, bool case_insensitive, bool utf8) {
  const char* cur = p;
  while (const char* q = FindByte(cur, end, marker[0], case_insensitive)) {
    if (utf8) {
      cur = StepTo(cur, q, end);
      if (cur != q) continue;
    }
    if (MatchesAt(q, end, marker, length, case_insensitive)) return q;
    cur = q + (utf8 ? CharLength(q, end) : 1);
  }
  return nullptr;
}

}  // namespace cvie::anyhtml_internal
