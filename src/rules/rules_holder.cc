#include "rules/rules_holder.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <locale.h>
#include <pcre2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string_view>
#include <vector>

#include "log/logger.h"
#include "platform/text.h"
#include "rules/rule_index.h"
#include "rules/utf8_check.h"

namespace cvie {

namespace {

// The match vector holds 10 captured pairs (30 integers in the classic form:
// two thirds for the pairs, one third work space).
constexpr uint32_t kOvectorPairs = 10;
constexpr int kOvectorSize = 30;

// The program version that "!CV STOP <version>" is compared with.
constexpr char kVersionMajor = '2';
constexpr char kVersionMinor = '2';

// Match data of the calling thread, made on first use and freed when the
// thread ends. Matching never shares it between threads.
pcre2_match_data* ThreadMatchData() {
  struct PerThread {
    pcre2_match_data* data = pcre2_match_data_create(kOvectorPairs, nullptr);
    ~PerThread() { pcre2_match_data_free(data); }
  };
  thread_local PerThread per_thread;
  return per_thread.data;
}

// strtod in the C locale: the logger switches the process to the user's
// locale, whose decimal separator may not be ".".
double ReadNumber(const char* text) { return platform::ParseCLocaleNumber(text); }

bool IsOptionSeparator(char c) { return c == ' ' || c == '\t' || c == ','; }

// Inserts a backslash before every `c` in `pattern`, left to right.
void EscapeAll(std::string* pattern, char c) {
  size_t pos = 0;
  while ((pos = pattern->find(c, pos)) != std::string::npos) {
    pattern->insert(pos, 1, '\\');
    pos += 2;
  }
}

// Serial numbers of rule lists: a holder takes a new one whenever its rules
// change, so that an answer remembered for one list is never given for
// another (even one at the same address).
std::atomic<uint64_t> g_next_serial{1};

// Lines the matcher has logged on this thread. An answer whose working out
// logged something is not remembered, so that asking again logs it again.
thread_local uint64_t t_match_notices = 0;

// The answers of the latest checks of short texts on this thread. A page asks
// about the same address, class or identifier many times (almost half of the
// checks on real pages), and each check scans the index and confirms its
// candidates. Keyed by the list's serial, the type mask, whether the deciding
// rule was wanted, and the text.
struct RememberedAnswers {
  static constexpr size_t kMaxText = 256;
  static constexpr size_t kMaxAnswers = 1024;  // then forgotten all at once
  static constexpr size_t kSlots = 2048;       // a power of two, twice kMaxAnswers
  struct Slot {
    uint64_t hash = 0;
    uint32_t key_at = 0;    // where the key starts in `keys`
    uint32_t key_size = 0;  // 0: the slot is free (no key is empty)
    int score = 0;
    size_t rule = SIZE_MAX;
  };

  // The slot holding `key`, or the free slot where it would go (*found false).
  // Open addressing over one block, the keys one after another in one string:
  // remembering an answer allocates nothing once the thread has warmed up.
  Slot* Find(std::string_view key, uint64_t hash, bool* found) {
    if (slots.empty()) slots.resize(kSlots);
    for (size_t i = hash & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
      Slot& slot = slots[i];
      if (slot.key_size == 0) {
        *found = false;
        return &slot;
      }
      if (slot.hash == hash && slot.key_size == key.size() &&
          memcmp(keys.data() + slot.key_at, key.data(), key.size()) == 0) {
        *found = true;
        return &slot;
      }
    }
  }
  // Fills the free `slot` Find returned for `key`.
  void Add(Slot* slot, std::string_view key, uint64_t hash, int score, size_t rule) {
    *slot = Slot{hash, static_cast<uint32_t>(keys.size()),
                 static_cast<uint32_t>(key.size()), score, rule};
    keys.append(key);
    ++count;
  }
  void Clear() {
    if (count == 0) return;
    std::fill(slots.begin(), slots.end(), Slot());
    keys.clear();
    count = 0;
  }

