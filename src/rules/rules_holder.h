// rules/rules_holder.h
//
// The rule engine of one process: the compiled filter rules and the questions
// the page editor asks about them. Filled once while a rule file is loaded
// (ParseRule, on one thread), then shared read-only by every thread that
// filters a page: CheckElement, CheckScript, Score, ScoreScript and Match keep
// their match state per call (per thread) and never change the holder, so any
// number of threads may call them at once.
//
// Patterns are PCRE2 8-bit expressions compiled in UTF mode, caseless unless a
// rule says "match-case". Rules are tried one by one in the order they were
// read; the first rule that matches decides.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "anyhtml/rule_checker.h"
#include "rules/filter_rule.h"
#include "rules/rule_options.h"

namespace cvie {

class RuleIndex;  // rules/rule_index.h

// Score of an element that a rule matched; 0 means no rule matched.
constexpr int BLOCK_SCORE = -10;
// An element is blocked when its score is below this.
constexpr int BLOCK_THRESHOLD = -5;

// Sees every rule a check tries, in order (used to explain a decision).
class MatchObserver {
 public:
  virtual ~MatchObserver() = default;
  // `index` is the rule's position in the list, `text` what it was tried on,
  // `result` what Match returned (positive: matched).
  virtual void RuleTried(size_t index, const char* text, int result) = 0;
};

class RulesHolder : public AnyHtmlEditorRuleChecker {
 public:
  RulesHolder();

  // Forgets the answers the calling thread remembers of its recent checks
  // and hands back their memory; a worker calls it when it falls quiet.
  // Returns how many answers were forgotten.
  static size_t ForgetThreadAnswers();
  ~RulesHolder() override;  // frees every rule and its compiled pattern
  RulesHolder(const RulesHolder&) = delete;
  RulesHolder& operator=(const RulesHolder&) = delete;

  // ---- Loading (one thread, before the holder is shared) ----

  // Parses one line of rule text (without its line end) and, when it is a rule,
  // compiles it and appends it, also when compilation fails. Returns 1 when a
  // rule was added, 0 when the line was ignored (comment, exception, hiding
  // rule, directive, empty pattern), -1 when the line is a stop directive for
  // this program version: no further line may be passed. The line ends at its
  // first NUL byte, if any.
  int ParseRule(std::string line);
  // The same for line `line_number` of the rule text (1 for the first line);
  // the one-argument form numbers the lines it is given one after the other.
  int ParseRule(std::string line, uint32_t line_number);

  // The name explanations give the rule text ("cvie.rle", a list file name).
  void set_source_name(std::string name) { source_name_ = std::move(name); }
  const std::string& source_name() const { return source_name_; }

  // True when the line is an element-hiding rule: it contains "#" anywhere.
  static bool IsHidingRule(const std::string& line);

  // The options word of the list after the "$" at `dollar`. 0 when no keyword
  // is recognised. A "~" anywhere inverts the whole type mask (when not 0).
  static uint32_t ParseOptions(const std::string& line, size_t dollar);

  // For a "!CV " line: 1 when the text at `offset` is "STOP" followed by a
  // version not below this program's ("2.2"), else 0. The number is read in
  // the C locale, whatever the process locale is.
  static int CheckStopDirective(const std::string& line, size_t offset);

  // Compiles `rule->pattern`. Returns 1 and stores the compiled pattern, or 0,
  // logs "Rule compilation failed at offset %d : %s" and keeps the error.
  int CompileRule(FilterRule* rule);

  // Logs "%d good rules loaded." with the number of rules, bad ones included.
  void LogRuleCount() const;

  // Set once the whole rule file has been read; pages are filtered only then.
  bool loaded() const { return loaded_.load(std::memory_order_acquire); }
  void set_loaded(bool loaded) { loaded_.store(loaded, std::memory_order_release); }

  // The last compilation error (loading thread only).
  const std::string& compile_error_message() const { return compile_error_message_; }
  int compile_error_offset() const { return compile_error_offset_; }

  // ---- Checking (any thread) ----

  // True when a rule whose types cover `kind` matches `text`. Null text or a
  // kind outside 0..8 is never blocked and nothing is traced. `encoding` is
  // not used.
  bool CheckElement(int kind, const char* text, int encoding) override;
  // True when the script block is blocked: its whole text by a "script-text"
  // rule, or one of the URLs found in it by a "script-url" rule. Null text is
  // never blocked.
  bool CheckScript(const char* text, int encoding) override;

