// lists/regex_literal.h
//
// A run of characters every match of a list's /regex/ rule holds, so that
// the rule index can look for it and try the regular expression only on
// addresses that contain it. The reading is deliberately cautious: anything
// it does not fully understand (alternation at the top level, inline
// options, \Q...\E, escapes with a letter it does not know, bytes outside
// ASCII) ends a run or gives no run at all, never a run a match could lack.
//
// Plain function; safe from any thread.

#pragma once

#include <string>
#include <string_view>

namespace cvie::lists {

// The longest run of literal characters that every text the PCRE2 pattern
// `pattern` matches must contain, as written in the pattern (case as
// written: the caller compares without case). Empty when none is certain.
std::string RequiredLiteralOfRegex(std::string_view pattern);

}  // namespace cvie::lists