  uint64_t serial = 0;
  size_t count = 0;
  std::vector<Slot> slots;  // kSlots once used; at most kMaxAnswers taken
  std::string keys;
  std::string key;  // the key being asked about
};

RememberedAnswers& ThreadAnswers() {
  thread_local RememberedAnswers remembered;
  return remembered;
}

}  // namespace

RulesHolder::RulesHolder() : serial_(g_next_serial.fetch_add(1)) {}

size_t RulesHolder::ForgetThreadAnswers() {
  RememberedAnswers& remembered = ThreadAnswers();
  size_t forgotten = remembered.count;
  std::vector<RememberedAnswers::Slot>().swap(remembered.slots);
  std::string().swap(remembered.keys);
  std::string().swap(remembered.key);
  remembered.count = 0;
  remembered.serial = 0;
  return forgotten;
}

RulesHolder::~RulesHolder() = default;

int RulesHolder::ParseRule(std::string line) {
  return ParseRule(std::move(line), lines_read_ + 1);
}

int RulesHolder::ParseRule(std::string line, uint32_t line_number) {
  lines_read_ = line_number;
  // A rule line is text: nothing after a NUL byte belongs to it.
  size_t nul = line.find('\0');
  if (nul != std::string::npos) line.erase(nul);
  // Directives and comments.
  if (!line.empty() && line[0] == '!') {
    if (line.size() > 4 && line.compare(0, 4, "!CV ") == 0) {
      return CheckStopDirective(line, 4) == 1 ? -1 : 0;
    }
    return 0;
  }
  // Exception rules are not supported.
  if (line.compare(0, 2, "@@") == 0) return 0;

  while (!line.empty()) {
    char last = line.back();
    if (last != '\r' && last != '\n' && last != '\t' && last != ' ') break;
    line.pop_back();
  }

  if (IsHidingRule(line)) return 0;
  std::string written = line;  // the rule as its author wrote it

  uint32_t options = 0;
  size_t dollar = line.rfind('$');
  if (dollar != std::string::npos) {
    options = ParseOptions(line, dollar);
    if (options != 0) line.erase(dollar);
  }
  if ((options & TYPE_MASK_BITS) == 0) options |= DEFAULT_TYPE_MASK;

  // Anchors: a leading "|" is the start of the text, a trailing one its end.
  if (!line.empty() && line[0] == '|') line[0] = '^';
  if (!line.empty() && line.back() == '|') {
    line.back() = 'Z';
    line.insert(line.size() - 1, 1, '\\');
  }

  EscapeAll(&line, '?');
  EscapeAll(&line, '.');
  EscapeAll(&line, '/');

  // Inner wildcards become ".*"; a leading and a trailing "*" are dropped
  // below, since the search is not anchored anyway. A run of wildcards is
  // one ".*": it matches the same texts, while ".*.*.*..." makes the matcher
  // try every way of sharing a text among them (exponential time on a text
  // that does not match).
  size_t lead = (!line.empty() && line.front() == '*') ? 1 : 0;
  size_t trail = (!line.empty() && line.back() == '*') ? 1 : 0;
  size_t pos = lead;
  while ((pos = line.find('*', pos)) != std::string::npos) {
    if (line.size() - pos <= trail) break;
    bool after_wildcard = pos >= 2 && line[pos - 1] == '*' && line[pos - 2] == '.' &&
                          (pos < 3 || line[pos - 3] != '\\');
    if (after_wildcard) {
      line.erase(pos, 1);
      continue;
    }
    line.insert(pos, 1, '.');
    pos += 2;
  }

  if (line.size() <= lead + trail) return 0;

  auto rule = std::make_unique<FilterRule>();
  rule->text = std::move(written);
  rule->line = line_number;
  rule->pattern = line.substr(lead, line.size() - lead - trail);
  rule->options = options;
  rule->good = CompileRule(rule.get());
  types_ |= rule->options & TYPE_MASK_BITS;
  serial_ = g_next_serial.fetch_add(1);
  rules_.push_back(std::move(rule));
  return 1;
}

bool RulesHolder::IsHidingRule(const std::string& line) {
  return line.find('#') != std::string::npos;
}

uint32_t RulesHolder::ParseOptions(const std::string& line, size_t dollar) {
  uint32_t word = 0;
  bool negate = false;
  size_t pos = dollar + 1;
  const size_t n = line.size();
  while (pos < n) {
    if (IsOptionSeparator(line[pos])) {
      ++pos;
      continue;
    }
    if (line[pos] == '~') {
      negate = true;
      if (++pos >= n) break;
    }
    bool found = false;
    for (const RuleKeyword& k : kRuleKeywords) {
      size_t len = strlen(k.keyword);
      if (line.compare(pos, len, k.keyword) == 0) {
        word |= k.bit;
        pos += len;
        found = true;
        break;
      }
    }
    if (found) continue;
    // Unknown token: skip it up to the next separator.
    ++pos;
    while (pos < n && !IsOptionSeparator(line[pos])) ++pos;
  }
  if (negate && (word & TYPE_MASK_BITS) != 0) {
    word = (word & FLAG_BITS) | (~word & TYPE_MASK_BITS);
  }
  return word;
}

int RulesHolder::CheckStopDirective(const std::string& line, size_t offset) {
  if (offset > line.size() || line.compare(offset, 4, "STOP") != 0) return 0;
  // Skip "STOP" and the separator after it; a line that ends right after
  // "STOP" has no number at all.
  size_t number_at = offset + 5;
  double limit = number_at <= line.size() ? ReadNumber(line.c_str() + number_at) : 0.0;
  char version_text[8];
  snprintf(version_text, sizeof version_text, "%c.%c", kVersionMajor, kVersionMinor);
  double version = ReadNumber(version_text);
  return limit < version ? 0 : 1;
}

int RulesHolder::CompileRule(FilterRule* rule) {
  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  rule->compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(rule->pattern.c_str()),
                                 PCRE2_ZERO_TERMINATED, rule->compile_options(),
                                 &error_code, &error_offset, nullptr);
  if (rule->compiled != nullptr) {
    // A rule on whole script blocks runs over texts of up to megabytes, and
    // a wildcard in it makes the matcher go back and forth over each line:
    // machine code does that many times faster. Without JIT (not built for
    // this processor) the pattern is interpreted, with the same results.
    if ((rule->options & TYPE_SCRIPT_TEXT) != 0) {
      pcre2_jit_compile(rule->compiled, PCRE2_JIT_COMPLETE);
    }
    return 1;
  }
  PCRE2_UCHAR message[256];
  if (pcre2_get_error_message(error_code, message, sizeof message) < 0) {
    snprintf(reinterpret_cast<char*>(message), sizeof message, "error %d", error_code);
  }
  compile_error_message_ = reinterpret_cast<const char*>(message);
  compile_error_offset_ = static_cast<int>(error_offset);
  Logger::Instance().Log(LOG_NOTICE, L"Rule compilation failed at offset %d : %s\n",
                         compile_error_offset_, compile_error_message_.c_str());
  return 0;
}