  // The same decisions as CheckElement / CheckScript, through the index when
  // there is one, with the deciding rule named in `verdict->rule` (RuleName).
  // The rule named is the first one in list order that matches, as the
  // rule-by-rule scan decides. `verdict->exception` stays empty: the rule
  // file has no exceptions.
  bool ExplainElementCheck(int kind, const char* text, int encoding,
                           CheckVerdict* verdict) override;
  bool ExplainScriptCheck(const char* text, int encoding, CheckVerdict* verdict) override;

  // "<source name>:<line>: <rule text>" for the rule at `index`.
  std::string RuleName(size_t index) const;

  // The same decisions, reporting each rule tried to `observer` (may be null).
  bool ExplainElement(int kind, const char* text, MatchObserver* observer) const;
  bool ExplainScript(const char* text, MatchObserver* observer) const;

  // BLOCK_SCORE when a rule whose type mask shares a bit with `mask` matches
  // `text`, else 0. Null text scores 0.
  int Score(uint32_t mask, const char* text) const;
  // The script block's score: the whole text with the "script-text" bit, then
  // each URL found in it with the "script-url" bit, until one is blocked.
  int ScoreScript(const char* text) const;

  // Runs one rule over `text`: captured pairs plus one (positive) on a match,
  // 10 when the match has more groups than the 10-pair vector holds, 0 when
  // there is no match or the matcher failed (a bad rule always fails).
  int Match(const char* text, const FilterRule* rule) const;

  // Finds the next URL in script text, as ScoreScript does: the first
  // "http://" anywhere, else the first href=" / src=" / href=' / src=' form;
  // it ends at the first double quote after its start, else the first blank,
  // else the first single quote, else the end of the text. On a non-empty URL
  // stores it in `url`, moves `*remaining` to its end character (null when it
  // ran to the end of the text) and returns true. Returns false when no URL
  // form is found or the URL is empty; the scan ends there.
  static bool NextScriptUrl(const char** remaining, std::string* url);

  // ---- The rule list, for other matchers built over the same rules ----

  size_t RuleCount() const { return rules_.size(); }
  // The rule at `index` (below RuleCount()), in the order the rules were read.
  const FilterRule& Rule(size_t index) const { return *rules_[index]; }
  // Match over the `length` bytes of `text`, which the caller has found to
  // be well-formed UTF-8 (so the matcher does not check it again) and free of
  // NUL bytes: the same result as Match on that text.
  int MatchValid(const char* text, size_t length, const FilterRule* rule) const;
  // Match of rule `index` over `text`; 0 for an index past the end.
  int MatchRule(size_t index, const char* text) const;
  // Rules whose pattern did not compile.
  size_t BadRuleCount() const;

  // ---- Candidate index (rules/rule_index.h) ----

  // Builds the index over the rules read so far, loading it from (or saving
  // it to) the cache file at `cache_path` unless that is empty. From then on
  // checks scan each text once and confirm candidates with Match; decisions
  // stay those of the rule-by-rule scan. Loading thread only, before the
  // holder is shared. False when no index could be built (checks then stay
  // rule by rule). `from_cache` (may be null) tells whether the cache served.
  bool EnableIndex(const std::wstring& cache_path, bool* from_cache = nullptr);
  // The index, or null.
  const RuleIndex* index() const { return index_.get(); }
  // When set, checks go rule by rule even with an index (the reference scan).
  // Not to be changed while other threads check.
  void set_reference_scan(bool on) { reference_scan_ = on; }

 private:
  // `decided` (may be null) receives the index of the first matching rule in
  // list order when the score is BLOCK_SCORE.
  int ScoreText(uint32_t mask, const char* text, MatchObserver* observer,
                size_t* decided = nullptr) const;
  // ScoreText on `length` bytes, without looking at remembered answers.
  int ScoreTextOnce(uint32_t mask, const char* text, size_t length,
                    MatchObserver* observer, size_t* decided) const;
  int ScoreScriptText(const char* text, MatchObserver* observer,
                      size_t* decided = nullptr) const;
  int MatchText(const char* text, size_t length, const FilterRule* rule,
                uint32_t match_options) const;

  std::atomic<bool> loaded_{false};
  std::string source_name_;            // names the rule text in explanations
  uint32_t lines_read_ = 0;            // line number of the last line given to ParseRule
  std::string compile_error_message_;  // last compilation error
  int compile_error_offset_ = 0;
  std::vector<std::unique_ptr<FilterRule>> rules_;  // in the order they were read
  uint32_t types_ = 0;  // every type bit some rule has (TYPE_MASK_BITS)
  // Names this holder's rules as they are now: checks on a thread remember
  // their answers under it (a new one whenever a rule is added).
  uint64_t serial_;
  std::unique_ptr<RuleIndex> index_;  // candidate index; null: rule by rule
  bool reference_scan_ = false;       // ignore index_
};

}  // namespace cvie
