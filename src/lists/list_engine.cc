#include "lists/list_engine.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <ctype.h>
#include <hs/hs.h>
#include <pcre2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <bitset>

#include "lists/address_pattern.h"
#include "lists/regex_literal.h"
#include "lists/site.h"
#include "log/logger.h"
#include "platform/process.h"
#include "rules/cache_bytes.h"
#include "rules/scan_target.h"

namespace cvie::lists {

namespace {
// The rule-by-rule scan marks each pair of adjacent characters of the text in
// a bit set of this size: a rule's literal can only occur in the text when
// the bits of its own pairs are set.
constexpr size_t kPairBits = 4096;
}  // namespace

struct ListEngine::DatabaseEntry {
  std::string pattern;  // empty: tried one by one
  unsigned flags = 0;
};

struct ListEngine::Compiled {
  RuleRef ref;
  const NetworkRule* rule = nullptr;
  // A /regex/ rule's pattern, compiled when the engine is built.
  pcre2_code* code = nullptr;
  bool jit = false;  // `code` was JIT-compiled: matched through pcre2_jit_match
  // Any other rule is matched by `address`; its PCRE2 pattern is compiled
  // only when the rule-by-rule reference first needs it.
  AddressPattern address;
  mutable std::atomic<pcre2_code*> reference_code{nullptr};
  std::string lower_literal;  // the rule's literal in lower case (reference scan)

  Compiled() = default;
  // Moved only while the engine is built, on one thread.
  Compiled(Compiled&& other) noexcept
      : ref(other.ref),
        rule(other.rule),
        code(other.code),
        jit(other.jit),
        address(std::move(other.address)),
        reference_code(other.reference_code.exchange(nullptr)),
        lower_literal(std::move(other.lower_literal)) {
    other.code = nullptr;
  }
  ~Compiled() {
    pcre2_code_free(code);
    pcre2_code_free(reference_code.load());
  }
};

// What the rule-by-rule scan reads first for each rule, kept small and
// together so that passing over every rule stays in the processor's cache.
namespace {
// Bits of a rule's page flags, and of what a page check looks for.
constexpr uint8_t kPageDocument = 1;
constexpr uint8_t kPageElemhide = 2;
constexpr uint8_t kPageGenerichide = 4;

uint8_t PageFlagsOf(const NetworkRule& rule) {
  return static_cast<uint8_t>((rule.page_document ? kPageDocument : 0) |
                              (rule.page_elemhide ? kPageElemhide : 0) |
                              (rule.page_generichide ? kPageGenerichide : 0));
}
}  // namespace

struct QuickTest {
  uint32_t types = 0;
  uint8_t page_flags = 0;
  uint8_t pair_count = 0;
  uint16_t pairs[3] = {0, 0, 0};  // PairBit of a few adjacent pairs of the literal
};

struct ListEngine::Side {
  std::vector<Compiled> rules;     // in list order: the first match is the lowest
  std::vector<QuickTest> quick;    // one per rule
  std::vector<uint32_t> fallback;  // rules tried one by one on every check
  // Rules written "||host" and then a separator ("||host^", "||host/path"):
  // (hash of the host, rule), grouped by bucket. A check looks up the host
  // tokens of its address instead of scanning for them
  // (AddressPattern::HostKey).
  std::vector<std::pair<uint64_t, uint32_t>> by_host;
  // Where the entries of each value of the hash's top `host_bits` bits start
  // in by_host (one more than there are values): a lookup reads the one or
  // two entries of its bucket instead of searching the whole table.
  std::vector<uint32_t> host_buckets;
  int host_bits = 1;

