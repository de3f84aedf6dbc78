#include "rules/utf8_check.h"

#include <stdint.h>
#include <string.h>

namespace cvie {

bool IsValidUtf8(const char* text, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* end = p + length;
  while (p < end) {
    // Runs of ASCII, the bulk of most texts, eight bytes at a time.
    while (end - p >= 8) {
      uint64_t word;
      memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ull) != 0) break;
      p += 8;
    }
    if (p >= end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t extra;
    unsigned lowest_second = 0x80, highest_second = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lowest_second = 0xA0;   // overlong
      if (c == 0xED) highest_second = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lowest_second = 0x90;   // overlong
      if (c == 0xF4) highest_second = 0x8F;  // above U+10FFFF
    } else {
      return false;  // continuation byte, C0/C1, or F5..FF
    }
    if (static_cast<size_t>(end - p) <= extra) return false;
    if (p[1] < lowest_second || p[1] > highest_second) return false;
    for (size_t i = 2; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += extra + 1;
  }
  return true;
}

}  // namespace cvie
