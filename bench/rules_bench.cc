// rules_bench: the rule-by-rule scan over a large real rule list.
//
// Loads big_rules.txt (about 52,000 rules), reports the load time and the
// memory the rules take (resident set growth), then checks a sample of the
// URLs of urls.txt ("KIND URL" lines) and reports microseconds per
// CheckElement (thread CPU time: mean, median, 90th percentile, max) and the
// fraction blocked.
// The scan is slow (milliseconds per check), so by default 500 URLs spread
// evenly over the file are timed; "--all" checks every URL.
//
// Then the same rules through the candidate index (rules/rule_index.h): its
// compile time (or, with "--index-cache FILE", the time to load it from that
// cache, written there when missing or stale), the time to load it back from
// its serialized bytes, its size and the resident set growth, and the CPU
// time per CheckElement over every URL (mean over whole passes; median, 90th
// percentile and max from per-check timing), and the same with a non-ASCII
// fragment added to each URL. The number blocked through the
// index must equal the rule-by-rule number on the sample, and is printed for
// every URL.
//
//   rules_bench [--all] [--sample N] [--passes N] [--index-cache FILE]
//               [SHARED_RULES_DIR]

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "rules/rule_index.h"
#include "rules/rule_options.h"
#include "rules/rule_text.h"
#include "rules/rules_holder.h"

namespace {

using Clock = std::chrono::steady_clock;

// Resident set size in kilobytes, from /proc/self/status.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Peak resident set size in kilobytes, from /proc/self/status.
long PeakResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// CPU time of the calling thread in microseconds. Per-check figures use it, so
// that other programs sharing the cores do not inflate them.
double CpuMicros() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

struct UrlLine {
  int kind;
  std::string url;
};

}  // namespace

