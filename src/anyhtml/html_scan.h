// anyhtml/html_scan.h
//
// The scanning routines the parser is built from. Each works on the span
// [p, end) of a page and never reads at or past `end`: a caller may pass a span
// that is not followed by anything readable. (The parser's callers still append
// two zero bytes to a page, which keeps the routines' results the same as if
// they looked at those bytes.) In UTF-8 mode (encoding 1) the text is stepped
// one character at a time, a character being Utf8SequenceLength bytes of its
// lead byte; in any other mode one byte at a time. Pure functions; safe from any
// thread.

#pragma once

#include <stddef.h>

#include <string>

#include "anyhtml/html_element.h"

namespace cvie {

// Reads one character at p. Returns 1 when p is at or past end. Otherwise sets
// *length to the character's length (Utf8SequenceLength in UTF-8 mode, else 1),
// shortened to the bytes left before end, copies its bytes to `bytes` (room for
// 4; a multi-byte copy stops early at a zero byte), sets *copied to the number
// copied, and returns 0.
int ReadChar(const char* p, const char* end, int encoding, char bytes[4], int* length,
             int* copied);

// Compares the NUL-terminated strings p and text byte by byte while both have
// bytes left. Prefix form (whole == false): true when all of text was matched.
// Whole form: true when both ended together. Case folding is ASCII-only.
bool MatchText(const char* p, const char* text, bool case_insensitive, bool whole);

// Searches [p, end) for `marker` (NUL-terminated), stepping one character at a
// time, so in UTF-8 mode the marker is found only at character boundaries.
// Found: returns 0 and sets *position just after the marker. Not found: returns
// 1 and sets *position to end (to p when p is already at or past end). When
// `collect` is given, the characters passed over before the marker (or before
// end) are appended to it as ReadChar copies them.
int FindMarker(const char* p, const char* end, const char* marker, bool case_insensitive,
               int encoding, std::string* collect, const char** position);

// Skips white space (and, in UTF-8 mode, the sequences EF BB BF, EF BF BE and
// EF BF BF). Sets *position to the first byte not skipped; returns 1 when that
// is end, else 0.
int SkipWhitespace(const char* p, const char* end, int encoding, const char** position);

// Reads a name: a letter or "_" followed by name characters. Returns 0 with the
// name in *name (replacing its contents) and *position after it; 1 when p is at
// or past end; 2 when the first byte cannot start a name. On failure *name is
// left as it was and *position is p.
int ReadName(const char* p, const char* end, std::string* name, const char** position);

// Parses the tag at p ("<") into `element` (a new or Reset element): flags, name (its
// ownText is the name as written, its span the name's bytes) and attributes (names and
// values likewise; a value's span includes its quotes, its ownText does not). Sets
// *position to where parsing stopped: after the tag on success. Returns an
// AnyHtmlError code: 0 on success, 1 when the input ended, 4 to 8 for markup
// that is not a tag (see html_types.h). The element's span is not set here.
int ParseElement(AnyHtmlElement* element, const char* p, const char* end, int encoding,
                 const char** position);

}  // namespace cvie
