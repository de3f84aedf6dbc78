// rules/filter_rule.h
//
// One accepted rule line: its translated regular expression, the compiled
// pattern, whether it compiled, and its options word (rules/rule_options.h).
// Made by RulesHolder::ParseRule and owned by the holder's rule list; never
// changed after loading, so any number of threads may read it at once.

#pragma once

#include <stdint.h>

#include <string>

#include "rules/rule_options.h"

struct pcre2_real_code_8;  // PCRE2's compiled pattern (pcre2_code, 8-bit)

namespace cvie {

struct FilterRule {
  FilterRule() = default;
  ~FilterRule();  // frees the compiled pattern
  FilterRule(const FilterRule&) = delete;
  FilterRule& operator=(const FilterRule&) = delete;

  // The translated pattern handed to the compiler. Kept after compilation so
  // that other matchers (an index over all rules) can be built from the same
  // text; the rule scan itself only uses the compiled form.
  std::string pattern;
  // The compiled pattern; null when compilation failed.
  pcre2_real_code_8* compiled = nullptr;
  // 1 if the pattern compiled, 0 if not. A bad rule never matches.
  int32_t good = 0;
  // Type mask (bits 0-23) and flags (bits 24-31).
  uint32_t options = 0;
  // The rule as written (trailing blanks removed), for explanations.
  std::string text;
  // Its line in the rule text (1 for the first line); 0 when not known.
  uint32_t line = 0;

  uint32_t type_mask() const { return options & TYPE_MASK_BITS; }
  bool caseless() const { return (options & FLAG_MATCH_CASE) == 0; }
  // The PCRE2 compile options used for this rule: UTF always, caseless unless
  // the rule says "match-case".
  uint32_t compile_options() const;
};

}  // namespace cvie
