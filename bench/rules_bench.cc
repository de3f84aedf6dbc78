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
//   rules_bench [--all] [--sample N] [SHARED_RULES_DIR]

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
  std::filesystem::path dir = std::filesystem::path(CVIE_SHARED_DIR) / "rules";
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--all") == 0) {
      all = true;
    } else if (strcmp(argv[i], "--sample") == 0 && i + 1 < argc) {
      sample = strtoul(argv[++i], nullptr, 10);
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
  return 0;
}