  void IndexHosts();
  template <typename Visit>
  void ForHost(uint64_t hash, Visit visit) const {
    const size_t bucket = static_cast<size_t>(hash >> (64 - host_bits));
    for (uint32_t k = host_buckets[bucket]; k < host_buckets[bucket + 1]; ++k) {
      if (by_host[k].first == hash) visit(by_host[k].second);
    }
  }
  hs_database_t* db = nullptr;  // the others' literals; null when there are none
  ~Side() {
    if (db != nullptr) hs_free_database(db);
  }
};

// The text of one rule-by-rule scan: the address in lower case and the pairs
// of adjacent characters it holds.
struct ReferenceText {
  std::string lower;
  std::bitset<kPairBits> pairs;
};

// The site of the host of `url` (see SiteOf), remembered in a small table of
// the calling thread: the requests of a page go to the same few hosts, and a
// Public Suffix List lookup costs more than the rest of most checks. The
// view is valid until the next call on the same thread.
std::string_view SiteOfHostOf(std::string_view url, std::string_view page_host,
                              std::string_view page_site);

// One request, with the parts of it the options need worked out on demand.
struct ListEngine::Query {
  std::string_view text;  // the address the patterns are matched against
  uint32_t type = 0;
  // Looking for exceptions about the page itself: those with one of these
  // page flags (0: an ordinary request).
  uint8_t page_check = 0;
  std::string_view page_url;
  std::string_view page_host;  // lower case; empty without a page
  std::string_view page_site;  // the site of page_host
  int third_party = -1;        // -1: not worked out yet
  // Set while scanning rule by rule: each rule's literal is looked for first.
  const ReferenceText* reference = nullptr;

