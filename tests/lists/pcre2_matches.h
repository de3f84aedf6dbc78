// tests/lists/pcre2_matches.h
//
// PCRE2's own answer, for tests that hold a list matcher against it: whether
// `pattern` (compiled with DOTALL, and CASELESS unless `match_case`) matches
// somewhere in `text`. An invalid pattern matches nothing.

#pragma once

#include <pcre2.h>

#include <string>

namespace cvie::lists {

inline bool Pcre2Matches(const std::string& pattern, bool match_case,
                         const std::string& text) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(
      reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
      (match_case ? 0 : PCRE2_CASELESS) | PCRE2_DOTALL, &error, &offset, nullptr);
  if (code == nullptr) return false;
  pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
  int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0,
                       data, nullptr);
  pcre2_match_data_free(data);
  pcre2_code_free(code);
  return rc >= 0;
}

}  // namespace cvie::lists
