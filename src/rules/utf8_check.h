// rules/utf8_check.h
//
// UTF-8 validity as the regular-expression library judges it in UTF mode
// (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF, no 5-
// or 6-byte forms). Lets a check validate a text once and then skip the
// library's own check on each of the many rules it runs over that text.

#pragma once

#include <stddef.h>

namespace cvie {

// True when the `length` bytes at `text` are well-formed UTF-8. Pure.
bool IsValidUtf8(const char* text, size_t length);

}  // namespace cvie
