// rules/rule_index.h
//
// An index over every rule of a RulesHolder: one Vectorscan database that
// looks for all rules at once, so that a check scans its text once instead of
// running each rule in turn. The database only proposes candidate rules; each
// candidate whose type mask covers the check is confirmed with the holder's
// own PCRE2 pattern (RulesHolder::Match), so PCRE2 alone decides and a check
// gives exactly the decision of the rule-by-rule scan.
//
// A rule made of literal text and ".*" (nearly every rule of a real list) is
// looked for by its longest literal run, because Vectorscan misses some
// matches of wildcard patterns; a rule whose longest run is one character is
// tried one by one. Other patterns go in whole, and those Vectorscan cannot
// compile exactly are compiled in prefilter mode
// (it may propose too many candidates, never too few); the few it rejects even
// then are tried one by one on every check. Patterns that mean the same byte
// by byte on ASCII text are compiled without UTF-8 mode (a smaller, faster
// database); the others keep it. Non-ASCII text is scanned too, but the two
// libraries fold the case of some non-ASCII characters differently and a
// byte-by-byte pattern sees a character as several bytes, so there only the
// rules made of literal text and ".*" are left to the database and the others
// are tried one by one; malformed UTF-8, and text holding a character that
// folds to an ASCII letter, go to the rule-by-rule scan.
//
// Immutable once built; Score may be called from any number of threads at
// once (each thread has its own scan scratch space).

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct hs_database;

namespace cvie {

class RulesHolder;

class RuleIndex {
 public:
  // How one rule takes part in the index.
  enum Mode : uint8_t {
    kNotIndexed = 0,  // a bad rule: never matches, not scanned for
    kExact = 1,       // in the database: its longest literal or its whole pattern
    kPrefilter = 2,   // in the database, compiled in prefilter mode
    kFallback = 3,    // tried rule by rule on every check
  };

  ~RuleIndex();
  RuleIndex(const RuleIndex&) = delete;
  RuleIndex& operator=(const RuleIndex&) = delete;

  // Compiles the index over the rules of `holder` (which must outlive it).
  // Null only when Vectorscan cannot build any database at all.
  static std::unique_ptr<RuleIndex> Build(const RulesHolder& holder);

  // The index as bytes (for a cache file), bound to the holder's rules by
  // RulesKey(). Empty on failure.
  std::string Serialize() const;
  // Rebuilds an index from Serialize() output. Null when the bytes are
  // damaged, were made by another program or library version, or belong to
  // other rules than those of `holder`.
  static std::unique_ptr<RuleIndex> Deserialize(const RulesHolder& holder,
                                                const std::string& bytes);

  // Loads the index from the cache file at `cache_path` when it is valid for
  // the holder's rules; otherwise builds it and writes the cache (a write
  // failure only costs time on the next start). `from_cache` (may be null)
  // tells which happened. Null when no index can be built.
  static std::unique_ptr<RuleIndex> LoadOrBuild(const RulesHolder& holder,
                                                const std::wstring& cache_path,
                                                bool* from_cache);

  // A key of the program version, the library version and every rule's
  // pattern and options: a cache is used only for rules with the same key.
  static std::string RulesKey(const RulesHolder& holder);

  // BLOCK_SCORE when a rule whose type mask shares a bit with `mask` matches
  // the `length` bytes at `text` (NUL-terminated), else 0: the same answer as
  // the rule-by-rule scan.
  int Score(uint32_t mask, const char* text, size_t length) const;
  // The same answer; on BLOCK_SCORE `*rule` is the first rule in list order
  // that matches (the rule the rule-by-rule scan stops at). A little slower
  // than Score on a blocked text (the scan goes on to the end of the text,
  // confirming only candidates earlier in the list); the same otherwise.
  int FindRule(uint32_t mask, const char* text, size_t length, size_t* rule) const;

  // Counts by mode, for reports.
  size_t CountOf(Mode mode) const;
  // Bytes of the compiled database.
  size_t DatabaseBytes() const;

 private:
  RuleIndex(const RulesHolder& holder, std::vector<uint8_t> modes, hs_database* db);
  // Score (first null: stop at any match) or FindRule.
  int Decide(uint32_t mask, const char* text, size_t length, size_t* first) const;

  const RulesHolder& holder_;
  std::vector<uint8_t> modes_;      // one Mode per rule of the holder
  std::vector<uint32_t> fallback_;  // rules tried one by one, in list order
  // Rules in the database that may miss a match in non-ASCII text: tried one
  // by one on such text when the database found nothing.
  std::vector<uint32_t> not_bytewise_;
  hs_database* db_ = nullptr;  // null when no rule is in the database
  uint64_t serial_;            // tells thread scratch spaces which index they fit
  // The score of the empty text, by mask: the same for every page, and a
  // rule-by-rule scan of the whole list to work out, so it is worked out once.
  mutable std::mutex empty_mu_;
  mutable std::map<uint32_t, int> empty_scores_;  // guarded by empty_mu_
};

}  // namespace cvie
