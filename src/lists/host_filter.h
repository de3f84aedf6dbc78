// lists/host_filter.h
//
// The decision on a whole host, as a network-level blocker makes it when it
// sees only the host (a CONNECT tunnel): the rules of the public lists that
// apply to every request to a host whatever the page and the address path.
//
// A host-level blocking rule is `||host^` or `||host` (the pattern is a host
// name and nothing after it but `^`) with no options other than types that
// cover every request a page makes (no type option, or types including all
// of them): no `domain=`, no `third-party` / `first-party`. A host-level
// exception is the same after `@@`, with any types (an exception only
// narrows blocking). The rule matches the host and every name under it.
//
// Decide(host): blocked when a host-level blocking rule matches and no
// host-level exception does; an `important` blocking rule wins over every
// exception of the lists. Exceptions with a path, `domain=`, a party option
// or any other pattern cannot be judged without the page: they never stop a
// host-level block, and are counted (page_dependent_exceptions).
//
// One lookup per label of the host in a hash table; no regular expression.
// Immutable once built: any number of threads may call Decide at once. It
// keeps no reference to the lists it was built from.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lists/filter_list.h"

namespace cvie::lists {

// A rule that decided: which list (as explanations name it), line and text.
struct HostRule {
  std::string list;
  uint32_t line = 0;
  std::string text;
  bool exception = false;
  bool important = false;
};

struct HostDecision {
  bool blocked = false;
  // The rule that decided: the blocking rule when blocked, the exception that
  // undid a block when allowed by one; null when no rule matched. Valid as
  // long as the HostFilter lives.
  const HostRule* rule = nullptr;
};

class HostFilter {
 public:
  HostFilter() = default;
  // Takes the host-level rules of `lists`; the first list (and line) naming a
  // host decides for it when several do.
  explicit HostFilter(const std::vector<FilterList>& lists);

  // `host`: a DNS name or IP literal; case, a trailing dot and IPv6 brackets
  // are ignored. An empty host is never blocked.
  HostDecision Decide(std::string_view host) const;

  size_t blocking_hosts() const { return block_.size(); }
  size_t exception_hosts() const { return allow_.size(); }
  // List exceptions that cannot be judged from the host alone.
  size_t page_dependent_exceptions() const { return page_dependent_exceptions_; }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const {
      return std::hash<std::string_view>()(s);
    }
  };
  using HostTable = std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>>;

  std::vector<HostRule> rules_;
  HostTable block_;  // host -> index in rules_
  HostTable allow_;  // host -> index in rules_
  size_t page_dependent_exceptions_ = 0;
};

// The host named by a network rule's pattern when the pattern is `||host^` or
// `||host` (lower case), else empty. `text` is the rule line as written.
std::string HostOfRule(std::string_view text);

}  // namespace cvie::lists
