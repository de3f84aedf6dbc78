// rules/bundled_rules.h
//
// The default rule file carried inside the program: data/rules/default.txt,
// enciphered as a rule file of version 1.0 when the program is built. It is
// installed when no rule file has been installed yet (cvie rules install).
//
// Defined in the generated library cvie_bundled_rules (app/bundled_rules.cmake),
// which the cvie program links; the rule library itself does not need it.

#pragma once

#include <string_view>

namespace cvie {

// The bytes of the bundled rule file: a complete enciphered rule file, header
// included. Valid for the life of the process.
std::string_view BundledRuleFile();

}  // namespace cvie
