// cvie rules bench: loads a rule list, checks every "KIND URL" line of a file
// a few times and prints how long a check takes, with the candidate index or
// (--reference) rule by rule. The number blocked is the same either way.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "lists/filter_list.h"
#include "lists/list_engine.h"
#include "platform/text.h"
#include "rule_source.h"
#include "rules/rule_file.h"
#include "rules/rule_index.h"
#include "rules/rule_loading.h"
#include "rules/rule_options.h"
#include "rules/rule_text.h"
#include "rules/rules_holder.h"

namespace cvie::app {
namespace {

using Clock = std::chrono::steady_clock;

struct RulesBenchArgs {
  std::string rules;               // enciphered rule file
  std::string rule_text;           // plain rule list
  std::vector<std::string> lists;  // filter lists
  std::string index_cache;
  std::string urls;
  bool reference = false;
  int passes = 0;
};

struct Check {
  int kind;
  std::string text;
  std::string page;  // may be empty
};

// A "VmRSS:" or "VmHWM:" figure of /proc/self/status in kilobytes.
long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) {
      return strtol(line.c_str() + length, nullptr, 10);
    }
  }
  return -1;
}

long ResidentKb() { return StatusKb("VmRSS:"); }

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool ReadChecks(const std::string& path, std::vector<Check>* checks) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    int kind = ElementKindFromName(line.substr(0, blank));
    if (kind < 0) continue;
    std::string text = line.substr(blank + 1);
    std::string page;
    size_t second = text.find(' ');
    if (second != std::string::npos) {
      page = text.substr(second + 1);
      text.resize(second);
    }
    checks->push_back({kind, std::move(text), std::move(page)});
  }
  return true;
}

struct Timing {
  int passes = 0;
  size_t blocked = 0;  // in the last pass
  double us_per_check = 0;
};

// Runs `pass(limit)` (checks the first `limit` items, returns how many it
// blocked) once to warm up (200 items for the slow reference scan), then the
// timed passes. Processor time, so that a busy machine does not inflate the
// figure (the checks run on this one thread).
template <class Pass>
Timing TimePasses(const RulesBenchArgs& args, size_t items, Pass pass) {
  Timing timing;
  timing.passes = args.passes > 0 ? args.passes : (args.reference ? 1 : 3);
  pass(args.reference ? 200 : items);
  std::clock_t cpu_start = std::clock();
  for (int i = 0; i < timing.passes; ++i) timing.blocked = pass(items);
  double check_ms =
      1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  size_t total_checks = items * static_cast<size_t>(timing.passes);
  timing.us_per_check =
      total_checks ? check_ms * 1000.0 / static_cast<double>(total_checks) : 0;
  return timing;
}

// The same figures for filter lists alone (lines "KIND URL [PAGE]").
int BenchLists(const RulesBenchArgs& args) {
  std::vector<Check> checks;
  if (!ReadChecks(args.urls, &checks)) return Fail("cannot read " + args.urls);
  long rss_before = ResidentKb();
  Clock::time_point start = Clock::now();
  std::clock_t load_cpu_start = std::clock();
  RuleSource source;
  source.lists = args.lists;
  std::unique_ptr<lists::ListEngine> engine;
  std::string error;
  bool from_cache = false;
  if (!source.LoadLists(&engine, &error, args.index_cache, &from_cache))
    return Fail(error);
  double load_ms = MsSince(start);
  double load_cpu_ms =
      1000.0 * static_cast<double>(std::clock() - load_cpu_start) / CLOCKS_PER_SEC;
  long rss_after = ResidentKb();
  std::vector<lists::Request> requests;
  requests.reserve(checks.size());
  for (const Check& check : checks) {
    requests.push_back({lists::RequestTypeOfKind(check.kind), check.text, check.page});
  }
  Timing timing = TimePasses(args, requests.size(), [&](size_t limit) {
    size_t blocked = 0;
    for (size_t i = 0; i < requests.size() && i < limit; ++i) {
      lists::Decision decision = args.reference ? engine->DecideReference(requests[i])
                                                : engine->Decide(requests[i]);
      blocked += decision.blocked ? 1 : 0;
    }
    return blocked;
  });
  size_t rules = 0;
  size_t skipped = 0;
  std::map<std::string, size_t> reasons;
  for (const lists::FilterList& list : engine->lists()) {
    rules += list.network.size();
    skipped += list.SkippedCount();
    for (const auto& [reason, count] : list.skipped) reasons[reason] += count;
  }
  printf("rules %zu bad %zu checks %zu blocked %zu load_ms %.0f us_per_check %.3f\n",
         rules, skipped, requests.size(), timing.blocked, load_ms, timing.us_per_check);
  fprintf(stderr,
          "load_cpu_ms %.0f memory_kb %ld peak_kb %ld index %s indexed %zu by_host %zu "
          "fallback %zu database_kb %zu passes %d\n",
          load_cpu_ms, rss_after - rss_before, StatusKb("VmHWM:"),
          args.index_cache.empty() ? "built"
          : from_cache             ? "cached"
                                   : "built and cached",
          engine->IndexedCount(), engine->HostKeyedCount(), engine->FallbackCount(),
          engine->DatabaseBytes() / 1024, timing.passes);
  for (const auto& [reason, count] : reasons) {
    fprintf(stderr, "skipped %zu %s\n", count, reason.c_str());
  }
  return 0;
}

