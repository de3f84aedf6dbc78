// app/rule_source.h
//
// Where a command's rules come from: a plain rule list (--rule-text), an
// enciphered rule file (--rules), or, when neither is given, the installed rule
// file loaded as the product loads it (PrepareRules).

#pragma once

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "rules/rules_holder.h"

namespace cvie::app {

struct RuleSource {
  std::string rule_text;  // plain rule list, or empty
  std::string rule_file;  // enciphered rule file, or empty

  // Declares --rule-text and --rules on `sub` (they exclude each other).
  void AddOptions(CLI::App* sub);

  // Loads the rules. Returns the holder to ask (owned by `owned` for a list or a
  // file named on the command line, process-wide for the installed rule file),
  // or null with `*error` set to a one-line message. Each rule of a plain list
  // that does not compile is named on stderr with its line number (it stays in
  // the holder and never matches).
  RulesHolder* Load(std::unique_ptr<RulesHolder>* owned, std::string* error) const;
};

}  // namespace cvie::app