int main(int argc, char** argv) {
  bool all = false;
  size_t sample = 500;
  int passes = 5;
  std::string index_cache;
  std::filesystem::path dir = std::filesystem::path(CVIE_SHARED_DIR) / "rules";
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--all") == 0) {
      all = true;
    } else if (strcmp(argv[i], "--sample") == 0 && i + 1 < argc) {
      sample = strtoul(argv[++i], nullptr, 10);
    } else if (strcmp(argv[i], "--passes") == 0 && i + 1 < argc) {
      passes = std::max(1, atoi(argv[++i]));
    } else if (strcmp(argv[i], "--index-cache") == 0 && i + 1 < argc) {
      index_cache = argv[++i];
    } else {
      dir = argv[i];
    }
  }
  // Never log into the user's real folders.
  if (getenv("CVIE_ROOT") == nullptr) {
    std::string root =
        (std::filesystem::temp_directory_path() / "cvie-bench-XXXXXX").string();
    if (mkdtemp(root.data()) != nullptr) setenv("CVIE_ROOT", root.c_str(), 1);
  }

  std::filesystem::path rules_path = dir / "big_rules.txt";
  std::filesystem::path urls_path = dir / "urls.txt";
  if (!std::filesystem::exists(rules_path) || !std::filesystem::exists(urls_path)) {
    printf("rules_bench: %s not found, nothing measured\n", dir.c_str());
    return 0;
  }

  long rss_before = ResidentKb();
  auto start = Clock::now();
  cvie::RulesHolder holder;
  if (!cvie::ReadRuleText(rules_path.string(), &holder)) {
    fprintf(stderr, "rules_bench: cannot read %s\n", rules_path.c_str());
    return 1;
  }
  holder.set_loaded(true);
  double load_seconds = Seconds(Clock::now() - start);
  long rss_after = ResidentKb();
  size_t pattern_bytes = 0;
  for (size_t i = 0; i < holder.RuleCount(); ++i)
    pattern_bytes += holder.Rule(i).pattern.size();

  std::vector<UrlLine> urls;
  {
    std::ifstream in(urls_path);
    std::string line;
    while (std::getline(in, line)) {
      size_t space = line.find(' ');
      if (space == std::string::npos) continue;
      int kind = cvie::ElementKindFromName(line.substr(0, space));
      if (kind < 0) continue;
      urls.push_back({kind, line.substr(space + 1)});
    }
  }
  std::vector<const UrlLine*> chosen;
  if (all || sample >= urls.size()) {
    for (const UrlLine& u : urls) chosen.push_back(&u);
  } else {
    for (size_t i = 0; i < sample; ++i) chosen.push_back(&urls[i * urls.size() / sample]);
  }

  std::vector<double> micros;
  micros.reserve(chosen.size());
  size_t blocked = 0;
  auto scan_start = Clock::now();
  for (const UrlLine* u : chosen) {
    double t0 = CpuMicros();
    bool b = holder.CheckElement(u->kind, u->url.c_str(), 0);
    micros.push_back(CpuMicros() - t0);
    blocked += b;
  }
  double scan_seconds = Seconds(Clock::now() - scan_start);

  // The same scan through Match on each rule, which lets the matcher check the
  // text's UTF-8 on every rule instead of once per check: shows what the
  // single check saves, and that the answers are the same.
  std::vector<double> unchecked_micros;
  size_t differing = 0;
  for (const UrlLine* u : chosen) {
    uint32_t bit = cvie::kElementKinds[u->kind].type_bit;
    double t0 = CpuMicros();
    bool b = false;
    for (size_t i = 0; i < holder.RuleCount() && !b; ++i) {
      if ((holder.Rule(i).type_mask() & bit) != 0)
        b = holder.MatchRule(i, u->url.c_str()) > 0;
    }
    unchecked_micros.push_back(CpuMicros() - t0);
    differing += b != holder.CheckElement(u->kind, u->url.c_str(), 0);
  }
  std::sort(unchecked_micros.begin(), unchecked_micros.end());
  double unchecked_mean = 0;
  for (double m : unchecked_micros) unchecked_mean += m;
  unchecked_mean =
      unchecked_micros.empty() ? 0 : unchecked_mean / unchecked_micros.size();
  std::vector<double> sorted = micros;
  std::sort(sorted.begin(), sorted.end());
  double mean = 0;
  for (double m : micros) mean += m;
  mean = micros.empty() ? 0 : mean / micros.size();
  auto at = [&](double q) {
    return sorted.empty() ? 0.0
                          : sorted[std::min(sorted.size() - 1,
                                            static_cast<size_t>(q * sorted.size()))];
  };

  printf("rules: %zu (%zu do not compile), pattern text %zu bytes\n", holder.RuleCount(),
         holder.BadRuleCount(), pattern_bytes);
  printf("load: %.3f s, resident set growth %.1f MB\n", load_seconds,
         (rss_after - rss_before) / 1024.0);
  printf("checks: %zu of %zu URLs in %.2f s (wall)\n", chosen.size(), urls.size(),
         scan_seconds);
  printf(
      "CheckElement (CPU time): mean %.1f us, median %.1f us, p90 %.1f us, max %.1f us\n",
      mean, at(0.5), at(0.9), sorted.empty() ? 0.0 : sorted.back());
  printf(
      "UTF-8 checked by the matcher on every rule: mean %.1f us, median %.1f us, "
      "%zu answers differ\n",
      unchecked_mean,
      unchecked_micros.empty() ? 0.0 : unchecked_micros[unchecked_micros.size() / 2],
      differing);
  printf("blocked: %zu of %zu (%.1f%%)\n", blocked, chosen.size(),
         chosen.empty() ? 0.0 : 100.0 * blocked / chosen.size());

  // ---- The candidate index ----
  long rss_before_index = ResidentKb();
  double cpu_before_index = CpuMicros();
  auto index_start = Clock::now();
  bool from_cache = false;
  if (!holder.EnableIndex(cvie::platform::ToWide(index_cache), &from_cache)) {
    fprintf(stderr, "rules_bench: no index could be built\n");
    return 1;
  }
  double index_seconds = Seconds(Clock::now() - index_start);
  double index_cpu_seconds = (CpuMicros() - cpu_before_index) / 1e6;
  long rss_after_index = ResidentKb();
  const cvie::RuleIndex* index = holder.index();
  std::string bytes = index->Serialize();
  auto reload_start = Clock::now();
  std::unique_ptr<cvie::RuleIndex> reloaded = cvie::RuleIndex::Deserialize(holder, bytes);
  double reload_seconds = Seconds(Clock::now() - reload_start);
  reloaded.reset();

  size_t index_blocked_sample = 0;
  for (const UrlLine* u : chosen) {
    index_blocked_sample += holder.CheckElement(u->kind, u->url.c_str(), 0) ? 1 : 0;
  }
  // Whole passes over every URL, timed as a block so that reading the clock
  // does not weigh on checks well under a microsecond.
  size_t index_blocked = 0;
  for (const UrlLine& u : urls) {  // warm-up
    index_blocked += holder.CheckElement(u.kind, u.url.c_str(), 0) ? 1 : 0;
  }
  double best_pass_mean = 0;
  double all_passes_us = 0;
  for (int pass = 0; pass < passes; ++pass) {
    double t0 = CpuMicros();
    for (const UrlLine& u : urls) holder.CheckElement(u.kind, u.url.c_str(), 0);
    double pass_us = CpuMicros() - t0;
    all_passes_us += pass_us;
    double pass_mean = urls.empty() ? 0 : pass_us / urls.size();
    if (pass == 0 || pass_mean < best_pass_mean) best_pass_mean = pass_mean;
  }
  double index_mean =
      urls.empty() ? 0 : all_passes_us / (static_cast<double>(urls.size()) * passes);
  std::vector<double> index_micros;
  index_micros.reserve(urls.size());
  for (const UrlLine& u : urls) {
    double t0 = CpuMicros();
    holder.CheckElement(u.kind, u.url.c_str(), 0);
    index_micros.push_back(CpuMicros() - t0);
  }
  std::sort(index_micros.begin(), index_micros.end());
  auto index_at = [&](double q) {
    return index_micros.empty()
               ? 0.0
               : index_micros[std::min(index_micros.size() - 1,
                                       static_cast<size_t>(q * index_micros.size()))];
  };

  // Non-ASCII text: every URL with a UTF-8 fragment after it.
  double non_ascii_us = 0;
  size_t non_ascii_blocked = 0;
  for (const UrlLine& u : urls) {
    std::string text = u.url + "#caf\xc3\xa9";
    double t0 = CpuMicros();
    non_ascii_blocked += holder.CheckElement(u.kind, text.c_str(), 0) ? 1 : 0;
    non_ascii_us += CpuMicros() - t0;
  }

  printf("index: %s in %.2f s (%.2f s CPU); %zu exact, %zu prefilter, %zu one by one\n",
         from_cache ? "loaded from cache" : "compiled", index_seconds, index_cpu_seconds,
         index->CountOf(cvie::RuleIndex::kExact),
         index->CountOf(cvie::RuleIndex::kPrefilter),
         index->CountOf(cvie::RuleIndex::kFallback));
  printf(
      "index: database %.1f MB, serialized %.1f MB, loaded back in %.3f s, resident set "
      "growth %.1f MB, rules and index %.1f MB, peak resident set %.1f MB\n",
      index->DatabaseBytes() / 1048576.0, bytes.size() / 1048576.0, reload_seconds,
      (rss_after_index - rss_before_index) / 1024.0,
      (rss_after_index - rss_before) / 1024.0, PeakResidentKb() / 1024.0);
  printf(
      "CheckElement with the index (CPU time, %zu URLs x %d passes): mean %.3f us, best "
      "pass %.3f us; per check: median %.3f us, p90 %.3f us, max %.1f us\n",
      urls.size(), passes, index_mean, best_pass_mean, index_at(0.5), index_at(0.9),
      index_micros.empty() ? 0.0 : index_micros.back());
  printf(
      "CheckElement with the index on the URLs with a non-ASCII fragment added: mean "
      "%.3f "
      "us, %zu blocked\n",
      urls.empty() ? 0.0 : non_ascii_us / urls.size(), non_ascii_blocked);
  printf(
      "blocked with the index: %zu of %zu sampled (rule by rule: %zu), %zu of all %zu\n",
      index_blocked_sample, chosen.size(), blocked, index_blocked, urls.size());
  return index_blocked_sample == blocked ? 0 : 1;
}
