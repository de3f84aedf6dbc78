// lists/hiding.h
//
// The hiding rules of several filter lists arranged for building one page's
// style sheet: site-specific selectors by the sites they name, generic
// selectors by the class or id they start with (".ad", "#banner", "div.ad"),
// by the text an attribute must hold (a[href*="/ads/"]), or in one list of
// key-less selectors, and the "#@#" exceptions by selector.
//
// For a page the sheet holds the site-specific selectors whose sites allow
// the page's host, and (unless generic hiding is off for the page) the
// key-less generic selectors and the keyed ones whose class or id occurs in
// the page (or whose attribute text occurs in such an attribute); minus every
// selector an exception switches off for the host.
// Selectors holding "<" are never put in a sheet: inside a <style> element
// they could end it.
//
// Build once, then immutable: SelectorsFor may be called from any number of
// threads at once.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lists/filter_list.h"

namespace cvie::lists {

// The classes and ids that occur in one page, in lower case.
struct PageKeys {
  std::unordered_set<std::string> classes;
  std::unordered_set<std::string> ids;
  // For each keyed attribute (class, id, href, src): every value the page
  // gives it, in lower case, each followed by "\n".
  std::unordered_map<std::string, std::string> values;
  // Adds the classes of a class attribute (white-space separated), an id, or
  // the value of another attribute.
  void AddClassAttribute(std::string_view value);
  void AddId(std::string_view value);
  void AddAttribute(const std::string& name, std::string_view value);
};

// The key of a generic selector: the class or id the selector's first
// compound starts with (after an optional element name), or, for a first
// compound that starts with [A="V"] (also ^=, *=, $=, ~=, |=) where A is
// class, id, href or src, the attribute A and the text V: a page where no
// such attribute holds V has no element the selector matches. In lower case.
struct SelectorKey {
  enum class Kind : uint8_t { kNone, kClass, kId, kAttribute } kind = Kind::kNone;
  std::string name;       // the class, id or text
  std::string attribute;  // kAttribute: the attribute
};
SelectorKey KeyOfSelector(std::string_view selector);

class HidingTables {
 public:
  // Arranges the hiding rules of `lists` (which must outlive the tables: the
  // tables point into them).
  explicit HidingTables(const std::vector<FilterList>& lists);

  // The selectors for a page on `host` joined with "," (empty when none).
  // `generic` false leaves out every generic selector (generichide).
  std::string SelectorsFor(std::string_view host, bool generic,
                           const PageKeys& keys) const;

  size_t generic_count() const { return generic_count_; }
  size_t specific_count() const { return specific_count_; }

 private:
  // A rule and its place among the rules of all lists (the sheet keeps
  // that order).
  struct Entry {
    const HidingRule* rule;
    uint32_t order;
  };
  using Entries = std::vector<Entry>;
  bool Excepted(const std::string& selector, std::string_view host) const;

  Entries keyless_;
  std::unordered_map<std::string, Entries> by_class_;
  std::unordered_map<std::string, Entries> by_id_;
  // Rules keyed by a text an attribute must hold, tried one by one.
  struct AttributeKey {
    std::string attribute;
    std::string text;
    Entry entry;
  };
  std::vector<AttributeKey> by_attribute_;
  // Site-specific rules by each site they name (included entries).
  std::unordered_map<std::string, Entries> by_site_;
  std::unordered_map<std::string, std::vector<const HidingRule*>> exceptions_;
  size_t generic_count_ = 0;
  size_t specific_count_ = 0;
};

}  // namespace cvie::lists
