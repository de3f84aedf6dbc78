#include "anyhtml/html_scan.h"

#include <assert.h>
#include <stdint.h>
#include <string.h>

#include "anyhtml/scan_internal.h"

namespace cvie {

namespace {

using namespace anyhtml_internal;

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
  const char* found =
      length == 0 ? p : SearchMarker(p, end, marker, length, case_insensitive, utf8);
  const char* stop = found ? found : end;
  if (collect) Collect(p, stop, end, utf8, collect);
  *position = found ? found + length : end;
  return found ? ANYHTML_OK : ANYHTML_EOF;
}

int SkipWhitespace(const char* p, const char* end, int encoding, const char** position) {
  assert(p && end && position);
  *position = SkipSpaces(p, end, encoding == ENCODING_UTF8);
  return *position >= end ? ANYHTML_EOF : ANYHTML_OK;
}

namespace {

// The end of the name that starts at p (a letter or "_" there), or null when
// no name starts there (p at end, or another byte).
inline const char* NameEnd(const char* p, const char* end) {
  if (p >= end) return nullptr;
  uint8_t c = Byte(p);
  if (!IsHtmlLetter(c) && c != '_') return nullptr;
  const char* q = p + 1;
  while (end - q >= 4) {
    if (!IsHtmlNameChar(Byte(q))) return q;
    if (!IsHtmlNameChar(Byte(q + 1))) return q + 1;
    if (!IsHtmlNameChar(Byte(q + 2))) return q + 2;
    if (!IsHtmlNameChar(Byte(q + 3))) return q + 3;
    q += 4;
  }
  while (q < end && IsHtmlNameChar(Byte(q))) ++q;
  return q;
}

// SkipWhitespace, inline.
inline int SkipSpace(const char* p, const char* end, int encoding,
                     const char** position) {
  *position = SkipSpaces(p, end, encoding == ENCODING_UTF8);
  return *position >= end ? ANYHTML_EOF : ANYHTML_OK;
}

// Sets the element's kind from the bytes after its "<" at `p` (at least two
// bytes are there): "</" closing, "<?" an opening processing instruction,
// anything else opening. Returns where the element's name starts.
inline const char* ScanElementKind(AnyHtmlElement* element, const char* p) {
  if (p[1] == '/') {
    element->AddFlags(ELEMENT_CLOSE);
    return p + 2;
  }
  element->AddFlags(ELEMENT_OPEN);
  if (p[1] != '?') return p + 1;
  element->AddFlags(ELEMENT_PI);
  return p + 2;
}

// Reads the attribute value that starts at `cur` (before `end`) into `value`
// and returns where it ends. A quoted value runs to the same quote character
// and is kept without its quotes; one whose quote never closes runs to `end`
// and sets *result to ANYHTML_EOF. An unquoted value ends at white space,
// "<", ">" or "/>".
inline const char* ScanAttributeValue(AnyHtmlValue* value, const char* cur,
                                      const char* end, int encoding, int* result) {
  const char* value_start = cur;
  const char c = *cur;
  if (c == '"' || c == '\'') {
    const char* text = cur + 1;
    const char* quote =
        text >= end ? nullptr
        : encoding == ENCODING_UTF8
            ? SearchMarker(text, end, &c, 1, false, true)
            : static_cast<const char*>(memchr(text, c, static_cast<size_t>(end - text)));
    const char* stop = quote ? quote : end;
    if (encoding == ENCODING_UTF8 && memchr(text, 0, static_cast<size_t>(stop - text))) {
      Collect(text, stop, end, true, value->mutable_own_text());
    } else {
      value->SetParsedInputText(text, static_cast<size_t>(stop - text));
    }
    cur = quote ? quote + 1 : end;
    *result = quote ? ANYHTML_OK : ANYHTML_EOF;
  } else {
    while (cur < end) {
      uint8_t b = Byte(cur);
      if (IsHtmlSpace(b) || b == '>' || b == '<') break;
      if (b == '/' && cur + 1 < end && cur[1] == '>') break;
      ++cur;
    }
    value->SetParsedInputText(value_start, static_cast<size_t>(cur - value_start));
  }
  value->SetSpan(value_start, cur);
  return cur;
}

}  // namespace

int ReadName(const char* p, const char* end, std::string* name, const char** position) {
  assert(p && end && name && position);
  *position = p;
  if (p >= end) return ANYHTML_EOF;
  const char* name_end = NameEnd(p, end);
  if (!name_end) return ANYHTML_BAD_NAME;
  name->assign(p, static_cast<size_t>(name_end - p));
  *position = name_end;
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

  const char* name_start = ScanElementKind(element, p);
  const bool pi = (element->flags() & ELEMENT_PI) != 0;
  const char* cur = NameEnd(name_start, end);
  if (!cur) {
    element->SetName(nullptr);
    *position = name_start;
    return ANYHTML_BAD_ELEMENT_NAME;
  }
  AnyHtmlName* name = element->NewName(false);
  name->SetSpan(name_start, cur);
  name->SetParsedInputText(name_start, static_cast<size_t>(cur - name_start));

  int last = ANYHTML_OK;
  for (;;) {
    if (last != ANYHTML_OK || cur >= end) {
      *position = cur;
      return cur >= end ? ANYHTML_EOF : last;
    }
    if (SkipSpace(cur, end, encoding, &cur) == ANYHTML_EOF) {
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
    const char* name_end = NameEnd(cur, end);
    if (!name_end) {
      *position = cur;
      return ANYHTML_BAD_ATTR_NAME;
    }
    AnyHtmlAttr* attr = element->NewAttribute();
    AnyHtmlName* attr_name = attr->NewName(false);
    attr_name->SetSpan(cur, name_end);
    attr_name->SetParsedInputText(cur, static_cast<size_t>(name_end - cur));
    if (SkipSpace(name_end, end, encoding, &cur) == ANYHTML_EOF) {
      element->RemoveLastAttribute();
      *position = cur;
      return ANYHTML_BAD_ATTR_VALUE;
    }
    if (*cur != '=') continue;  // an attribute without a value
    if (SkipSpace(cur + 1, end, encoding, &cur) == ANYHTML_EOF) {
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

    cur = ScanAttributeValue(attr->NewValue(false), cur, end, encoding, &last);
  }
}

}  // namespace cvie
