#include "anyhtml/html_scan.h"

#include <assert.h>
#include <stdint.h>
#include <string.h>

namespace cvie {

namespace {

inline uint8_t Byte(const char* p) { return static_cast<uint8_t>(*p); }

inline bool IsAsciiLetter(uint8_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Length of the character at p in UTF-8 mode, shortened to the bytes left.
inline size_t CharLength(const char* p, const char* end) {
  size_t length = Utf8SequenceLength(Byte(p));
  size_t left = static_cast<size_t>(end - p);
  return length < left ? length : left;
}

// The first byte in [p, end) equal to c (either case of an ASCII letter when
// case-insensitive), or null.
inline const char* FindByte(const char* p, const char* end, char c,
                            bool case_insensitive) {
  if (p >= end) return nullptr;
  if (!case_insensitive || !IsAsciiLetter(static_cast<uint8_t>(c))) {
    return static_cast<const char*>(memchr(p, c, static_cast<size_t>(end - p)));
  }
  uint8_t folded = FoldAscii(static_cast<uint8_t>(c));
  for (; p < end; ++p) {
    if (FoldAscii(Byte(p)) == folded) return p;
  }
  return nullptr;
}

inline bool MatchesAt(const char* q, const char* end, const char* marker, size_t length,
                      bool case_insensitive) {
  if (static_cast<size_t>(end - q) < length) return false;
  return case_insensitive ? BytesEqualIgnoreCase(q, marker, length)
                          : memcmp(q, marker, length) == 0;
}

// Steps character by character (UTF-8 mode) from `cur` until reaching or
// passing `target`; returns the first character start at or after it. Runs of
// ASCII bytes are passed eight at a time. Never reads at or past target.
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

// Appends the characters of [start, stop) as ReadChar copies them: every byte,
// except that a multi-byte character is cut at a zero byte inside it.
void Collect(const char* start, const char* stop, const char* end, bool utf8,
             std::string* out) {
  size_t size = static_cast<size_t>(stop - start);
  if (!utf8 || !memchr(start, 0, size)) {
    out->append(start, size);
    return;
  }
  for (const char* p = start; p < stop;) {
    size_t length = CharLength(p, end);
    if (length == 1) {
      out->push_back(*p);
    } else {
      for (size_t i = 0; i < length && p[i] != 0; ++i) out->push_back(p[i]);
    }
    p += length;
  }
}

}  // namespace

int ReadChar(const char* p, const char* end, int encoding, char bytes[4], int* length,
             int* copied) {
  assert(p && end && bytes && length && copied);
  if (p >= end) return ANYHTML_EOF;
  *length = encoding == ENCODING_UTF8 ? static_cast<int>(CharLength(p, end)) : 1;
  assert(*length >= 0 && *length < 5);
  if (*length == 1) {
    bytes[0] = *p;
    *copied = 1;
    return ANYHTML_OK;
  }
  int n = 0;
  while (n < *length && p[n] != 0) {
    bytes[n] = p[n];
    ++n;
  }
  *copied = n;
  return ANYHTML_OK;
}

bool MatchText(const char* p, const char* text, bool case_insensitive, bool whole) {
  assert(p && text);
  const uint8_t* a = reinterpret_cast<const uint8_t*>(p);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(text);
  while (*a && *b) {
    bool same = case_insensitive ? FoldAscii(*a) == FoldAscii(*b) : *a == *b;
    if (!same) return false;
    ++a;
    ++b;
  }
  return whole ? (*a == 0 && *b == 0) : *b == 0;
}

int FindMarker(const char* p, const char* end, const char* marker, bool case_insensitive,
               int encoding, std::string* collect, const char** position) {
  assert(p && end && marker && position);
  if (p >= end) {
    *position = p;
    return ANYHTML_EOF;
  }
  size_t length = strlen(marker);
  bool utf8 = encoding == ENCODING_UTF8;
  const char* found = nullptr;
  if (length == 0) {
    found = p;
  } else {
    // Candidates come from a byte search; in UTF-8 mode a candidate counts
    // only when the character steps from p land on it.
    const char* cur = p;
    while (const char* q = FindByte(cur, end, marker[0], case_insensitive)) {
      if (utf8) {
        cur = StepTo(cur, q, end);
        if (cur != q) continue;
      }
      if (MatchesAt(q, end, marker, length, case_insensitive)) {
        found = q;
        break;
      }
      cur = q + (utf8 ? CharLength(q, end) : 1);
    }
  }
  const char* stop = found ? found : end;
  if (collect) Collect(p, stop, end, utf8, collect);
  *position = found ? found + length : end;
  return found ? ANYHTML_OK : ANYHTML_EOF;
}

int SkipWhitespace(const char* p, const char* end, int encoding, const char** position) {
  assert(p && end && position);
  bool utf8 = encoding == ENCODING_UTF8;
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
  *position = p;
  return p >= end ? ANYHTML_EOF : ANYHTML_OK;
}

int ReadName(const char* p, const char* end, std::string* name, const char** position) {
  assert(p && end && name && position);
  *position = p;
  if (p >= end) return ANYHTML_EOF;
  uint8_t c = Byte(p);
  if (!IsHtmlLetter(c) && c != '_') return ANYHTML_BAD_NAME;
  const char* q = p + 1;
  while (q < end && IsHtmlNameChar(Byte(q))) ++q;
  name->assign(p, static_cast<size_t>(q - p));
  *position = q;
  return ANYHTML_OK;
}

int ParseElement(AnyHtmlElement* element, const char* p, const char* end, int encoding,
                 const char** position) {
  assert(element && position);
  element->set_flags(0);
  *position = p;
  if (!p || p >= end) return ANYHTML_EOF;
  if (*p != '<') return ANYHTML_BAD_ELEMENT;
  if (p + 1 >= end) {
    *position = end;
    return ANYHTML_EOF;
  }

  bool pi = false;
  const char* name_start = p + 1;
  if (p[1] == '/') {
    element->AddFlags(ELEMENT_CLOSE);
    name_start = p + 2;
  } else {
    element->AddFlags(ELEMENT_OPEN);
    if (p[1] == '?') {
      element->AddFlags(ELEMENT_PI);
      pi = true;
      name_start = p + 2;
    }
  }

  const char* cur;
  AnyHtmlName* name = element->NewName(false);
  if (ReadName(name_start, end, name->mutable_own_text(), &cur) != ANYHTML_OK) {
    element->SetName(nullptr);
    *position = cur;
    return ANYHTML_BAD_ELEMENT_NAME;
  }
  name->SetSpan(name_start, cur);

  int last = ANYHTML_OK;
  for (;;) {
    if (last != ANYHTML_OK || cur >= end) {
      *position = cur;
      return cur >= end ? ANYHTML_EOF : last;
    }
    if (SkipWhitespace(cur, end, encoding, &cur) == ANYHTML_EOF) {
      *position = cur;
      return ANYHTML_BAD_ELEMENT;
    }
    char c = *cur;
    if (c == '>') {
      *position = cur + 1;
      return ANYHTML_OK;
    }
    if (c == '/' || (c == '?' && pi)) {
      if (cur + 1 < end && cur[1] == '>') {
        if (c == '/') element->AddFlags(ELEMENT_CLOSE);
        *position = cur + 2;
        return ANYHTML_OK;
      }
      *position = cur + 1;
      return ANYHTML_BAD_ATTRIBUTES;
    }

    // An attribute: name, then optionally "=" and a value.
    AnyHtmlAttr* attr = element->NewAttribute();
    AnyHtmlName* attr_name = attr->NewName(false);
    const char* name_end;
    if (ReadName(cur, end, attr_name->mutable_own_text(), &name_end) != ANYHTML_OK) {
      element->RemoveLastAttribute();
      *position = cur;
      return ANYHTML_BAD_ATTR_NAME;
    }
    attr_name->SetSpan(cur, name_end);
    if (SkipWhitespace(name_end, end, encoding, &cur) == ANYHTML_EOF) {
      element->RemoveLastAttribute();
      *position = cur;
      return ANYHTML_BAD_ATTR_VALUE;
    }
    if (*cur != '=') continue;  // an attribute without a value
    if (SkipWhitespace(cur + 1, end, encoding, &cur) == ANYHTML_EOF) {
      element->RemoveLastAttribute();
      *position = cur;
      return ANYHTML_BAD_ATTR_VALUE;
    }
    c = *cur;
    if (c == '<') {
      element->RemoveLastAttribute();
      *position = cur;
      return ANYHTML_BAD_ELEMENT;
    }
    if (c == '>' || (c == '/' && cur + 1 < end && cur[1] == '>')) continue;

    AnyHtmlValue* value = attr->NewValue(false);
    const char* value_start = cur;
    if (c == '"' || c == '\'') {
      const char quote[2] = {c, 0};
      last = FindMarker(cur + 1, end, quote, false, encoding, value->mutable_own_text(),
                        &cur);
    } else {
      while (cur < end) {
        uint8_t b = Byte(cur);
        if (IsHtmlSpace(b) || b == '>' || b == '<') break;
        if (b == '/' && cur + 1 < end && cur[1] == '>') break;
        ++cur;
      }
      value->mutable_own_text()->assign(value_start,
                                        static_cast<size_t>(cur - value_start));
    }
    value->SetSpan(value_start, cur);
  }
}

}  // namespace cvie
