#include "rules/rule_index.h"

#include <ctype.h>
#include <hs/hs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string_view>

#include "log/logger.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "rules/cache_bytes.h"
#include "rules/rules_holder.h"
#include "rules/scan_target.h"
#include "rules/utf8_check.h"

namespace cvie {

namespace {

constexpr char kMagic[8] = {'C', 'V', 'I', 'E', 'I', 'D', 'X', '8'};
// The program version a cache was written by.
constexpr char kProgramVersion[] = "2.2";

std::atomic<uint64_t> next_serial{1};

// Scan scratch space of the calling thread, grown to fit each index it is
// used with and freed when the thread ends.
struct ThreadScratch {
  hs_scratch_t* scratch = nullptr;
  uint64_t fitted_serial = 0;  // the index it was last grown for
  ~ThreadScratch() {
    if (scratch != nullptr) hs_free_scratch(scratch);
  }
};

hs_scratch_t* ScratchFor(const hs_database_t* db, uint64_t serial) {
  thread_local ThreadScratch per_thread;
  if (per_thread.fitted_serial != serial || per_thread.scratch == nullptr) {
    if (hs_alloc_scratch(db, &per_thread.scratch) != HS_SUCCESS) return nullptr;
    per_thread.fitted_serial = serial;
  }
  return per_thread.scratch;
}

bool IsAscii(const char* text, size_t length) {
  size_t i = 0;
  for (; i + sizeof(uint64_t) <= length; i += sizeof(uint64_t)) {
    uint64_t word;
    memcpy(&word, text + i, sizeof word);
    if ((word & 0x8080808080808080ull) != 0) return false;
  }
  for (; i < length; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

// True when `pattern`, compiled byte by byte, finds every match that PCRE2 in
// UTF mode finds in well-formed UTF-8 text, as long as the text holds neither
// U+212A (KELVIN SIGN, a caseless "k") nor U+017F (LONG S, a caseless "s"):
// an optional leading "^", then ASCII literal characters, escaped punctuation
// and ".*" only, and an optional trailing "\Z". Such a pattern never has to
// match one whole non-ASCII character, where the byte-by-byte form would see
// several bytes. Nearly every rule of a real list is of this form.
bool MatchesBytewiseInUtf8(const std::string& pattern) {
  size_t i = !pattern.empty() && pattern[0] == '^' ? 1 : 0;
  while (i < pattern.size()) {
    unsigned char c = static_cast<unsigned char>(pattern[i]);
    if (c < 0x20 || c >= 0x7F) return false;
    if (c == '\\') {
      if (i + 1 >= pattern.size()) return false;
      unsigned char escaped = static_cast<unsigned char>(pattern[i + 1]);
      if (escaped == 'Z' && i + 2 == pattern.size()) return true;
      if (escaped <= 0x20 || escaped >= 0x7F || isalnum(escaped)) return false;
      i += 2;
    } else if (c == '.') {
      if (i + 1 >= pattern.size() || pattern[i + 1] != '*') return false;
      i += 2;
    } else if (strchr("^$[]|()?*+{}", c) != nullptr) {
      return false;
    } else {
      ++i;
    }
  }
  return true;
}

// True when the text holds a character that folds to an ASCII letter.
bool HasAsciiFoldingCharacter(const char* text, size_t length) {
  static constexpr char kKelvin[] = "\xE2\x84\xAA";
  static constexpr char kLongS[] = "\xC5\xBF";
  std::string_view view(text, length);
  return view.find(kKelvin) != std::string_view::npos ||
         view.find(kLongS) != std::string_view::npos;
}

// True when `pattern` may mean something else in UTF-8 mode than byte by byte
// on ASCII text: it holds a non-ASCII byte, a character given by number or
// property ("\x{212A}" is a caseless "k" in UTF mode), a back reference or
// octal number, or a "(*" start-of-pattern option.
bool NeedsUtf8(const std::string& pattern) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(pattern[i]);
    if (c >= 0x80) return true;
    if (c == '(' && i + 1 < pattern.size() && pattern[i + 1] == '*') return true;
    if (c != '\\' || i + 1 >= pattern.size()) continue;
    char escaped = pattern[++i];
    if ((escaped >= '0' && escaped <= '9') ||
        (escaped != '\0' && strchr("xoNpPXCRgk", escaped) != nullptr)) {
      return true;
    }
  }
  return false;
}

// The longest run of literal characters, unescaped, of a pattern of the form
// MatchesBytewiseInUtf8 accepts: every text the pattern matches holds it.
std::string LongestLiteral(const std::string& pattern) {
  std::string longest;
  std::string run;
  size_t i = !pattern.empty() && pattern[0] == '^' ? 1 : 0;
  while (i < pattern.size()) {
    char c = pattern[i];
    if (c == '\\' && i + 1 < pattern.size()) {
      if (pattern[i + 1] == 'Z') break;
      run += pattern[i + 1];
      i += 2;
    } else if (c == '.') {  // ".*"
      if (run.size() > longest.size()) longest = run;
      run.clear();
      i += 2;
    } else {
      run += c;
      ++i;
    }
  }
  return run.size() > longest.size() ? run : longest;
}

// What the database looks for on behalf of a rule. A candidate only has to be
// found whenever the rule matches (PCRE2 then decides), and Vectorscan 5.4.9
// was seen to miss matches of wildcard patterns: "^.*js" (caseless) in
// "http://track.example.net/t.js", or "^http.*aa" next to a few other
// patterns in "http://www.example.caa". Plain literal search is the part of
// it that holds up, so a rule of literals and wildcards is looked for by its
// longest literal run; other rules keep their whole pattern, with "." taking
// any byte (which only widens it).
//
// On ASCII text a pattern of ASCII literals, classes and wildcards matches the
// same in UTF-8 mode and byte by byte: no ASCII character folds to or from a
// non-ASCII one except through "k" and "s", which an ASCII pattern can only
// reach by number. Byte mode builds a database less than half the size that
// scans about twice as fast, so UTF-8 mode is kept only for patterns that
// need it.
struct DatabaseEntry {
  std::string pattern;  // empty: the rule cannot be looked for this way
  unsigned flags = 0;
};

DatabaseEntry EntryFor(const FilterRule& rule) {
  DatabaseEntry entry;
  entry.flags = HS_FLAG_SINGLEMATCH;
  if (rule.caseless()) entry.flags |= HS_FLAG_CASELESS;
  const bool needs_utf8 = NeedsUtf8(rule.pattern);
  if (!needs_utf8 && MatchesBytewiseInUtf8(rule.pattern)) {
    // A run of one character would be a candidate nearly everywhere; such
    // rules are rare and are tried one by one instead.
    std::string literal = LongestLiteral(rule.pattern);
    if (literal.size() < 2) return entry;
    for (unsigned char c : literal) {
      if (isalnum(c)) {
        entry.pattern += static_cast<char>(c);
      } else {
        char escaped[5];
        snprintf(escaped, sizeof escaped, "\\x%02x", c);
        entry.pattern += escaped;
      }
    }
    return entry;
  }
  entry.pattern = rule.pattern;
  entry.flags |= HS_FLAG_ALLOWEMPTY | HS_FLAG_DOTALL;
  if (needs_utf8) entry.flags |= HS_FLAG_UTF8;
  return entry;
}

// True when `pattern` holds an ASCII control byte. Vectorscan was seen to miss
// matches of such patterns that PCRE2 finds (for example "^:+\x01@\x01@\\\r|ko"
// against a text ending in "ko"); rule text never needs them, so these rules
// are simply tried one by one.
bool HasControlBytes(const std::string& pattern) {
  for (unsigned char c : pattern) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// True when `pattern` has an alternation ("|" outside a class and not escaped).
// Fuzzing found alternations whose matches Vectorscan missed where PCRE2
// found them (for example "^==ht:hrmfatcH|\/+t|=\"" against a text holding
// "=\""); real rule lists have few of them, so they are tried one by one.
bool HasAlternation(const std::string& pattern) {
  bool in_class = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c == '\\') {
      ++i;
    } else if (in_class) {
      if (c == ']') in_class = false;
    } else if (c == '[') {
      in_class = true;
      if (i + 1 < pattern.size() && pattern[i + 1] == ']') ++i;
    } else if (c == '|') {
      return true;
    }
  }
  return false;
}

// True when `pattern` has a character class ("[" not escaped). Vectorscan and
// PCRE2 read some classes differently (POSIX-like "[." or a "[" inside a
// class, ranges that follow a range), and fuzzing found Vectorscan missing
// matches of such classes, for example "\/ad0[.*exam.*-subdocume.*r0].*rl"
// and "\/ad0[\".*-u-PS .*(-.*+.*r0].*2l" against the rules' own texts. Rule
// lists hardly use classes (the shared 52,000-rule list has none), so these
// rules are tried one by one.
bool HasCharacterClass(const std::string& pattern) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '\\') {
      ++i;
    } else if (pattern[i] == '[') {
      return true;
    }
  }
  return false;
}

