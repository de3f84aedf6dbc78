// anyhtml/html_types.h
//
// What every part of the HTML library shares: the root class, the node types,
// the result codes of the parsing routines with their texts, the page encodings,
// and the byte classes the scanner works with (white space, letters, name
// characters, ASCII-only case folding, UTF-8 sequence length). Pure functions and
// constants only; safe from any thread.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>

namespace cvie {

// Root of the library's classes; the parser derives from it too.
class AnyHtmlBase {
 public:
  virtual ~AnyHtmlBase() = default;
};

// What a node is. Stored as a 32-bit value in every node.
enum AnyHtmlNodeType : int32_t {
  NODE_TEXT = 0,     // character data, or a would-be tag that failed to parse
  NODE_ELEMENT = 1,  // a tag (AnyHtmlElement)
  NODE_COMMENT = 2,  // "<!--" ... "-->"
  NODE_DTD = 3,      // "<!" ... ">" (any other markup declaration)
  NODE_SCRIPT = 4,   // the body of a script element (an AnyHtmlValue)
  NODE_CDATA = 5,    // "<![CDATA[" ... "]]>"
  NODE_NAME = 6,     // an element or attribute name (AnyHtmlName)
  NODE_VALUE = 7,    // an attribute value (AnyHtmlValue)
  NODE_ATTR = 8,     // an attribute (AnyHtmlAttr)
};

// The library's own name of a node type ("TEXT", "ELEMENT", ...); "UNKNOWN" for a
// value outside the table. Never null.
const char* AnyHtmlNodeTypeName(int type);

// Result codes of the parsing routines.
enum AnyHtmlError : int32_t {
  ANYHTML_OK = 0,                // "No error"
  ANYHTML_EOF = 1,               // "EOF"
  ANYHTML_BAD_NAME = 2,          // "Failed to read a name"
  ANYHTML_INVALID_CHAR = 3,      // "Encountered invalid char"
  ANYHTML_BAD_ELEMENT = 4,       // "Error parsing Element"
  ANYHTML_BAD_ELEMENT_NAME = 5,  // "Failed to read Element name"
  ANYHTML_BAD_ATTRIBUTES = 6,    // "Error reading attributes"
  ANYHTML_BAD_ATTR_NAME = 7,     // "Error reading attr name"
  ANYHTML_BAD_ATTR_VALUE = 8,    // "Error reading attr value"
  ANYHTML_WRITE_FAILED = 9,      // "Failed to write the output" (page editor)
};

// The library's text for a result code; "Unknown error" outside the table.
// Never null.
const char* AnyHtmlErrorText(int code);

// The page encoding as the parser decides it.
enum AnyHtmlEncoding : int32_t {
  ENCODING_UNKNOWN = 0,
  ENCODING_UTF8 = 1,
  ENCODING_OTHER = 2,  // some other charset; the text is treated as single-byte
};

namespace anyhtml_internal {

// Bit 0: white space; bit 1: letter; bit 2: name character.
constexpr std::array<uint8_t, 256> MakeByteClass() {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    uint8_t bits = 0;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r')
      bits |= 1;
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0x7F;
    if (letter) bits |= 2;
    if (letter || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' ||
        c == ':') {
      bits |= 4;
    }
    table[c] = bits;
  }
  return table;
}

constexpr std::array<uint8_t, 256> MakeUtf8Length() {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = (c >= 0xC2 && c <= 0xDF)   ? 2
               : (c >= 0xE0 && c <= 0xEF) ? 3
               : (c >= 0xF0 && c <= 0xF4) ? 4
                                          : 1;
  }
  return table;
}

constexpr std::array<uint8_t, 256> MakeFoldCase() {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = static_cast<uint8_t>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
  }
  return table;
}

inline constexpr std::array<uint8_t, 256> kByteClass = MakeByteClass();
inline constexpr std::array<uint8_t, 256> kUtf8Length = MakeUtf8Length();
inline constexpr std::array<uint8_t, 256> kFoldCase = MakeFoldCase();

}  // namespace anyhtml_internal

// Length of the UTF-8 sequence that starts with `lead`: 0x00-0xC1 -> 1,
// 0xC2-0xDF -> 2, 0xE0-0xEF -> 3, 0xF0-0xF4 -> 4, 0xF5-0xFF -> 1. Continuation
// bytes and invalid leads count as single characters; never 0.
inline int Utf8SequenceLength(uint8_t lead) {
  return anyhtml_internal::kUtf8Length[lead];
}

// The C library's white space in the "C" locale: space, \t, \n, \v, \f, \r.
inline bool IsHtmlSpace(uint8_t c) { return anyhtml_internal::kByteClass[c] & 1; }
// An ASCII letter, or any byte from 0x7F to 0xFF.
inline bool IsHtmlLetter(uint8_t c) { return anyhtml_internal::kByteClass[c] & 2; }
// A letter, an ASCII digit, "_", "-", "." or ":".
inline bool IsHtmlNameChar(uint8_t c) { return anyhtml_internal::kByteClass[c] & 4; }
// Folds A-Z to a-z; every other byte is returned as it is, in every encoding.
inline uint8_t FoldAscii(uint8_t c) { return anyhtml_internal::kFoldCase[c]; }

// Whole-string comparison with ASCII-only case folding. Null never equals.
bool EqualsIgnoreCase(const char* a, const char* b);
// True when `text` begins with `prefix` (ASCII-only case folding). Null text or
// prefix gives false.
bool StartsWithIgnoreCase(const char* text, const char* prefix);
// Compares `length` bytes with ASCII-only case folding.
bool BytesEqualIgnoreCase(const char* a, const char* b, size_t length);

}  // namespace cvie
