// rules/rule_index_cache.h
//
// Where the compiled rule index of a rule file is kept between runs, and its
// rebuilding when a new rule file is installed. The cache only saves start-up
// time: it is used only for exactly the rules and program it was made for, so
// a missing, stale or damaged cache never changes a decision.

#pragma once

#include <string>

namespace cvie {

// The cache file of the rule file at `rule_file`: beside it, named
// rule_file + ".idx".
std::wstring RuleIndexCachePath(const std::wstring& rule_file);

// Reads the rules of the enciphered rule file at `rule_file` and writes the
// index cache for them (compiling it unless a valid cache is there already).
// Runs on the calling thread; takes tens of seconds for a large list. Returns
// true when a usable index was built or loaded.
bool RebuildRuleIndexCache(const std::wstring& rule_file);

}  // namespace cvie
