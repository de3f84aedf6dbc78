// app/rule_source.h
//
// Where a command's rules come from: a plain rule list (--rule-text), an
// enciphered rule file (--rules), public filter lists (--list, any number),
// or, when none is given, the installed rule file loaded as the product loads
// it (PrepareRules). With any of them, exactly the rules named are used.

#pragma once

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include <vector>

#include "lists/list_engine.h"
#include "lists/list_set.h"
#include "rules/rules_holder.h"

namespace cvie::app {

struct RuleSource {
  std::string rule_text;           // plain rule list, or empty
  std::string rule_file;           // enciphered rule file, or empty
  std::vector<std::string> lists;  // filter-list files

  // Declares --rule-text and --rules on `sub` (they exclude each other) and
  // --list.
  void AddOptions(CLI::App* sub);

  // True when the product's own rules are to be asked: a rule file or list
  // is named, or no list is.
  bool WantsRules() const {
    return !rule_text.empty() || !rule_file.empty() || lists.empty();
  }

  // Reads and compiles the --list files (null engine when there are none).
  // False with `*error` set when a file cannot be read or compiled.
  // With `index_cache` the index is taken from (or written to) that cache
  // file; `from_cache` (may be null) tells whether it was.
  bool LoadLists(std::unique_ptr<lists::ListEngine>* engine, std::string* error,
                 const std::string& index_cache = std::string(),
                 bool* from_cache = nullptr) const;

  // The lists a command filters with: the --list files when any is named;
  // else, when no rule file is named either, the installed lists folder
  // (loaded once); else none (null). False with `*error` set when a named
  // file cannot be read or the lists cannot be compiled.
  bool LoadListSet(std::shared_ptr<const lists::ListSet>* set, std::string* error) const;

  // Loads the rules. Returns the holder to ask (owned by `owned` for a list or a
  // file named on the command line, process-wide for the installed rule file),
  // or null with `*error` set to a one-line message. Each rule of a plain list
  // that does not compile is named on stderr with its line number (it stays in
  // the holder and never matches).
  RulesHolder* Load(std::unique_ptr<RulesHolder>* owned, std::string* error) const;
};

}  // namespace cvie::app