// True when Vectorscan accepts `pattern` with `flags` (parse and analysis).
bool Accepts(const std::string& pattern, unsigned flags) {
  hs_expr_info_t* info = nullptr;
  hs_compile_error_t* error = nullptr;
  hs_error_t status = hs_expression_info(pattern.c_str(), flags, &info, &error);
  if (info != nullptr) free(info);
  if (error != nullptr) hs_free_compile_error(error);
  return status == HS_SUCCESS;
}

using cache_bytes::Fnv;
using cache_bytes::Put;
using cache_bytes::Reader;

// Rules already confirmed against the text of the running scan, per thread:
// a rule whose literal occurs many times in a long text (a script block) is
// reported at each occurrence, and its answer over the whole text is the same
// every time. stamps[rule] == epoch marks a rule tried in this scan.
struct TriedRules {
  std::vector<uint32_t> stamps;
  uint32_t epoch = 0;

  // Starts a scan over an index of `rules` rules.
  void Begin(size_t rules) {
    if (stamps.size() < rules) stamps.resize(rules, 0);
    if (++epoch == 0) {  // wrapped: forget every old mark
      std::fill(stamps.begin(), stamps.end(), 0);
      epoch = 1;
    }
  }
  // True the first time `rule` is seen in this scan.
  bool First(uint32_t rule) {
    if (stamps[rule] == epoch) return false;
    stamps[rule] = epoch;
    return true;
  }
};

