// comm/version_file.h
//
// Reading the version file "cvie.ver" that the vendor publishes: one setting
// per line, 8-bit text. For each line the keys are tried in the order of
// kVersionKeys, each searched anywhere in the line; the first key found
// decides the line, and the value is the rest of the line after the key and
// exactly one separator character of any kind. Rule lines (RuleVersionNum,
// RuleVersionUrl) count only when the line begins with "Newest"; the text
// between "Newest" and the key is a language tag that selects a rule slot.
//
// Bounds, so that no input can overrun a buffer or hang the reader:
//  - a line longer than kMaxVersionLineLength characters is skipped whole;
//  - a URL longer than kMaxVersionUrlLength characters is ignored (the value
//    read before stays), since a cut URL would name another resource;
//  - a language tag longer than kMaxLanguageTagLength characters matches no
//    slot.
// The text of a line ends at its first NUL byte.
//
// Nothing here touches files or logs; the caller (VersionInfo) does.

#pragma once

#include <istream>
#include <string>

namespace cvie {

constexpr size_t kMaxVersionLineLength = 1023;
constexpr size_t kMaxVersionUrlLength = 511;
constexpr size_t kMaxLanguageTagLength = 23;
constexpr int kRuleSlotCount = 5;

// The decimal number at the start of `text` as the C library reads it: leading
// white space is skipped, then an optional sign, digits and one decimal point;
// anything else ends the number. Text that does not start with a number reads
// as 0. Independent of the locale.
double ParseVersionNumber(const char* text);

// The rule announcements, by language. Slot 0 has the tag "en"; the other
// slots have none and are never matched. Not thread-safe by itself (VersionInfo
// guards it).
class RuleSlots {
 public:
  struct Slot {
    std::string tag;  // empty: unused slot
    double version = 0.0;
    std::string url;  // empty: none announced
  };

  RuleSlots();

  // Index of the first used slot whose tag equals `tag` ignoring case, or -1.
  int Find(const std::string& tag) const;

  Slot& slot(int index) { return slots_[index]; }
  const Slot& slot(int index) const { return slots_[index]; }

 private:
  Slot slots_[kRuleSlotCount];
};

// The program-version settings of one version file.
struct VersionFileValues {
  double minimum = 0.0;     // MinimumWin32IEVersionNum
  std::string minimum_url;  // MinimumWin32IEVersionUrl
  double newest = 0.0;      // NewestWin32IEVersionNum
  std::string newest_url;   // NewestWin32IEVersionUrl
};

// What a line meant.
enum class VersionLine {
  kIgnored,  // no key, or a rule line that does not count
  kMinimumNumber,
  kMinimumUrl,
  kNewestNumber,
  kNewestUrl,
  kRuleNumber,
  kRuleUrl,
  kUrlTooLong,  // a URL key whose value is longer than kMaxVersionUrlLength
};

// Applies one line (without its line feed; one carriage return at the end is
// dropped) to `values` and `slots`.
VersionLine ApplyVersionLine(std::string line, VersionFileValues* values,
                             RuleSlots* slots);

// Counts of what ReadVersionFile met, for the log.
struct VersionFileStats {
  int lines = 0;         // lines applied
  int long_lines = 0;    // lines skipped for their length
  int ignored_urls = 0;  // URLs ignored for their length
};

// Reads every line of `in` and applies it. Never reads more than one line's
// worth of memory at a time (plus the bounded line buffer).
VersionFileStats ReadVersionFile(std::istream& in, VersionFileValues* values,
                                 RuleSlots* slots);

}  // namespace cvie