// Loads the rule file or plain rule list of `args` as the product does
// (with the index unless --reference). False with *error set on failure.
bool LoadBenchRules(const RulesBenchArgs& args, std::unique_ptr<RulesHolder>* holder,
                    bool* from_cache, std::string* error) {
  if (!args.rules.empty()) {
    // The product's own loading: the index comes from the cache beside the
    // file when it is valid. The reference scan then leaves it unused.
    *holder = LoadRuleFile(platform::ToWide(args.rules));
    if (!*holder) {
      *error = "cannot load rule file: " + args.rules;
      return false;
    }
    (*holder)->set_reference_scan(args.reference);
    return true;
  }
  *holder = std::make_unique<RulesHolder>();
  if (!ReadRuleText(args.rule_text, holder->get())) {
    *error = "cannot read rule file: " + args.rule_text;
    return false;
  }
  if (!args.reference) {
    (*holder)->EnableIndex(
        args.index_cache.empty() ? std::wstring() : platform::ToWide(args.index_cache),
        from_cache);
  }
  (*holder)->set_loaded(true);
  return true;
}

// The figures for the product's own rules (lines "KIND URL").
int BenchRules(const RulesBenchArgs& args) {
  std::vector<Check> checks;
  if (!ReadChecks(args.urls, &checks)) return Fail("cannot read " + args.urls);
  long rss_before = ResidentKb();
  Clock::time_point start = Clock::now();
  std::unique_ptr<RulesHolder> holder;
  bool from_cache = false;
  std::string error;
  if (!LoadBenchRules(args, &holder, &from_cache, &error)) return Fail(error);
  double load_ms = MsSince(start);
  long rss_after = ResidentKb();
  Timing timing = TimePasses(args, checks.size(), [&](size_t limit) {
    size_t blocked = 0;
    for (size_t i = 0; i < checks.size() && i < limit; ++i)
      blocked += holder->CheckElement(checks[i].kind, checks[i].text.c_str(), 0) ? 1 : 0;
    return blocked;
  });
  printf("rules %zu bad %zu checks %zu blocked %zu load_ms %.0f us_per_check %.3f\n",
         holder->RuleCount(), holder->BadRuleCount(), checks.size(), timing.blocked,
         load_ms, timing.us_per_check);
  const RuleIndex* index = args.reference ? nullptr : holder->index();
  fprintf(stderr,
          "memory_kb %ld peak_kb %ld index %s exact %zu prefilter %zu fallback %zu"
          " database_kb %zu passes %d\n",
          rss_after - rss_before, StatusKb("VmHWM:"),
          index ? (!args.rules.empty() ? "loaded"
                   : from_cache        ? "cached"
                                       : "built")
                : "none",
          index ? index->CountOf(RuleIndex::kExact) : 0,
          index ? index->CountOf(RuleIndex::kPrefilter) : 0,
          index ? index->CountOf(RuleIndex::kFallback) : 0,
          index ? index->DatabaseBytes() / 1024 : 0, timing.passes);
  return 0;
}

CommandRun SetupRulesBench(CLI::App* sub) {
  auto args = std::make_shared<RulesBenchArgs>();
  auto* rules = sub->add_option("--rules", args->rules, "Enciphered rule file (.rle)");
  auto* text = sub->add_option("--rule-text", args->rule_text, "Plain rule list");
  rules->excludes(text);
  text->excludes(rules);
  sub->add_option(
      "--index-cache", args->index_cache,
      "Index cache file for --rule-text or --list (default: build in memory)");
  sub->add_option("--urls", args->urls, "File of \"KIND URL\" lines")->required();
  sub->add_option("--list", args->lists,
                  "Filter list in EasyList format (may be repeated)")
      ->allow_extra_args(false);
  sub->add_flag("--reference", args->reference, "Check rule by rule, without the index");
  sub->add_option("--passes", args->passes,
                  "Timed passes over the URLs (default 3, 1 with --reference)");
  return [args]() -> int {
    if (args->rules.empty() && args->rule_text.empty() && args->lists.empty()) {
      return UsageError("one of --rules, --rule-text or --list is required");
    }
    if (args->rules.empty() && args->rule_text.empty()) return BenchLists(*args);
    return BenchRules(*args);
  };
}

CommandRegistrar kRulesBench("rules bench",
                             "Time rule checks over a file of \"KIND URL\" lines",
                             SetupRulesBench);

}  // namespace
}  // namespace cvie::app
