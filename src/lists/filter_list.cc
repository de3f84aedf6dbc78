#include "lists/filter_list.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>

#include "lists/site.h"

namespace cvie::lists {

namespace {

struct TypeName {
  const char* name;
  uint32_t type;
};

constexpr TypeName kTypeNames[] = {
    {"script", kTypeScript},
    {"image", kTypeImage},
    {"stylesheet", kTypeStylesheet},
    {"css", kTypeStylesheet},
    {"object", kTypeObject},
    {"object-subrequest", kTypeObject},
    {"subdocument", kTypeSubdocument},
    {"frame", kTypeSubdocument},
    {"xmlhttprequest", kTypeXmlHttpRequest},
    {"xhr", kTypeXmlHttpRequest},
    {"media", kTypeMedia},
    {"font", kTypeFont},
    {"websocket", kTypeWebSocket},
    {"ping", kTypePing},
    {"other", kTypeOther},
    {"document", kTypeDocument},
    {"doc", kTypeDocument},
    {"popup", kTypePopup},
};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// Splits `text` at `separator`.
std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(
        text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// Reads "a.example|~b.example" (or "," separated sites of a hiding rule).
// False for an entry the product cannot honour (empty, "example.*" entity,
// a regular expression).
bool ReadDomains(std::string_view text, char separator, DomainSet* set) {
  for (std::string_view entry : Split(text, separator)) {
    entry = Trim(entry);
    bool negated = !entry.empty() && entry.front() == '~';
    if (negated) entry.remove_prefix(1);
    if (entry.empty() || entry.back() == '*' || entry.front() == '/' ||
        entry.find_first_of(" /*") != std::string_view::npos) {
      return false;
    }
    (negated ? set->excluded : set->included).push_back(Lower(entry));
  }
  // Sorted, so that Allows looks up each suffix of a host instead of
  // comparing it with every entry of a long domain= list.
  std::sort(set->included.begin(), set->included.end());
  std::sort(set->excluded.begin(), set->excluded.end());
  return true;
}

void AppendEscaped(char c, std::string* out) {
  if (isalnum(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80) {
    *out += c;
  } else {
    *out += '\\';
    *out += c;
  }
}

// The longest run of literal characters of a non-regex pattern.
std::string LongestLiteral(std::string_view pattern) {
  std::string_view longest;
  size_t start = 0;
  for (size_t i = 0; i <= pattern.size(); ++i) {
    if (i == pattern.size() || pattern[i] == '*' || pattern[i] == '^' ||
        pattern[i] == '|') {
      if (i - start > longest.size()) longest = pattern.substr(start, i - start);
      start = i + 1;
    }
  }
  return std::string(longest);
}

int ExpiresHours(std::string_view value) {
  value = Trim(value);
  char* end = nullptr;
  std::string copy(value);
  long number = strtol(copy.c_str(), &end, 10);
  if (end == copy.c_str() || number <= 0) return 5 * 24;
  std::string unit = Lower(Trim(std::string_view(end)));
  long hours = unit.rfind("hour", 0) == 0 ? number : number * 24;
  return static_cast<int>(std::clamp(hours, 1L, 14L * 24));
}

// Where a hiding rule's marker starts and which it is, or npos when the line
// is a network rule. The site part before it holds none of "/|@\"!$" (as
// the widely used blockers read it; a "*" stays, for "site.*" entries, which
// are then skipped as sites the product does not understand).
size_t HidingMarker(std::string_view line) {
  size_t hash = line.find('#');
  if (hash == std::string_view::npos) return std::string_view::npos;
  if (line.substr(0, hash).find_first_of("/|@\"!$") != std::string_view::npos) {
    return std::string_view::npos;
  }
  std::string_view rest = line.substr(hash);
  static constexpr std::string_view kMarkers[] = {"##",  "#@#",  "#?#",  "#$#",
                                                  "#%#", "#@?#", "#@$#", "#@%#"};
  for (std::string_view marker : kMarkers) {
    if (rest.substr(0, marker.size()) == marker) return hash;
  }
  return std::string_view::npos;
}

void Skip(FilterList* list, const std::string& reason) { ++list->skipped[reason]; }

void ParseHiding(std::string_view line, size_t marker, uint32_t number,
                 FilterList* list) {
  std::string_view sites = line.substr(0, marker);
  std::string_view rest = line.substr(marker);
  HidingRule rule;
  rule.line = number;
  if (rest.substr(0, 2) == "##") {
    rest.remove_prefix(2);
  } else if (rest.substr(0, 3) == "#@#") {
    rule.exception = true;
    rest.remove_prefix(3);
  } else {
    Skip(list, "extended hiding syntax");
    return;
  }
  if (rest.empty()) {
    Skip(list, "empty selector");
    return;
  }
  if (rest.substr(0, 4) == "+js(" || rest.front() == '^') {
    Skip(list, "extended hiding syntax");
    return;
  }
  // Procedural pseudo-classes some blockers accept inside "##".
  static constexpr std::string_view kProcedural[] = {
      ":-abp-",       ":has-text(", ":xpath(",        ":upward(",
      ":remove(",     ":style(",    ":matches-css",   ":min-text-length(",
      ":watch-attr(", ":others(",   ":matches-path(", ":matches-attr("};
  for (std::string_view p : kProcedural) {
    if (rest.find(p) != std::string_view::npos) {
      Skip(list, "extended hiding syntax");
      return;
    }
  }
  if (!sites.empty() && !ReadDomains(sites, ',', &rule.sites)) {
    Skip(list, "hiding site not understood");
    return;
  }
  rule.selector = std::string(rest);
  list->hiding.push_back(std::move(rule));
}

// Reads the options of a network rule. Returns an empty string when every
// option is understood, else the reason to skip the rule.
std::string ReadOptions(std::string_view options, NetworkRule* rule) {
  uint32_t included = 0;
  uint32_t excluded = 0;
  bool page_flags = false;
  for (std::string_view option : Split(options, ',')) {
    option = Trim(option);
    std::string lower = Lower(option);
    if (lower.empty()) return "empty option";
    if (lower.rfind("domain=", 0) == 0) {
      if (!ReadDomains(std::string_view(option).substr(7), '|', &rule->domains)) {
        return "domain= entry not understood";
      }
      continue;
    }
    bool negated = lower.front() == '~';
    std::string_view word = std::string_view(lower).substr(negated ? 1 : 0);
    if (word == "third-party" || word == "3p") {
      rule->party = negated ? Party::kFirst : Party::kThird;
      continue;
    }
    if (word == "first-party" || word == "1p") {
      rule->party = negated ? Party::kThird : Party::kFirst;
      continue;
    }
    if (!negated && word == "match-case") {
      rule->match_case = true;
      continue;
    }
    if (!negated && word == "important") {
      rule->important = true;
      continue;
    }
    if (!negated && (word == "elemhide" || word == "ehide" || word == "generichide" ||
                     word == "ghide")) {
      if (!rule->exception) return "option " + std::string(word) + " on a blocking rule";
      if (word == "elemhide" || word == "ehide") {
        rule->page_elemhide = true;
      } else {
        rule->page_generichide = true;
      }
      page_flags = true;
      continue;
    }
    uint32_t type = RequestTypeFromName(word);
    if (type == 0) {
      size_t equals = word.find('=');
      return "option " + std::string(equals == std::string_view::npos
                                         ? word
                                         : word.substr(0, equals + 1));
    }
    (negated ? excluded : included) |= type;
  }
  if (included != 0) {
    rule->types = included & ~excluded;
  } else if (excluded != 0) {
    rule->types = kDefaultTypes & ~excluded;
  } else if (page_flags) {
    rule->types = 0;  // only says how pages are hidden
  }
  if (rule->exception && (rule->types & kTypeDocument) != 0) rule->page_document = true;
  return {};
}

void ParseNetwork(std::string_view line, uint32_t number, FilterList* list) {
  NetworkRule rule;
  rule.line = number;
  rule.text = std::string(line);
  std::string_view body = line;
  if (body.substr(0, 2) == "@@") {
    rule.exception = true;
    body.remove_prefix(2);
  }
  std::string_view pattern = AddressPart(line);
  if (pattern.size() < body.size()) {
    std::string reason = ReadOptions(body.substr(pattern.size() + 1), &rule);
    if (!reason.empty()) {
      Skip(list, reason);
      return;
    }
  }
  if (pattern.size() > 2 && pattern.front() == '/' && pattern.back() == '/') {
    rule.regex = true;
    rule.pattern = std::string(pattern.substr(1, pattern.size() - 2));
  } else {
    std::string_view rest = pattern;
    if (rest.substr(0, 2) == "||") rest.remove_prefix(2);
    rule.literal = LongestLiteral(rest);
  }
  list->network.push_back(std::move(rule));
}

}  // namespace

bool DomainSet::Allows(std::string_view host) const {
  // The host itself, then what follows each of its dots: the first of these
  // (the longest) that is an entry decides, an excluded one over an included
  // one of the same text.
  size_t start = 0;
  while (start < host.size()) {
    const std::string_view suffix = host.substr(start);
    if (std::binary_search(excluded.begin(), excluded.end(), suffix)) return false;
    if (std::binary_search(included.begin(), included.end(), suffix)) return true;
    const size_t dot = host.find('.', start);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return included.empty();
}

uint32_t RequestTypeOfKind(int kind) {
  // link, image, background, flash, script, frame, stylesheet, marquee, div
  static constexpr uint32_t kTypes[] = {kTypeOther,      kTypeImage,  kTypeImage,
                                        kTypeObject,     kTypeScript, kTypeSubdocument,
                                        kTypeStylesheet, 0,           0};
  if (kind < 0 || kind >= static_cast<int>(sizeof kTypes / sizeof kTypes[0])) return 0;
  return kTypes[kind];
}

uint32_t RequestTypeFromName(std::string_view name) {
  for (const TypeName& entry : kTypeNames) {
    if (name == entry.name) return entry.type;
  }
  return 0;
}

size_t FilterList::SkippedCount() const {
  size_t total = 0;
  for (const auto& [reason, count] : skipped) total += count;
  return total;
}

std::string_view AddressPart(std::string_view rule_text) {
  std::string_view body = rule_text;
  if (body.substr(0, 2) == "@@") body.remove_prefix(2);
  bool whole_regex = body.size() > 2 && body.front() == '/' && body.back() == '/';
  size_t dollar = body.rfind('$');
  if (!whole_regex && dollar != std::string_view::npos) return body.substr(0, dollar);
  return body;
}

std::string TranslatePattern(std::string_view pattern) {
  std::string out;
  if (pattern.substr(0, 2) == "||") {
    // The rest starts at the host or just after a "." inside it.
    out = "^[a-z][a-z0-9+.\\-]*:\\/\\/(?:[^\\/?#]*\\.)?";
    pattern.remove_prefix(2);
  } else if (!pattern.empty() && pattern.front() == '|') {
    out.push_back('^');
    pattern.remove_prefix(1);
  }
  bool anchored_end = !pattern.empty() && pattern.back() == '|';
  if (anchored_end) pattern.remove_suffix(1);
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c == '*') {
      if (out.size() < 2 || out.compare(out.size() - 2, 2, ".*") != 0) out += ".*";
    } else if (c == '^') {
      out += "(?:[^A-Za-z0-9_\\-.%]|\\z)";
    } else {
      AppendEscaped(c, &out);
    }
  }
  if (anchored_end) out += "\\z";
  return out;
}

FilterList ParseFilterList(std::string_view text, std::string name) {
  FilterList list;
  list.name = std::move(name);
  uint32_t number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (number == 1 && line.size() >= 3 && line.substr(0, 3) == "\xEF\xBB\xBF") {
      line.remove_prefix(3);
    }
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[') continue;  // "[Adblock Plus 2.0]"
    if (line.front() == '!') {
      std::string_view comment = Trim(line.substr(1));
      size_t colon = comment.find(':');
      if (colon == std::string_view::npos) continue;
      std::string key = Lower(Trim(comment.substr(0, colon)));
      std::string_view value = Trim(comment.substr(colon + 1));
      if (key == "title") {
        list.title = std::string(value);
      } else if (key == "version") {
        list.version = std::string(value);
      } else if (key == "expires") {
        list.expires_hours = ExpiresHours(value);
      }
      continue;
    }
    size_t marker = HidingMarker(line);
    if (marker != std::string_view::npos) {
      ParseHiding(line, marker, number, &list);
    } else {
      ParseNetwork(line, number, &list);
    }
  }
  return list;
}

}  // namespace cvie::lists
