// rules/rule_text.h
//
// Reading a plain (not enciphered) rule list into a holder: the form rule
// authors edit and the command-line tools and benchmarks read.

#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "rules/rules_holder.h"

namespace cvie {

// A line that became a rule whose pattern does not compile (the rule is kept
// and never matches).
struct BadRuleLine {
  size_t line_number;  // 1 for the first line of the file
  std::string text;    // the line as read, without its line end
  std::string error;   // the compiler's message
};

// Passes every line of the file at `path`, without its line end ("\n" or
// "\r\n"), to holder->ParseRule in file order, and stops after a line that
// returns -1 (a stop directive). Lines of any length are passed whole. Does
// not set the loaded flag or log the rule count. Returns false when the file
// cannot be opened or read (the lines read until then stay in the holder).
// Names the holder's source by the file name (explanations say "name:line").
// When `bad_rules` is given, each line whose rule does not compile is added
// to it.
bool ReadRuleText(const std::string& path, RulesHolder* holder,
                  std::vector<BadRuleLine>* bad_rules = nullptr);

}  // namespace cvie