struct ScanContext {
  const RulesHolder* holder;
  uint32_t mask;
  const char* text;
  size_t length;  // of text, which is well-formed UTF-8
  bool matched;
  TriedRules* tried;
  // Null: any match decides and ends the scan. Otherwise the first matching
  // rule in list order is wanted: *first holds the earliest confirmed so far
  // (SIZE_MAX: none) and only earlier candidates are confirmed.
  size_t* first;
};

int OnCandidate(unsigned int id, unsigned long long /*from*/, unsigned long long /*to*/,
                unsigned int /*flags*/, void* context) {
  ScanContext* scan = static_cast<ScanContext*>(context);
  if (scan->first != nullptr && id >= *scan->first) return 0;
  const FilterRule& rule = scan->holder->Rule(id);
  if ((rule.options & TYPE_MASK_BITS & scan->mask) == 0) return 0;
  if (!scan->tried->First(id)) return 0;  // answered no already
  if (scan->holder->MatchValid(scan->text, scan->length, &rule) <= 0) return 0;
  scan->matched = true;
  if (scan->first == nullptr) return 1;  // decided: stop scanning
  *scan->first = id;
  return id == 0 ? 1 : 0;  // nothing can come before rule 0
}

// The rule-by-rule scan, for text the database is not used on. `first` (may
// be null) receives the rule that matched.
int ScanRules(const RulesHolder& holder, uint32_t mask, const char* text,
              size_t* first = nullptr) {
  for (size_t i = 0; i < holder.RuleCount(); ++i) {
    const FilterRule& rule = holder.Rule(i);
    if ((rule.options & TYPE_MASK_BITS & mask) == 0) continue;
    if (holder.Match(text, &rule) > 0) {
      if (first != nullptr) *first = i;
      return BLOCK_SCORE;
    }
  }
  return 0;
}

