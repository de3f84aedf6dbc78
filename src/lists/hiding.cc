#include "lists/hiding.h"

#include <ctype.h>
#include <stdint.h>

#include <algorithm>
#include <utility>

#include "lists/site.h"

namespace cvie::lists {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower;
}

// A character of a CSS name as written without escapes.
bool IsNameChar(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
         (static_cast<unsigned char>(c) & 0x80) != 0;
}

// True when the selector can go into a sheet inside a <style> element: no
// "<" (it could end the element) and no braces (they would end the rule).
bool Placeable(const std::string& selector) {
  return selector.find_first_of("<{}") == std::string::npos;
}

}  // namespace

void PageKeys::AddClassAttribute(std::string_view value) {
  size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && IsSpace(value[i])) ++i;
    size_t start = i;
    while (i < value.size() && !IsSpace(value[i])) ++i;
    if (i > start) classes.insert(Lower(value.substr(start, i - start)));
  }
  AddAttribute("class", value);
}

void PageKeys::AddId(std::string_view value) {
  if (!value.empty()) ids.insert(Lower(value));
  AddAttribute("id", value);
}

void PageKeys::AddAttribute(const std::string& name, std::string_view value) {
  std::string& text = values[name];
  text += Lower(value);
  text += '\n';
}

namespace {

// The attribute and text of a selector whose first compound starts with an
// optional element name and [A="V"] (any of = ^= *= $= ~= |=; no escapes) for
// a keyed attribute A; false otherwise.
bool AttributeKeyOf(std::string_view selector, SelectorKey* key) {
  size_t i = 0;
  while (i < selector.size() && IsNameChar(selector[i])) ++i;
  if (i >= selector.size() || selector[i] != '[') return false;
  size_t name_start = ++i;
  while (i < selector.size() &&
         (isalpha(static_cast<unsigned char>(selector[i])) || selector[i] == '-')) {
    ++i;
  }
  std::string attribute = Lower(selector.substr(name_start, i - name_start));
  if (attribute != "class" && attribute != "id" && attribute != "href" &&
      attribute != "src") {
    return false;
  }
  std::string_view rest = selector.substr(i);
  if (!rest.empty() && std::string_view("^*$~|").find(rest[0]) != std::string_view::npos)
    rest.remove_prefix(1);
  if (rest.substr(0, 2) != "=\"") return false;
  rest.remove_prefix(2);
  size_t close = rest.find('"');
  if (close == std::string_view::npos || close == 0 || rest.substr(close, 2) != "\"]")
    return false;
  std::string_view value = rest.substr(0, close);
  if (value.find('\\') != std::string_view::npos) return false;
  key->kind = SelectorKey::Kind::kAttribute;
  key->attribute = std::move(attribute);
  key->name = Lower(value);
  return true;
}

}  // namespace

SelectorKey KeyOfSelector(std::string_view selector) {
  SelectorKey key;
  // A group ("a, b") matches where any of its parts does: no single key.
  if (selector.find(',') != std::string_view::npos) return key;
  if (AttributeKeyOf(selector, &key)) return key;
  size_t i = 0;
  while (i < selector.size() && IsSpace(selector[i])) ++i;
  while (i < selector.size() && IsNameChar(selector[i])) ++i;  // element name
  if (i >= selector.size() || (selector[i] != '.' && selector[i] != '#')) return key;
  const bool is_class = selector[i] == '.';
  size_t start = ++i;
  while (i < selector.size() && IsNameChar(selector[i])) ++i;
  // An escaped name is not looked for: the selector is kept key-less.
  if (i == start || (i < selector.size() && selector[i] == '\\')) return key;
  key.kind = is_class ? SelectorKey::Kind::kClass : SelectorKey::Kind::kId;
  key.name = Lower(selector.substr(start, i - start));
  return key;
}

HidingTables::HidingTables(const std::vector<FilterList>& lists) {
  uint32_t order = 0;
  for (const FilterList& list : lists) {
    for (const HidingRule& rule : list.hiding) {
      const Entry entry{&rule, order++};
      if (rule.exception) {
        exceptions_[rule.selector].push_back(&rule);
        continue;
      }
      if (!Placeable(rule.selector)) continue;
      if (!rule.sites.included.empty()) {
        for (const std::string& site : rule.sites.included)
          by_site_[site].push_back(entry);
        ++specific_count_;
        continue;
      }
      // Generic, also when it names only sites it does not apply on.
      ++generic_count_;
      SelectorKey key = KeyOfSelector(rule.selector);
      switch (key.kind) {
        case SelectorKey::Kind::kClass:
          by_class_[key.name].push_back(entry);
          break;
        case SelectorKey::Kind::kId:
          by_id_[key.name].push_back(entry);
          break;
        case SelectorKey::Kind::kAttribute:
          by_attribute_.push_back({std::move(key.attribute), std::move(key.name), entry});
          break;
        case SelectorKey::Kind::kNone:
          keyless_.push_back(entry);
          break;
      }
    }
  }
}

bool HidingTables::Excepted(const std::string& selector, std::string_view host) const {
  auto found = exceptions_.find(selector);
  if (found == exceptions_.end()) return false;
  for (const HidingRule* exception : found->second) {
    if (exception->sites.empty() || exception->sites.Allows(host)) return true;
  }
  return false;
}

std::string HidingTables::SelectorsFor(std::string_view host, bool generic,
                                       const PageKeys& keys) const {
  Entries chosen;
  auto take = [&chosen](const Entries& entries) {
    chosen.insert(chosen.end(), entries.begin(), entries.end());
  };
  // Site-specific: the rules of the host and of every domain above it.
  if (!host.empty()) {
    std::string_view suffix = host;
    for (;;) {
      auto found = by_site_.find(std::string(suffix));
      if (found != by_site_.end()) take(found->second);
      size_t dot = suffix.find('.');
      if (dot == std::string_view::npos) break;
      suffix.remove_prefix(dot + 1);
    }
  }
  if (generic) {
    take(keyless_);
    // Keyed rules are looked up by the page's keys, usually far fewer than
    // the rules.
    for (const std::string& name : keys.classes) {
      auto found = by_class_.find(name);
      if (found != by_class_.end()) take(found->second);
    }
    for (const std::string& name : keys.ids) {
      auto found = by_id_.find(name);
      if (found != by_id_.end()) take(found->second);
    }
    for (const AttributeKey& key : by_attribute_) {
      auto found = keys.values.find(key.attribute);
      if (found != keys.values.end() && found->second.find(key.text) != std::string::npos)
        chosen.push_back(key.entry);
    }
  }
  std::sort(chosen.begin(), chosen.end(),
            [](const Entry& a, const Entry& b) { return a.order < b.order; });
  std::string out;
  std::unordered_set<std::string_view> seen;
  uint32_t last = UINT32_MAX;
  for (const Entry& entry : chosen) {
    if (entry.order == last) continue;  // a rule under two of the host's domains
    last = entry.order;
    const HidingRule& rule = *entry.rule;
    if (!rule.sites.empty() && !rule.sites.Allows(host)) continue;
    if (!seen.insert(rule.selector).second) continue;
    if (Excepted(rule.selector, host)) continue;
    if (!out.empty()) out += ',';
    out += rule.selector;
  }
  return out;
}

}  // namespace cvie::lists