void RulesHolder::LogRuleCount() const {
  Logger::Instance().Log(LOG_NOTICE, L"%d good rules loaded.",
                         static_cast<int>(rules_.size()));
}

size_t RulesHolder::BadRuleCount() const {
  size_t bad = 0;
  for (const auto& rule : rules_) bad += rule->good ? 0 : 1;
  return bad;
}

bool RulesHolder::EnableIndex(const std::wstring& cache_path, bool* from_cache) {
  if (from_cache != nullptr) *from_cache = false;
  index_ = cache_path.empty() ? RuleIndex::Build(*this)
                              : RuleIndex::LoadOrBuild(*this, cache_path, from_cache);
  return index_ != nullptr;
}

bool RulesHolder::CheckElement(int kind, const char* text, int /*encoding*/) {
  return ExplainElement(kind, text, nullptr);
}

bool RulesHolder::CheckScript(const char* text, int /*encoding*/) {
  return ExplainScript(text, nullptr);
}

bool RulesHolder::ExplainElementCheck(int kind, const char* text, int /*encoding*/,
                                      CheckVerdict* verdict) {
  *verdict = CheckVerdict();
  if (text == nullptr || kind < 0 || kind >= kElementKindCount) return false;
  // The log says the same as for CheckElement.
  const char* name = kElementKinds[kind].name;
  Logger& log = Logger::Instance();
  log.LogA(LOG_DETAIL, "CHECKING [%s]: %s\n", name, text);
  size_t decided = SIZE_MAX;
  int score = ScoreText(kElementKinds[kind].type_bit, text, nullptr, &decided);
  log.LogA(LOG_DETAIL, "CHECKED [%s]: %s  : SCORE [%d]\n", name, text, score);
  verdict->blocked = score < BLOCK_THRESHOLD;
  if (verdict->blocked && decided < rules_.size()) verdict->rule = RuleName(decided);
  return verdict->blocked;
}

