#include "comm/version_file.h"

#include <string.h>
#include <strings.h>

#include <stdlib.h>

#include <string>

#include "platform/text.h"

namespace cvie {
namespace {

struct Key {
  const char* text;
  VersionLine kind;
};

// Tried in this order; the first one found anywhere in a line decides it.
const Key kVersionKeys[] = {
    {"MinimumWin32IEVersionNum", VersionLine::kMinimumNumber},
    {"MinimumWin32IEVersionUrl", VersionLine::kMinimumUrl},
    {"NewestWin32IEVersionNum", VersionLine::kNewestNumber},
    {"NewestWin32IEVersionUrl", VersionLine::kNewestUrl},
    {"RuleVersionNum", VersionLine::kRuleNumber},
    {"RuleVersionUrl", VersionLine::kRuleUrl},
};

constexpr char kNewestPrefix[] = "Newest";
constexpr size_t kNewestPrefixLength = sizeof kNewestPrefix - 1;

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double ParseVersionNumber(const char* text) {
  if (!text) return 0.0;
  const char* p = text;
  while (IsCSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  const char* start = p;
  bool digits = false;
  while (IsDigit(*p)) ++p, digits = true;
  if (*p == '.') {
    ++p;
    while (IsDigit(*p)) ++p, digits = true;
  }
  if (!digits) return 0.0;
  // The C library converts exactly the digits and the point, in the "C"
  // locale whatever the process's locale is (a decimal comma would otherwise
  // end the number).
  std::string number(start, p);
  double value = platform::ParseCLocaleNumber(number.c_str());
  return negative ? -value : value;
}

RuleSlots::RuleSlots() { slots_[0].tag = "en"; }

int RuleSlots::Find(const std::string& tag) const {
  for (int i = 0; i < kRuleSlotCount; ++i) {
    if (!slots_[i].tag.empty() && strcasecmp(slots_[i].tag.c_str(), tag.c_str()) == 0) {
      return i;
    }
  }
  return -1;
}

VersionLine ApplyVersionLine(std::string line, VersionFileValues* values,
                             RuleSlots* slots) {
  size_t nul = line.find('\0');
  if (nul != std::string::npos) line.resize(nul);
  if (!line.empty() && line.back() == '\r') line.pop_back();

  const Key* key = nullptr;
  size_t at = std::string::npos;
  for (const Key& candidate : kVersionKeys) {
    at = line.find(candidate.text);
    if (at != std::string::npos) {
      key = &candidate;
      break;
    }
  }
  if (!key) return VersionLine::kIgnored;

  // The value follows the key and one separator character of any kind. A key
  // at the very end of the line has an empty value.
  size_t value_at = at + strlen(key->text) + 1;
  std::string value = value_at <= line.size() ? line.substr(value_at) : std::string();
  bool is_url = key->kind == VersionLine::kMinimumUrl ||
                key->kind == VersionLine::kNewestUrl ||
                key->kind == VersionLine::kRuleUrl;

  int slot = -1;
  if (key->kind == VersionLine::kRuleNumber || key->kind == VersionLine::kRuleUrl) {
    if (line.compare(0, kNewestPrefixLength, kNewestPrefix) != 0) {
      return VersionLine::kIgnored;
    }
    size_t tag_length = at - kNewestPrefixLength;  // the key cannot start inside "Newest"
    if (tag_length == 0 || tag_length > kMaxLanguageTagLength)
      return VersionLine::kIgnored;
    slot = slots->Find(line.substr(kNewestPrefixLength, tag_length));
    if (slot < 0) return VersionLine::kIgnored;
  }
  if (is_url && value.size() > kMaxVersionUrlLength) return VersionLine::kUrlTooLong;

  switch (key->kind) {
    case VersionLine::kMinimumNumber:
      values->minimum = ParseVersionNumber(value.c_str());
      break;
    case VersionLine::kMinimumUrl:
      values->minimum_url = value;
      break;
    case VersionLine::kNewestNumber:
      values->newest = ParseVersionNumber(value.c_str());
      break;
    case VersionLine::kNewestUrl:
      values->newest_url = value;
      break;
    case VersionLine::kRuleNumber:
      slots->slot(slot).version = ParseVersionNumber(value.c_str());
      break;
    case VersionLine::kRuleUrl:
      slots->slot(slot).url = value;
      break;
    default:
      break;
  }
  return key->kind;
}

VersionFileStats ReadVersionFile(std::istream& in, VersionFileValues* values,
                                 RuleSlots* slots) {
  VersionFileStats stats;
  std::streambuf* buffer = in.rdbuf();
  if (!buffer) return stats;
  // One carriage return may follow the longest accepted line.
  constexpr size_t kKeep = kMaxVersionLineLength + 1;
  std::string line;
  line.reserve(kKeep);
  bool too_long = false;
  bool pending = false;  // characters since the last line feed
  for (;;) {
    int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof() || c == '\n') {
      if (pending) {
        if (too_long || (line.size() == kKeep && line.back() != '\r')) {
          ++stats.long_lines;
        } else {
          ++stats.lines;
          if (ApplyVersionLine(line, values, slots) == VersionLine::kUrlTooLong) {
            ++stats.ignored_urls;
          }
        }
      }
      if (c == std::char_traits<char>::eof()) break;
      line.clear();
      too_long = false;
      pending = false;
      continue;
    }
    pending = true;
    if (too_long) continue;
    if (line.size() == kKeep) {
      too_long = true;  // skip to the end of this line
      continue;
    }
    line.push_back(static_cast<char>(c));
  }
  return stats;
}

}  // namespace cvie