// Compiles the database for the rules whose mode is kExact or kPrefilter,
// each looked for as entries[rule] says. When Vectorscan rejects one pattern
// of the set, that pattern is demoted (exact to prefilter, prefilter to
// fallback) and the set is compiled again.
hs_database_t* CompileDatabase(const std::vector<DatabaseEntry>& entries,
                               std::vector<uint8_t>* modes) {
  for (;;) {
    std::vector<const char*> patterns;
    std::vector<unsigned> flags;
    std::vector<unsigned> ids;
    for (size_t i = 0; i < modes->size(); ++i) {
      uint8_t mode = (*modes)[i];
      if (mode != RuleIndex::kExact && mode != RuleIndex::kPrefilter) continue;
      patterns.push_back(entries[i].pattern.c_str());
      flags.push_back(entries[i].flags |
                      (mode == RuleIndex::kPrefilter ? HS_FLAG_PREFILTER : 0));
      ids.push_back(static_cast<unsigned>(i));
    }
    if (patterns.empty()) return nullptr;
    hs_database_t* db = nullptr;
    hs_compile_error_t* error = nullptr;
    hs_platform_info_t platform = ScanTargetOfThisMachine().platform;
    hs_error_t status = hs_compile_multi(patterns.data(), flags.data(), ids.data(),
                                         static_cast<unsigned>(patterns.size()),
                                         HS_MODE_BLOCK, &platform, &db, &error);
    if (status == HS_SUCCESS) return db;
    int failed = error != nullptr ? error->expression : -1;
    Logger::Instance().LogA(LOG_NOTICE, "Rule index compilation failed: %s\n",
                            error != nullptr && error->message ? error->message : "?");
    if (error != nullptr) hs_free_compile_error(error);
    if (failed < 0 || static_cast<size_t>(failed) >= ids.size()) return nullptr;
    uint8_t& mode = (*modes)[ids[failed]];
    mode = mode == RuleIndex::kExact ? RuleIndex::kPrefilter : RuleIndex::kFallback;
  }
}

}  // namespace

RuleIndex::RuleIndex(const RulesHolder& holder, std::vector<uint8_t> modes,
                     hs_database* db)
    : holder_(holder), modes_(std::move(modes)), db_(db), serial_(next_serial++) {
  for (size_t i = 0; i < modes_.size(); ++i) {
    if (modes_[i] == kFallback) {
      fallback_.push_back(static_cast<uint32_t>(i));
    } else if (modes_[i] != kNotIndexed) {
      const std::string& pattern = holder_.Rule(i).pattern;
      if (NeedsUtf8(pattern) || !MatchesBytewiseInUtf8(pattern)) {
        not_bytewise_.push_back(static_cast<uint32_t>(i));
      }
    }
  }
}

RuleIndex::~RuleIndex() {
  if (db_ != nullptr) hs_free_database(db_);
}

std::unique_ptr<RuleIndex> RuleIndex::Build(const RulesHolder& holder) {
  std::vector<uint8_t> modes(holder.RuleCount(), kNotIndexed);
  std::vector<DatabaseEntry> entries(holder.RuleCount());
  for (size_t i = 0; i < holder.RuleCount(); ++i) {
    const FilterRule& rule = holder.Rule(i);
    if (!rule.good) continue;
    entries[i] = EntryFor(rule);
    const DatabaseEntry& entry = entries[i];
    if (entry.pattern.empty() || HasControlBytes(rule.pattern) ||
        HasAlternation(rule.pattern) || HasCharacterClass(rule.pattern)) {
      modes[i] = kFallback;
    } else if (Accepts(entry.pattern, entry.flags)) {
      modes[i] = kExact;
    } else if (Accepts(entry.pattern, entry.flags | HS_FLAG_PREFILTER)) {
      modes[i] = kPrefilter;
    } else {
      modes[i] = kFallback;
    }
  }
  hs_database_t* db = CompileDatabase(entries, &modes);
  entries = std::vector<DatabaseEntry>();
  // Compiling a large list allocates over a hundred megabytes in small pieces
  // that are all freed by now; the allocator would keep them in the process
  // for good, so they are handed back to the system.
  platform::ReleaseFreedMemory();
  if (db == nullptr) {
    // Nothing could go in a database: every good rule is tried one by one.
    for (uint8_t& mode : modes) {
      if (mode != kNotIndexed) mode = kFallback;
    }
  }
  return std::unique_ptr<RuleIndex>(new RuleIndex(holder, std::move(modes), db));
}