bool RulesHolder::ExplainScriptCheck(const char* text, int /*encoding*/,
                                     CheckVerdict* verdict) {
  *verdict = CheckVerdict();
  if (text == nullptr) return false;
  Logger& log = Logger::Instance();
  log.LogA(LOG_DETAIL, "CHECKING [script block]: %s\n", text);
  size_t decided = SIZE_MAX;
  int score = ScoreScriptText(text, nullptr, &decided);
  log.LogA(LOG_DETAIL, "CHECKED [script block]: SCORE[%d]\n", score);
  verdict->blocked = score < BLOCK_THRESHOLD;
  if (verdict->blocked && decided < rules_.size()) verdict->rule = RuleName(decided);
  return verdict->blocked;
}

std::string RulesHolder::RuleName(size_t index) const {
  const FilterRule& rule = *rules_[index];
  // Asked for every element a rule blocks: one allocation for the name.
  char line[24];
  const int line_size = snprintf(line, sizeof line, ":%u: ", rule.line);
  std::string name;
  name.reserve(source_name_.size() + static_cast<size_t>(line_size) + rule.text.size());
  name.append(source_name_)
      .append(line, static_cast<size_t>(line_size))
      .append(rule.text);
  return name;
}

bool RulesHolder::ExplainElement(int kind, const char* text,
                                 MatchObserver* observer) const {
  if (text == nullptr) return false;
  if (kind < 0 || kind >= kElementKindCount) return false;
  const char* name = kElementKinds[kind].name;
  Logger& log = Logger::Instance();
  log.LogA(LOG_DETAIL, "CHECKING [%s]: %s\n", name, text);
  int score = ScoreText(kElementKinds[kind].type_bit, text, observer);
  log.LogA(LOG_DETAIL, "CHECKED [%s]: %s  : SCORE [%d]\n", name, text, score);
  return score < BLOCK_THRESHOLD;
}

bool RulesHolder::ExplainScript(const char* text, MatchObserver* observer) const {
  if (text == nullptr) return false;
  Logger& log = Logger::Instance();
  log.LogA(LOG_DETAIL, "CHECKING [script block]: %s\n", text);
  int score = ScoreScriptText(text, observer);
  log.LogA(LOG_DETAIL, "CHECKED [script block]: SCORE[%d]\n", score);
  return score < BLOCK_THRESHOLD;
}

int RulesHolder::Score(uint32_t mask, const char* text) const {
  return ScoreText(mask, text, nullptr);
}

int RulesHolder::ScoreScript(const char* text) const {
  return ScoreScriptText(text, nullptr);
}

int RulesHolder::ScoreText(uint32_t mask, const char* text, MatchObserver* observer,
                           size_t* decided) const {
  if (text == nullptr) return 0;
  // No rule of these types: none would be tried, whatever the text.
  if ((types_ & mask) == 0) return 0;
  size_t length = strlen(text);
  if (observer == nullptr && length <= RememberedAnswers::kMaxText) {
    RememberedAnswers& remembered = ThreadAnswers();
    if (remembered.serial != serial_) {
      remembered.Clear();
      remembered.serial = serial_;
    }
    std::string& key = remembered.key;
    key.assign(reinterpret_cast<const char*>(&mask), sizeof mask);
    key.push_back(decided != nullptr ? 'r' : 's');
    key.append(text, length);
    const uint64_t hash = std::hash<std::string_view>()(key);
    bool found = false;
    RememberedAnswers::Slot* slot = remembered.Find(key, hash, &found);
    if (found) {
      if (decided != nullptr && slot->score == BLOCK_SCORE) *decided = slot->rule;
      return slot->score;
    }
    const uint64_t notices = t_match_notices;
    size_t rule = SIZE_MAX;
    const int score =
        ScoreTextOnce(mask, text, length, nullptr, decided != nullptr ? &rule : nullptr);
    if (t_match_notices == notices) {
      if (remembered.count >= RememberedAnswers::kMaxAnswers) remembered.Clear();
      slot = remembered.Find(key, hash, &found);
      if (!found) remembered.Add(slot, key, hash, score, rule);
    }
    if (decided != nullptr && score == BLOCK_SCORE) *decided = rule;
    return score;
  }
  return ScoreTextOnce(mask, text, length, observer, decided);
}

