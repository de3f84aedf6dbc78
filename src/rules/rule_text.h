// rules/rule_text.h
//
// Reading a plain (not enciphered) rule list into a holder: the form rule
// authors edit and the command-line tools and benchmarks read.

#pragma once

#include <string>

#include "rules/rules_holder.h"

namespace cvie {

// Passes every line of the file at `path`, without its line end ("\n" or
// "\r\n"), to holder->ParseRule in file order, and stops after a line that
// returns -1 (a stop directive). Lines of any length are passed whole. Does
// not set the loaded flag or log the rule count. Returns false when the file
// cannot be opened or read (the lines read until then stay in the holder).
bool ReadRuleText(const std::string& path, RulesHolder* holder);

}  // namespace cvie