std::string RuleIndex::RulesKey(const RulesHolder& holder) {
  uint64_t hash = cache_bytes::kFnvStart;
  for (size_t i = 0; i < holder.RuleCount(); ++i) {
    const FilterRule& rule = holder.Rule(i);
    Fnv(&hash, rule.pattern.data(), rule.pattern.size());
    Fnv(&hash, "", 1);
    Fnv(&hash, &rule.options, sizeof rule.options);
    Fnv(&hash, &rule.good, sizeof rule.good);
  }
  char hex[17];
  snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return std::string("cvie ") + kProgramVersion + " hs " + hs_version() + " rules " +
         std::to_string(holder.RuleCount()) + " " + hex;
}

std::string RuleIndex::Serialize() const {
  std::string out(kMagic, sizeof kMagic);
  std::string key = RulesKey(holder_);
  Put<uint32_t>(&out, static_cast<uint32_t>(key.size()));
  out += key;
  Put<uint32_t>(&out, static_cast<uint32_t>(modes_.size()));
  out.append(reinterpret_cast<const char*>(modes_.data()), modes_.size());
  char* db_bytes = nullptr;
  size_t db_size = 0;
  if (db_ != nullptr && hs_serialize_database(db_, &db_bytes, &db_size) != HS_SUCCESS) {
    return std::string();
  }
  Put<uint64_t>(&out, static_cast<uint64_t>(db_size));
  if (db_bytes != nullptr) {
    out.append(db_bytes, db_size);
    free(db_bytes);
  }
  cache_bytes::Seal(&out);
  return out;
}

std::unique_ptr<RuleIndex> RuleIndex::Deserialize(const RulesHolder& holder,
                                                  const std::string& bytes) {
  std::string_view body;
  if (!cache_bytes::Unseal(bytes, &body)) return nullptr;
  Reader in(body);
  const char* magic = nullptr;
  if (!in.Take(sizeof kMagic, &magic) || memcmp(magic, kMagic, sizeof kMagic) != 0) {
    return nullptr;
  }
  uint32_t key_size = 0;
  const char* key = nullptr;
  if (!in.Get(&key_size) || !in.Take(key_size, &key)) return nullptr;
  if (std::string(key, key_size) != RulesKey(holder)) return nullptr;
  uint32_t count = 0;
  const char* mode_bytes = nullptr;
  if (!in.Get(&count) || count != holder.RuleCount() || !in.Take(count, &mode_bytes)) {
    return nullptr;
  }
  std::vector<uint8_t> modes(mode_bytes, mode_bytes + count);
  bool any_in_db = false;
  for (size_t i = 0; i < modes.size(); ++i) {
    bool good = holder.Rule(i).good != 0;
    if (modes[i] > kFallback || good != (modes[i] != kNotIndexed)) return nullptr;
    any_in_db = any_in_db || modes[i] == kExact || modes[i] == kPrefilter;
  }
  uint64_t db_size = 0;
  const char* db_bytes = nullptr;
  if (!in.Get(&db_size) || !in.Take(db_size, &db_bytes) || !in.AtEnd()) return nullptr;
  if ((db_size != 0) != any_in_db) return nullptr;
  hs_database_t* db = nullptr;
  if (db_size != 0 && hs_deserialize_database(db_bytes, db_size, &db) != HS_SUCCESS) {
    return nullptr;
  }
  return std::unique_ptr<RuleIndex>(new RuleIndex(holder, std::move(modes), db));
}

std::unique_ptr<RuleIndex> RuleIndex::LoadOrBuild(const RulesHolder& holder,
                                                  const std::wstring& cache_path,
                                                  bool* from_cache) {
  if (from_cache != nullptr) *from_cache = false;
  std::string bytes;
  if (cache_bytes::ReadCacheFile(cache_path, &bytes)) {
    std::unique_ptr<RuleIndex> cached = Deserialize(holder, bytes);
    if (cached) {
      if (from_cache != nullptr) *from_cache = true;
      return cached;
    }
  }
  std::unique_ptr<RuleIndex> index = Build(holder);
  if (!index) return nullptr;
  // A write failure only costs the next start the time to compile again.
  bytes = index->Serialize();
  if (!bytes.empty()) cache_bytes::WriteCacheFile(cache_path, bytes);
  return index;
}