  bool ThirdParty() {
    if (third_party < 0) {
      // Without a page host every request is third-party: no lookup needed.
      third_party =
          page_host.empty() || SiteOfHostOf(text, page_host, page_site) != page_site ? 1
                                                                                     : 0;
    }
    return third_party == 1;
  }
};

namespace {

std::atomic<uint64_t> next_serial{1};

constexpr char kCacheMagic[8] = {'C', 'V', 'L', 'S', 'T', 'I', 'D', 'X'};
// Changes whenever what the cache holds or how rules are indexed changes.
constexpr char kCacheVersion[] = "1";

// ASCII letters to lower case, as PCRE2's caseless matching folds them here
// (no UTF mode); other bytes stay.
char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

uint64_t HashOf(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

std::string_view SiteOfHostOf(std::string_view url, std::string_view page_host,
                              std::string_view page_site) {
  struct Slot {
    std::string host;
    std::string site;
  };
  constexpr size_t kSlots = 64;
  thread_local Slot slots[kSlots];
  thread_local std::string host;
  HostOf(url, &host);
  // The page's own host needs no lookup.
  if (host == page_host) return page_site;
  Slot& slot = slots[HashOf(host) % kSlots];
  if (slot.host != host) {
    slot.site = SiteOf(host);
    slot.host = host;
  }
  return slot.site;
}

namespace {

uint16_t PairBit(unsigned char first, unsigned char second) {
  return static_cast<uint16_t>((first * 31u + second) % kPairBits);
}

// Scan scratch space of the calling thread, grown to fit both databases of
// the engine it was last used with, and freed when the thread ends.
struct ThreadScratch {
  hs_scratch_t* scratch = nullptr;
  uint64_t fitted_serial = 0;
  ~ThreadScratch() {
    if (scratch != nullptr) hs_free_scratch(scratch);
  }
};

hs_scratch_t* ScratchFor(std::initializer_list<const hs_database_t*> dbs,
                         uint64_t serial) {
  thread_local ThreadScratch per_thread;
  if (per_thread.fitted_serial != serial || per_thread.scratch == nullptr) {
    for (const hs_database_t* db : dbs) {
      if (db != nullptr && hs_alloc_scratch(db, &per_thread.scratch) != HS_SUCCESS) {
        return nullptr;
      }
    }
    per_thread.fitted_serial = serial;
  }
  return per_thread.scratch;
}

// The rule's PCRE2 pattern compiled: a /regex/ rule's own, else the
// translation of its address part.
pcre2_code* CompilePattern(const NetworkRule& rule) {
  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  const std::string pattern =
      rule.regex ? rule.pattern : TranslatePattern(AddressPart(rule.text));
  return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                       (rule.match_case ? 0 : PCRE2_CASELESS) | PCRE2_DOTALL, &error_code,
                       &error_offset, nullptr);
}

pcre2_match_data* ThreadMatchData() {
  struct PerThread {
    pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
    ~PerThread() { pcre2_match_data_free(data); }
  };
  thread_local PerThread per_thread;
  return per_thread.data;
}

using DatabaseEntry = ListEngine::DatabaseEntry;

// What the database looks for on behalf of a rule: its longest literal run
// (at least two characters; shorter runs would be candidates nearly
// everywhere). Always caseless: the rule's matcher decides case. A /regex/
// rule is looked for by a run of characters every match of it holds
// (RequiredLiteralOfRegex), and then confirmed by its JIT-compiled PCRE2
// pattern; one without such a run is tried on every check: the few of a
// list cost less that way than the automata they would need in the database.
DatabaseEntry EntryFor(const NetworkRule& rule) {
  DatabaseEntry entry;
  entry.flags = HS_FLAG_SINGLEMATCH | HS_FLAG_CASELESS;
  std::string literal = rule.literal;
  if (rule.regex) {
    literal = RequiredLiteralOfRegex(rule.pattern);
    // A run the start of nearly every address holds ("http", "://www.")
    // would make the rule a candidate of every check, at a higher price than
    // trying it one by one.
    std::string lower = literal;
    for (char& c : lower) c = FoldAscii(c);
    if (std::string_view("https://www.").find(lower) != std::string_view::npos) {
      literal.clear();
    }
  }
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

// Compiles the database of one side. A pattern Vectorscan rejects is moved to
// the fallback list and the rest compiled again.
hs_database_t* CompileSide(const std::vector<DatabaseEntry>& entries,
                           std::vector<bool>* in_database) {
  for (;;) {
    std::vector<const char*> patterns;
    std::vector<unsigned> flags;
    std::vector<unsigned> ids;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!(*in_database)[i]) continue;
      patterns.push_back(entries[i].pattern.c_str());
      flags.push_back(entries[i].flags);
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
    if (error != nullptr) hs_free_compile_error(error);
    if (failed < 0 || static_cast<size_t>(failed) >= ids.size()) return nullptr;
    (*in_database)[ids[failed]] = false;
  }
}

struct ScanContext {
  size_t rule_count;
  std::vector<uint32_t>* matched;
  // True when rule `id` of the side matches.
  bool (*matches)(const void* scan, uint32_t id);
  const void* scan;
};

int OnCandidate(unsigned int id, unsigned long long, unsigned long long, unsigned int,
                void* context) {
  ScanContext* scan = static_cast<ScanContext*>(context);
  if (id >= scan->rule_count) return 0;  // not a rule of this engine
  if (scan->matches(scan->scan, id)) {
    scan->matched->push_back(id);
  }
  return 0;
}

}  // namespace

namespace {

// The PCRE2 pattern of a rule the index matches without one, compiled on
// first use; null when it does not compile.
const pcre2_code* ReferenceCode(const ListEngine::Compiled& compiled) {
  pcre2_code* code = compiled.reference_code.load(std::memory_order_acquire);
  if (code != nullptr) return code;
  pcre2_code* made = CompilePattern(*compiled.rule);
  if (made == nullptr) return nullptr;
  // Another thread may have compiled it meanwhile: the first one stays.
  if (compiled.reference_code.compare_exchange_strong(code, made,
                                                      std::memory_order_acq_rel)) {
    return made;
  }
  pcre2_code_free(made);
  return code;
}

}  // namespace

ListEngine::~ListEngine() = default;

std::string ListEngine::Serialize() const {
  std::string out(kCacheMagic, sizeof kCacheMagic);
  cache_bytes::Put<uint32_t>(&out, static_cast<uint32_t>(key_.size()));
  out += key_;
  for (const Side* side : {block_.get(), allow_.get()}) {
    cache_bytes::Put<uint32_t>(&out, static_cast<uint32_t>(side->rules.size()));
    cache_bytes::Put<uint32_t>(&out, static_cast<uint32_t>(side->fallback.size()));
    for (uint32_t i : side->fallback) cache_bytes::Put<uint32_t>(&out, i);
    char* db_bytes = nullptr;
    size_t db_size = 0;
    if (side->db != nullptr &&
        hs_serialize_database(side->db, &db_bytes, &db_size) != HS_SUCCESS) {
      return std::string();
    }
    cache_bytes::Put<uint64_t>(&out, static_cast<uint64_t>(db_size));
    if (db_bytes != nullptr) {
      out.append(db_bytes, db_size);
      free(db_bytes);
    }
  }
  cache_bytes::Seal(&out);
  return out;
}

bool ListEngine::TakeCache(std::string_view bytes,
                           const std::vector<DatabaseEntry> (&entries)[2],
                           const std::vector<bool> (&by_host)[2]) {
  std::string_view body;
  if (!cache_bytes::Unseal(bytes, &body)) return false;
  cache_bytes::Reader in(body);
  const char* magic = nullptr;
  if (!in.Take(sizeof kCacheMagic, &magic) ||
      memcmp(magic, kCacheMagic, sizeof kCacheMagic) != 0) {
    return false;
  }
  uint32_t key_size = 0;
  const char* key = nullptr;
  if (!in.Get(&key_size) || !in.Take(key_size, &key) ||
      std::string_view(key, key_size) != key_) {
    return false;
  }
  hs_database_t* dbs[2] = {nullptr, nullptr};
  std::vector<uint32_t> fallbacks[2];
  bool good = true;
  Side* sides[2] = {block_.get(), allow_.get()};
  for (int s = 0; s < 2 && good; ++s) {
    const size_t rules = sides[s]->rules.size();
    uint32_t count = 0;
    uint32_t fallback_count = 0;
    good = in.Get(&count) && count == rules && in.Get(&fallback_count) &&
           fallback_count <= rules;
    // Every fallback rule in range, in order, not one looked up by host; and
    // every rule the database cannot hold among them.
    size_t needed = 0;
    for (size_t i = 0; good && i < rules; ++i) {
      needed += !by_host[s][i] && entries[s][i].pattern.empty() ? 1 : 0;
    }
    size_t met = 0;
    for (uint32_t k = 0; good && k < fallback_count; ++k) {
      uint32_t i = 0;
      good = in.Get(&i) && i < rules && !by_host[s][i] &&
             (fallbacks[s].empty() || i > fallbacks[s].back());
      if (!good) break;
      met += entries[s][i].pattern.empty() ? 1 : 0;
      fallbacks[s].push_back(i);
    }
    good = good && met == needed;
    size_t in_db = 0;
    for (size_t i = 0; good && i < rules; ++i) in_db += by_host[s][i] ? 0 : 1;
    in_db -= std::min(in_db, fallbacks[s].size());
    uint64_t db_size = 0;
    const char* db_bytes = nullptr;
    good = good && in.Get(&db_size) && db_size <= body.size() &&
           in.Take(db_size, &db_bytes) && (db_size != 0) == (in_db != 0);
    if (good && db_size != 0) {
      good = hs_deserialize_database(db_bytes, static_cast<size_t>(db_size), &dbs[s]) ==
             HS_SUCCESS;
    }
  }
  good = good && in.AtEnd();
  if (!good) {
    for (hs_database_t* db : dbs) {
      if (db != nullptr) hs_free_database(db);
    }
    return false;
  }
  for (int s = 0; s < 2; ++s) {
    sides[s]->db = dbs[s];
    sides[s]->fallback = std::move(fallbacks[s]);
  }
  return true;
}

void ListEngine::Side::IndexHosts() {
  host_bits = 1;
  while (host_bits < 30 && (size_t{1} << host_bits) < by_host.size()) ++host_bits;
  const size_t buckets = size_t{1} << host_bits;
  auto bucket_of = [&](const std::pair<uint64_t, uint32_t>& entry) {
    return static_cast<size_t>(entry.first >> (64 - host_bits));
  };
  // Placed bucket by bucket (a counting sort), each bucket in rule order.
  host_buckets.assign(buckets + 1, 0);
  for (const auto& entry : by_host) ++host_buckets[bucket_of(entry) + 1];
  for (size_t b = 0; b < buckets; ++b) host_buckets[b + 1] += host_buckets[b];
  std::vector<std::pair<uint64_t, uint32_t>> placed(by_host.size());
  std::vector<uint32_t> next(host_buckets.begin(), host_buckets.end() - 1);
  for (const auto& entry : by_host) placed[next[bucket_of(entry)]++] = entry;
  by_host = std::move(placed);
}

std::unique_ptr<ListEngine> ListEngine::Build(std::vector<FilterList> lists) {
  return LoadOrBuild(std::move(lists), std::wstring(), nullptr);
}

std::unique_ptr<ListEngine> ListEngine::LoadOrBuild(std::vector<FilterList> lists,
                                                    const std::wstring& cache_path,
                                                    bool* from_cache) {
  if (from_cache != nullptr) *from_cache = false;
  std::unique_ptr<ListEngine> engine(new ListEngine());
  engine->lists_ = std::move(lists);
  engine->block_ = std::make_unique<Side>();
  engine->allow_ = std::make_unique<Side>();
  engine->serial_ = next_serial++;
  for (size_t l = 0; l < engine->lists_.size(); ++l) {
    FilterList& list = engine->lists_[l];
    for (size_t r = 0; r < list.network.size(); ++r) {
      const NetworkRule& rule = list.network[r];
      Compiled compiled;
      compiled.ref = {static_cast<int>(l), static_cast<uint32_t>(r)};
      compiled.rule = &rule;
      if (rule.regex) {
        compiled.code = CompilePattern(rule);
        if (compiled.code == nullptr) {
          ++list.skipped["regular expression does not compile"];
          continue;
        }
        // Without JIT (not offered on this processor) PCRE2 interprets.
        compiled.jit = pcre2_jit_compile(compiled.code, PCRE2_JIT_COMPLETE) == 0;
      } else {
        compiled.address = AddressPattern(AddressPart(rule.text), rule.match_case);
      }
      Side& side = rule.exception ? *engine->allow_ : *engine->block_;
      compiled.lower_literal = rule.literal;
      for (char& c : compiled.lower_literal) {
        c = FoldAscii(c);
      }
      QuickTest quick;
      quick.types = rule.types;
      quick.page_flags = PageFlagsOf(rule);
      const std::string& literal = compiled.lower_literal;
      if (literal.size() >= 2) {
        const size_t starts[] = {0, (literal.size() - 2) / 2, literal.size() - 2};
        for (size_t start : starts) {
          quick.pairs[quick.pair_count++] =
              PairBit(static_cast<unsigned char>(literal[start]),
                      static_cast<unsigned char>(literal[start + 1]));
        }
      }
      side.quick.push_back(quick);
      side.rules.push_back(std::move(compiled));
    }
  }
  // What each side's database would hold, and the key of all of it.
  std::vector<DatabaseEntry> entries[2];
  std::vector<bool> in_database[2];
  std::vector<bool> by_host[2];
  uint64_t hash = cache_bytes::kFnvStart;
  Side* sides[2] = {engine->block_.get(), engine->allow_.get()};
  for (int s = 0; s < 2; ++s) {
    Side* side = sides[s];
    entries[s].reserve(side->rules.size());
    by_host[s].assign(side->rules.size(), false);
    uint32_t count = static_cast<uint32_t>(side->rules.size());
    cache_bytes::Fnv(&hash, &count, sizeof count);
    for (uint32_t i = 0; i < side->rules.size(); ++i) {
      const Compiled& rule = side->rules[i];
      std::string_view host;
      if (rule.code == nullptr && rule.address.HostKey(&host)) {
        side->by_host.emplace_back(HashOf(host), i);
        by_host[s][i] = true;
        entries[s].emplace_back();
      } else {
        entries[s].push_back(EntryFor(*rule.rule));
      }
      const DatabaseEntry& entry = entries[s].back();
      in_database[s].push_back(!entry.pattern.empty());
      const uint8_t kind = by_host[s][i] ? 1 : 0;
      cache_bytes::Fnv(&hash, &kind, 1);
      cache_bytes::Fnv(&hash, &entry.flags, sizeof entry.flags);
      cache_bytes::Fnv(&hash, entry.pattern.c_str(), entry.pattern.size() + 1);
    }
    side->IndexHosts();
  }
  const hs_platform_info_t platform = ScanTargetOfThisMachine().platform;
  cache_bytes::Fnv(&hash, &platform, sizeof platform);
  char hex[17];
  snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  engine->key_ =
      std::string("cvie lists ") + kCacheVersion + " hs " + hs_version() + " " + hex;

  if (!cache_path.empty()) {
    std::string bytes;
    if (cache_bytes::ReadCacheFile(cache_path, &bytes) &&
        engine->TakeCache(bytes, entries, by_host)) {
      if (from_cache != nullptr) *from_cache = true;
      return engine;
    }
  }
  for (int s = 0; s < 2; ++s) {
    Side* side = sides[s];
    bool wanted = std::find(in_database[s].begin(), in_database[s].end(), true) !=
                  in_database[s].end();
    side->db = CompileSide(entries[s], &in_database[s]);
    if (wanted && side->db == nullptr) {
      Logger::Instance().LogA(LOG_NOTICE, "Filter list index could not be compiled\n");
      return nullptr;
    }
    for (size_t i = 0; i < in_database[s].size(); ++i) {
      if (!in_database[s][i] && !by_host[s][i]) {
        side->fallback.push_back(static_cast<uint32_t>(i));
      }
    }
  }
  for (std::vector<DatabaseEntry>& side_entries : entries) {
    side_entries = std::vector<DatabaseEntry>();
  }
  if (!cache_path.empty()) {
    // A write failure only costs the next start the time to compile again.
    std::string bytes = engine->Serialize();
    if (!bytes.empty()) cache_bytes::WriteCacheFile(cache_path, bytes);
  }
  // Compiling leaves many megabytes of small freed blocks the allocator
  // would otherwise keep for good.
  platform::ReleaseFreedMemory();
  return engine;
}

bool ListEngine::Matches(const Compiled& compiled, Query* query, size_t host_at,
                         std::string_view host_token) const {
  const NetworkRule& rule = *compiled.rule;
  if (query->page_check) {
    if ((PageFlagsOf(rule) & query->page_check) == 0) return false;
  } else if ((rule.types & query->type) == 0) {
    return false;
  }
  // Every address a non-regex rule matches holds its literal (in some case):
  // a quick test that spares most PCRE2 calls of the rule-by-rule scan.
  if (query->reference != nullptr &&
      query->reference->lower.find(compiled.lower_literal) == std::string::npos) {
    return false;
  }
  // The address first where it is the cheapest test (a long domain= list or
  // the page's site cost more than AddressPattern).
  if (compiled.code == nullptr && query->reference == nullptr &&
      !(host_at != std::string_view::npos
            ? compiled.address.MatchesAt(query->text, host_at, host_token)
            : compiled.address.Matches(query->text))) {
    return false;
  }
  if (!rule.domains.empty() && !rule.domains.Allows(query->page_host)) return false;
  if (!query->page_check && rule.party != Party::kAny &&
      query->ThirdParty() != (rule.party == Party::kThird)) {
    return false;
  }
  const pcre2_code* code = compiled.code;
  if (compiled.jit) {
    return pcre2_jit_match(code, reinterpret_cast<PCRE2_SPTR>(query->text.data()),
                           query->text.size(), 0, 0, ThreadMatchData(), nullptr) >= 0;
  }
  if (code == nullptr) {
    if (query->reference == nullptr) return true;  // the address matched above
    code = ReferenceCode(compiled);
    if (code == nullptr) return false;
  }
  return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(query->text.data()),
                     query->text.size(), 0, 0, ThreadMatchData(), nullptr) >= 0;
}

void ListEngine::ScanSide(const Side& side, Query* query, bool use_index,
                          std::vector<uint32_t>* matched) const {
  matched->clear();
  hs_scratch_t* scratch = use_index && side.db != nullptr
                              ? ScratchFor({block_->db, allow_->db}, serial_)
                              : nullptr;
  if (!use_index || (side.db != nullptr && scratch == nullptr)) {
    // The rule-by-rule scan (also when no scratch space could be had).
    thread_local ReferenceText reference;
    reference.lower.assign(query->text);
    for (char& c : reference.lower) {
      c = FoldAscii(c);
    }
    reference.pairs.reset();
    for (size_t i = 1; i < reference.lower.size(); ++i) {
      reference.pairs.set(PairBit(static_cast<unsigned char>(reference.lower[i - 1]),
                                  static_cast<unsigned char>(reference.lower[i])));
    }
    query->reference = &reference;
    for (uint32_t i = 0; i < side.rules.size(); ++i) {
      const QuickTest& quick = side.quick[i];
      if (query->page_check ? (quick.page_flags & query->page_check) == 0
                            : (quick.types & query->type) == 0) {
        continue;
      }
      bool pairs_present = true;
      for (uint8_t k = 0; k < quick.pair_count && pairs_present; ++k) {
        pairs_present = reference.pairs.test(quick.pairs[k]);
      }
      if (pairs_present && Matches(side.rules[i], query)) matched->push_back(i);
    }
    query->reference = nullptr;
    return;
  }
  // A candidate's type (or page flags) is tested in the compact quick table
  // before its rule is touched.
  auto candidate = [&](uint32_t i, size_t host_at = std::string_view::npos,
                       std::string_view host_token = {}) {
    const QuickTest& quick = side.quick[i];
    if (query->page_check ? (quick.page_flags & query->page_check) == 0
                          : (quick.types & query->type) == 0) {
      return false;
    }
    return Matches(side.rules[i], query, host_at, host_token);
  };
  if (const hs_database_t* db = side.db) {
    ScanContext context{side.rules.size(), matched,
                        [](const void* scan, uint32_t id) {
                          return (*static_cast<const decltype(candidate)*>(scan))(id);
                        },
                        &candidate};
    ScanTargetOfThisMachine().scan(db, query->text.data(),
                                   static_cast<unsigned>(query->text.size()), 0, scratch,
                                   OnCandidate, &context);
  }
  for (uint32_t i : side.fallback) {
    if (candidate(i)) matched->push_back(i);
  }
  if (!side.by_host.empty()) {
    AddressPattern::HostTokens(query->text, [&](std::string_view token, size_t at) {
      side.ForHost(HashOf(token), [&](uint32_t i) {
        if (candidate(i, at, token)) matched->push_back(i);
      });
    });
  }
  std::sort(matched->begin(), matched->end());
  // A rule can be proposed by two tokens of one address.
  matched->erase(std::unique(matched->begin(), matched->end()), matched->end());
}

Decision ListEngine::DecideWith(const Request& request, bool use_index) const {
  Decision decision;
  if (request.type == 0) return decision;
  Query query;
  query.text = request.url;
  query.type = request.type;
  query.page_url = request.page_url;
  // The editor asks about many elements of one page in turn: the page's host
  // and site are worked out once per page and thread.
  struct PageParts {
    std::string url;
    std::string host;
    std::string site;
    bool valid = false;
  };
  thread_local PageParts last_page;
  if (!last_page.valid || last_page.url != request.page_url) {
    last_page.url.assign(request.page_url);
    last_page.host = HostOf(request.page_url);
    last_page.site = last_page.host.empty() ? std::string() : SiteOf(last_page.host);
    last_page.valid = true;
  }
  query.page_host = last_page.host;
  query.page_site = last_page.site;
  thread_local std::vector<uint32_t> blockers;
  thread_local std::vector<uint32_t> exceptions;
  ScanSide(*block_, &query, use_index, &blockers);
  if (blockers.empty()) return decision;
  if (!request.page_url.empty()) {
    Query page = query;
    page.text = request.page_url;
    page.page_check = kPageDocument;
    ScanSide(*allow_, &page, use_index, &exceptions);
    if (!exceptions.empty()) {
      decision.blocking = block_->rules[blockers.front()].ref;
      decision.exception = allow_->rules[exceptions.front()].ref;
      return decision;
    }
  }
  for (uint32_t i : blockers) {
    if (block_->rules[i].rule->important) {
      decision.blocked = true;
      decision.blocking = block_->rules[i].ref;
      return decision;
    }
  }
  decision.blocking = block_->rules[blockers.front()].ref;
  ScanSide(*allow_, &query, use_index, &exceptions);
  if (!exceptions.empty()) {
    decision.exception = allow_->rules[exceptions.front()].ref;
    return decision;
  }
  decision.blocked = true;
  return decision;
}

PageExceptions ListEngine::PageExceptionsOf(std::string_view page_url) const {
  PageExceptions result;
  if (page_url.empty()) return result;
  Query query;
  query.text = page_url;
  query.page_url = page_url;
  const std::string page_host = HostOf(page_url);
  query.page_host = page_host;
  query.page_check = kPageDocument | kPageElemhide | kPageGenerichide;
  std::vector<uint32_t> matched;
  ScanSide(*allow_, &query, /*use_index=*/true, &matched);
  for (uint32_t i : matched) {
    const NetworkRule& rule = *allow_->rules[i].rule;
    result.document = result.document || rule.page_document;
    result.elemhide = result.elemhide || rule.page_elemhide;
    result.generichide = result.generichide || rule.page_generichide;
  }
  return result;
}

Decision ListEngine::Decide(const Request& request) const {
  return DecideWith(request, /*use_index=*/true);
}

Decision ListEngine::DecideReference(const Request& request) const {
  return DecideWith(request, /*use_index=*/false);
}

std::string ListEngine::Describe(RuleRef ref) const {
  if (!ref.valid()) return {};
  const FilterList& list = lists_[static_cast<size_t>(ref.list)];
  const NetworkRule& rule = list.network[ref.rule];
  return list.name + ":" + std::to_string(rule.line) + ": " + rule.text;
}

size_t ListEngine::IndexedCount() const {
  return block_->rules.size() - block_->fallback.size() + allow_->rules.size() -
         allow_->fallback.size();
}

size_t ListEngine::HostKeyedCount() const {
  return block_->by_host.size() + allow_->by_host.size();
}

size_t ListEngine::FallbackCount() const {
  return block_->fallback.size() + allow_->fallback.size();
}

size_t ListEngine::DatabaseBytes() const {
  size_t total = 0;
  for (const Side* side : {block_.get(), allow_.get()}) {
    size_t size = 0;
    if (side->db != nullptr && hs_database_size(side->db, &size) == HS_SUCCESS)
      total += size;
  }
  return total;
}

}  // namespace cvie::lists