int RulesHolder::ScoreTextOnce(uint32_t mask, const char* text, size_t length,
                               MatchObserver* observer, size_t* decided) const {
  // With an index, one scan finds the candidate rules (the observer, which
  // wants every rule tried, still gets the rule-by-rule scan).
  if (index_ != nullptr && !reference_scan_ && observer == nullptr) {
    return decided != nullptr ? index_->FindRule(mask, text, length, decided)
                              : index_->Score(mask, text, length);
  }
  // The text is checked for valid UTF-8 once here rather than by the library
  // on every rule. Invalid text is still handed over unchecked, so that each
  // rule reports the library's error exactly as before.
  uint32_t match_options = IsValidUtf8(text, length) ? PCRE2_NO_UTF_CHECK : 0;
  for (size_t i = 0; i < rules_.size(); ++i) {
    const FilterRule* rule = rules_[i].get();
    if ((rule->options & TYPE_MASK_BITS & mask) == 0) continue;
    int result = MatchText(text, length, rule, match_options);
    if (observer) observer->RuleTried(i, text, result);
    if (result > 0) {
      if (decided != nullptr) *decided = i;
      return BLOCK_SCORE;
    }
  }
  return 0;
}

bool RulesHolder::NextScriptUrl(const char** remaining, std::string* url) {
  const char* rest = *remaining;
  if (rest == nullptr || *rest == '\0') return false;
  const char* start = strstr(rest, "http://");
  if (start == nullptr) {
    static const char* const kAttributeForms[] = {"href=\"", "src=\"", "href='", "src='"};
    for (const char* form : kAttributeForms) {
      const char* found = strstr(rest, form);
      if (found != nullptr) {
        start = found + strlen(form);
        break;
      }
    }
  }
  if (start == nullptr) return false;
  const char* end = strchr(start, '"');
  if (end == nullptr) end = strchr(start, ' ');
  if (end == nullptr) end = strchr(start, '\'');
  size_t length = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
  if (length == 0) return false;
  url->assign(start, length);
  *remaining = end;
  return true;
}

int RulesHolder::ScoreScriptText(const char* text, MatchObserver* observer,
                                 size_t* decided) const {
  int result = ScoreText(TYPE_SCRIPT_TEXT, text, observer, decided);
  const char* remaining = text;
  std::string url;
  while (result >= BLOCK_THRESHOLD) {
    if (!NextScriptUrl(&remaining, &url)) return 0;
    result = ScoreText(TYPE_SCRIPT_URL, url.c_str(), observer, decided);
  }
  return result;
}

int RulesHolder::Match(const char* text, const FilterRule* rule) const {
  if (text == nullptr || rule == nullptr) return 0;
  return MatchText(text, strlen(text), rule, 0);
}

int RulesHolder::MatchValid(const char* text, size_t length,
                            const FilterRule* rule) const {
  if (text == nullptr || rule == nullptr) return 0;
  return MatchText(text, length, rule, PCRE2_NO_UTF_CHECK);
}

int RulesHolder::MatchRule(size_t index, const char* text) const {
  if (index >= rules_.size()) return 0;
  return Match(text, rules_[index].get());
}

int RulesHolder::MatchText(const char* text, size_t length, const FilterRule* rule,
                           uint32_t match_options) const {
  // A bad rule has no compiled pattern; the matcher answers it with its
  // null-argument error, which is logged below like any other error.
  int result = pcre2_match(rule->compiled, reinterpret_cast<PCRE2_SPTR>(text), length, 0,
                           match_options, ThreadMatchData(), nullptr);
  if (result == PCRE2_ERROR_JIT_STACKLIMIT) {
    // The machine code ran out of its stack where the interpreter, whose
    // limits are on the heap, may still decide: ask it instead.
    result = pcre2_match(rule->compiled, reinterpret_cast<PCRE2_SPTR>(text), length, 0,
                         match_options | PCRE2_NO_JIT, ThreadMatchData(), nullptr);
  }
  Logger& log = Logger::Instance();
  if (result < 0) {
    if (result != PCRE2_ERROR_NOMATCH) {
      ++t_match_notices;
      log.Log(LOG_NOTICE, L"Matching error %d", result);
    }
    return 0;
  }
  log.Log(LOG_DETAIL, L"Match succeeded %d", result);
  if (result == 0) {
    ++t_match_notices;
    result = kOvectorSize / 3;
    log.Log(LOG_NOTICE, L"ovector only has room for %d captured substrings",
            kOvectorSize / 3 - 1);
  }
  return result;
}

}  // namespace cvie
