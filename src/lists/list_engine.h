// lists/list_engine.h
//
// The network rules of several filter lists compiled for checking requests,
// and the decision for one request: blocked when a blocking rule matches and
// no exception does, unless an "important" blocking rule matches (then only a
// "document" exception on the page undoes it).
//
// Candidates are found the way the product's own rule index finds them (one
// Vectorscan database for blocking rules, one for exceptions, each rule looked
// for by its longest literal run or, for a regular expression, by a run of
// characters every match of it holds; a rule without one is tried on every
// check), except rules written "||host^" or "||host/..." (most of them),
// which a table keyed by host proposes. Every candidate is confirmed
// (regular expressions by PCRE2, other rules by AddressPattern), so Decide
// gives the same answer as DecideReference, which tries every rule in turn
// with PCRE2.
//
// Build once, then immutable: Decide and DecideReference may be called from
// any number of threads at once.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lists/filter_list.h"

namespace cvie::lists {

// One request of a page.
struct Request {
  uint32_t type = 0;          // one RequestType bit; 0 is never blocked
  std::string_view url;       // the request address
  std::string_view page_url;  // the page's address; may be empty
};

// Which rule of which list: indexes into ListEngine::lists().
struct RuleRef {
  int list = -1;  // -1: none
  uint32_t rule = 0;
  bool valid() const { return list >= 0; }
};

// What exceptions say about a whole page: no blocking and no hiding
// (document), no hiding (elemhide), no generic hiding (generichide).
struct PageExceptions {
  bool document = false;
  bool elemhide = false;
  bool generichide = false;
};

struct Decision {
  bool blocked = false;
  RuleRef blocking;   // the blocking rule that decided (the first of the lists)
  RuleRef exception;  // the exception that allowed it, if one did
};

class ListEngine {
 public:
  // Compiles the network rules of `lists`. A rule whose pattern PCRE2 cannot
  // compile is left out and counted in its list's skipped lines ("regular
  // expression does not compile"). Null only when Vectorscan cannot build a
  // database for rules it should hold.
  static std::unique_ptr<ListEngine> Build(std::vector<FilterList> lists);
  // The same engine, its index taken from the cache file at `cache_path`
  // when that was made for exactly these rules by this program and library
  // on this kind of processor; otherwise compiled, and the cache (re)written
  // atomically (a write failure only costs the next start time). A missing,
  // stale, truncated or damaged cache is never trusted: every size and count
  // is checked and the index compiled instead. `from_cache` (may be null)
  // tells which happened. An empty path builds without a cache.
  static std::unique_ptr<ListEngine> LoadOrBuild(std::vector<FilterList> lists,
                                                 const std::wstring& cache_path,
                                                 bool* from_cache);
  // The index as cache bytes (what LoadOrBuild writes). Empty on failure.
  std::string Serialize() const;
  ~ListEngine();
  ListEngine(const ListEngine&) = delete;
  ListEngine& operator=(const ListEngine&) = delete;

  // The decision for `request`, through the index.
  Decision Decide(const Request& request) const;
  // The same decision, trying every rule in turn (for equality tests).
  Decision DecideReference(const Request& request) const;
  // The document/elemhide/generichide exceptions that match the page at
  // `page_url` (their domain= judged against the page's own host). All false
  // for an empty address.
  PageExceptions PageExceptionsOf(std::string_view page_url) const;

  const std::vector<FilterList>& lists() const { return lists_; }
  const NetworkRule& RuleOf(RuleRef ref) const {
    return lists_[static_cast<size_t>(ref.list)].network[ref.rule];
  }
  // "list:line: text" of a rule, for explanations.
  std::string Describe(RuleRef ref) const;

  // Figures for reports: rules in the databases, rules tried on every check,
  // and the bytes of both databases.
  size_t IndexedCount() const;
  size_t HostKeyedCount() const;  // of those, rules looked up by host
  size_t FallbackCount() const;
  size_t DatabaseBytes() const;

  struct Compiled;       // a rule's compiled pattern and where it lives
  struct DatabaseEntry;  // what a database looks for on behalf of a rule

 private:
  ListEngine() = default;
  struct Side;  // blocking rules or exceptions, with their database
  struct Query;

  // True when `rule` matches the query. `host_at`: the rule was proposed by
  // the host table for `host_token` at that place of the address, and only a
  // match of its address from there is looked for.
  bool Matches(const Compiled& rule, Query* query,
               size_t host_at = std::string_view::npos,
               std::string_view host_token = {}) const;
  void ScanSide(const Side& side, Query* query, bool use_index,
                std::vector<uint32_t>* matched) const;
  Decision DecideWith(const Request& request, bool use_index) const;
  // Takes the databases and fallback rules from cache bytes when they are
  // valid for the rules prepared; false (nothing taken) otherwise.
  bool TakeCache(std::string_view bytes, const std::vector<DatabaseEntry> (&entries)[2],
                 const std::vector<bool> (&by_host)[2]);

  std::vector<FilterList> lists_;
  std::unique_ptr<Side> block_;
  std::unique_ptr<Side> allow_;
  uint64_t serial_ = 0;
  std::string key_;  // what a cache must have been made for
};

}  // namespace cvie::lists
