// lists/filter_list.h
//
// One public filter list (EasyList format) read into rules: network rules
// with their pattern translated to PCRE2 syntax and their options, hiding
// rules with their sites, the list's metadata, and the lines skipped because
// the product cannot honour them as written, counted by reason. A rule is
// skipped whole, never kept with an option dropped (that would widen it).
//
// Parsing does not compile patterns; ListEngine does. Plain data, immutable
// once parsed.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace cvie::lists {

// Request types of the list format.
enum RequestType : uint32_t {
  kTypeOther = 1u << 0,
  kTypeScript = 1u << 1,
  kTypeImage = 1u << 2,
  kTypeStylesheet = 1u << 3,
  kTypeObject = 1u << 4,
  kTypeSubdocument = 1u << 5,
  kTypeXmlHttpRequest = 1u << 6,
  kTypeMedia = 1u << 7,
  kTypeFont = 1u << 8,
  kTypeWebSocket = 1u << 9,
  kTypePing = 1u << 10,
  kTypeDocument = 1u << 11,
  kTypePopup = 1u << 12,
};
constexpr uint32_t kAllTypes = (1u << 13) - 1;
// The types of a rule that names none: all but document and popup.
constexpr uint32_t kDefaultTypes = kAllTypes & ~(kTypeDocument | kTypePopup);

// The request type of a page-editor element kind (anyhtml/rule_checker.h
// ElementKind 0..8), or 0 for kinds lists do not block (marquee, division)
// and for unknown kinds.
uint32_t RequestTypeOfKind(int kind);
// The request type named `name` ("script", "xhr", ...), or 0.
uint32_t RequestTypeFromName(std::string_view name);

enum class Party : uint8_t { kAny, kThird, kFirst };

// A page-domain restriction (domain= of a network rule, the sites of a hiding
// rule): entries in lower case and sorted, "~" entries in `excluded`.
struct DomainSet {
  std::vector<std::string> included;
  std::vector<std::string> excluded;
  bool empty() const { return included.empty() && excluded.empty(); }
  // True when the page host passes: the entry matching the longest suffix of
  // the host decides; with no matching entry, true only when there are no
  // plain entries. An empty host matches no entry. One lookup per label of
  // the host, whatever the number of entries.
  bool Allows(std::string_view host) const;
};

struct NetworkRule {
  uint32_t line = 0;  // 1-based line number in the list
  std::string text;   // the line as written
  // A /regex/ rule's PCRE2 pattern (between the slashes). Empty for other
  // rules: theirs is TranslatePattern(AddressPart(text)), made when needed.
  std::string pattern;
  bool regex = false;      // written as /regex/
  bool exception = false;  // @@
  bool important = false;
  bool match_case = false;
  uint32_t types = kDefaultTypes;  // request types the rule acts on
  Party party = Party::kAny;
  DomainSet domains;
  // Exceptions only: no blocking and no hiding on matching pages (document),
  // no hiding (elemhide), no generic hiding (generichide).
  bool page_document = false;
  bool page_elemhide = false;
  bool page_generichide = false;
  // The longest run of literal characters every matching address holds
  // (the index looks for it); empty for regex rules.
  std::string literal;
};

struct HidingRule {
  uint32_t line = 0;
  std::string selector;
  DomainSet sites;         // empty: generic
  bool exception = false;  // #@#
};

struct FilterList {
  std::string name;  // how explanations name it (file name or address)
  std::string title;
  std::string version;
  int expires_hours = 5 * 24;  // "! Expires:", clamped to 1 hour .. 14 days
  std::vector<NetworkRule> network;
  std::vector<HidingRule> hiding;
  std::map<std::string, size_t> skipped;  // reason -> lines

  size_t SkippedCount() const;
};

// Reads the text of a list. Never fails: lines that are not understood are
// skipped and counted.
FilterList ParseFilterList(std::string_view text, std::string name);

// The address part of a network rule's text (without "@@" and options).
std::string_view AddressPart(std::string_view rule_text);

// Translates the address part of a non-regex network rule to a PCRE2 pattern
// (without case flags): "||" host anchor, "|" anchors, "*" and "^".
std::string TranslatePattern(std::string_view pattern);

}  // namespace cvie::lists
