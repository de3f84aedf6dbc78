// platform/text.h
//
// Conversions between the wide strings the system uses for paths, options and
// messages and the 8-bit strings of files and the system calls (UTF-8), plus
// the two locale-dependent text services the layers above need: wide printf
// formatting and case folding. Every function is pure and thread-safe; none
// changes the process's C locale.

#pragma once

#include <stdarg.h>

#include <string>

namespace cvie::platform {

// UTF-8. A wide character that is no Unicode scalar value (a surrogate or a
// value above U+10FFFF) is written as U+FFFD.
std::string ToNarrow(const std::wstring& wide);
// From UTF-8; every malformed sequence (bad lead byte, missing continuation,
// overlong form, surrogate, value above U+10FFFF) becomes one U+FFFD.
std::wstring ToWide(const std::string& narrow);

// Formats like vswprintf into *out, with no length limit. 8-bit "%s"
// arguments are read as UTF-8 whatever the process locale is. Returns false
// when an argument cannot be converted (malformed UTF-8) or the result would
// exceed 4 Mi characters; *out is then empty.
bool FormatWideV(std::wstring* out, const wchar_t* format, va_list args);

// Lower-cases every character (full Unicode simple case mapping where the C
// library has it, ASCII otherwise): the key for case-insensitive comparison.
std::wstring FoldCase(const std::wstring& text);

// Reads a number as strtod does in the "C" locale (a decimal point, whatever
// the process's locale says); *end (optional) gets the first unread byte.
double ParseCLocaleNumber(const char* text, char** end = nullptr);

}  // namespace cvie::platform
