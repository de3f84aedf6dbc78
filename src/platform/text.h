// platform/text.h
//
// Conversions between the wide strings the system uses for paths, options and
// messages and the 8-bit strings of files and the system calls (UTF-8).

#pragma once

#include <string>

namespace cvie {

std::string ToNarrow(const std::wstring& wide);   // UTF-8
std::wstring ToWide(const std::string& narrow);   // from UTF-8; bad bytes as U+FFFD

}  // namespace cvie