int RuleIndex::Score(uint32_t mask, const char* text, size_t length) const {
  return Decide(mask, text, length, nullptr);
}

int RuleIndex::FindRule(uint32_t mask, const char* text, size_t length,
                        size_t* rule) const {
  size_t first = SIZE_MAX;
  int score = Decide(mask, text, length, &first);
  if (score == BLOCK_SCORE) *rule = first;
  return score;
}

int RuleIndex::Decide(uint32_t mask, const char* text, size_t length,
                      size_t* first) const {
  if (text == nullptr) return 0;
  if (length == 0) {
    // The empty text's score is known once worked out; a rule-by-rule scan
    // names the rule only when it is blocked.
    if (first != nullptr) {
      return Decide(mask, text, 0, nullptr) == BLOCK_SCORE
                 ? ScanRules(holder_, mask, "", first)
                 : 0;
    }
    {
      std::lock_guard<std::mutex> lock(empty_mu_);
      auto known = empty_scores_.find(mask);
      if (known != empty_scores_.end()) return known->second;
    }
    // Two threads may both work it out the first time; they get the same.
    const int score = ScanRules(holder_, mask, "");
    std::lock_guard<std::mutex> lock(empty_mu_);
    empty_scores_.emplace(mask, score);
    return score;
  }
  if (length > 0x7fffffffu) return ScanRules(holder_, mask, text, first);
  // Plain ASCII text: the database finds every rule that can match. Other
  // well-formed UTF-8 text: the database finds the rules whose patterns match
  // the same byte by byte there, and the others are tried one by one.
  // Malformed text (on which every rule reports an error) and text with a
  // character that folds to an ASCII letter go rule by rule.
  bool ascii = IsAscii(text, length);
  if (!ascii && (!IsValidUtf8(text, length) || HasAsciiFoldingCharacter(text, length))) {
    return ScanRules(holder_, mask, text, first);
  }
  // When the first rule in list order is wanted, every source of matches
  // below is searched, each only for rules before the earliest found so far.
  // The text is well-formed from here on: the matcher need not check it again
  // for every rule it confirms.
  for (uint32_t i : fallback_) {
    const FilterRule& rule = holder_.Rule(i);
    if ((rule.options & TYPE_MASK_BITS & mask) == 0) continue;
    if (holder_.MatchValid(text, length, &rule) > 0) {
      if (first == nullptr) return BLOCK_SCORE;
      *first = i;
      break;
    }
  }
  bool matched = first != nullptr && *first != SIZE_MAX;
  if (db_ == nullptr) return matched ? BLOCK_SCORE : 0;
  {
    hs_scratch_t* scratch = ScratchFor(db_, serial_);
    if (scratch == nullptr) return ScanRules(holder_, mask, text, first);
    thread_local TriedRules tried;
    tried.Begin(holder_.RuleCount());
    ScanContext scan{&holder_, mask, text, length, false, &tried, first};
    hs_error_t status = ScanTargetOfThisMachine().scan(
        db_, text, static_cast<unsigned>(length), 0, scratch, OnCandidate, &scan);
    if (status != HS_SUCCESS && status != HS_SCAN_TERMINATED) {
      if (first != nullptr) *first = SIZE_MAX;
      return ScanRules(holder_, mask, text, first);
    }
    if (scan.matched && first == nullptr) return BLOCK_SCORE;
    matched = matched || scan.matched;
  }
  if (!ascii && (first != nullptr || !matched)) {
    for (uint32_t i : not_bytewise_) {
      if (first != nullptr && i >= *first) break;
      const FilterRule& rule = holder_.Rule(i);
      if ((rule.options & TYPE_MASK_BITS & mask) == 0) continue;
      if (holder_.MatchValid(text, length, &rule) > 0) {
        if (first != nullptr) *first = i;
        return BLOCK_SCORE;
      }
    }
  }
  return matched ? BLOCK_SCORE : 0;
}

size_t RuleIndex::CountOf(Mode mode) const {
  size_t count = 0;
  for (uint8_t m : modes_) count += m == mode ? 1 : 0;
  return count;
}

size_t RuleIndex::DatabaseBytes() const {
  size_t size = 0;
  if (db_ != nullptr) hs_database_size(db_, &size);
  return size;
}

}  // namespace cvie
