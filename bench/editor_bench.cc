// editor_bench: pages through the page editor with a large real rule list.
//
// Loads big_rules.txt line by line through RulesHolder::ParseRule, reads the
// corpus pages, and edits every page as the filter does (the switches of a
// fresh installation), with the rule engine behind a timing wrapper that
// measures the time spent inside each check. Prints pages per second and MB/s
// through the editor, how that time splits into rule checks and HTML work
// (parsing, decisions, writing), the number of checks of each kind and how
// many were blocked. A second run with a checker that blocks nothing and asks
// no rule gives the HTML work alone.
//
// First the editor with the big list through the candidate index (as the
// proxy checks), over the corpus: pages per second and, per element kind, the
// number of checks and the time they took. Then the same with the rule-by-rule
// reference scan.
//
//   editor_bench [--passes N] [--index-passes N] [--html-passes N] [--rules FILE]
//                [SHARED_DIR]
//
// --passes 0 skips the reference run (it takes minutes). --rules reads another
// rule list in the same format instead of big_rules.txt (for instance the
// bundled data/rules/default.txt). Without the shared
// rule list or corpus the program says so and exits 0.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/editor_options.h"
#include "anyhtml/html_editor.h"
#include "rules/rules_holder.h"
#include "rules/utf8_check.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

const char* const kKindNames[] = {"link",   "image",       "background", "flash",
                                  "script", "frame",       "stylesheet", "marquee",
                                  "div",    "script-block"};

// The way the index takes a text: 0 plain ASCII (one database scan), 1 other
// well-formed UTF-8 (scan, then the rules that differ in UTF-8 one by one),
// 2 rule by rule (malformed text, or a character that folds to ASCII).
// 3: the empty text.
const char* const kPathNames[] = {"ascii, index", "utf-8, index + per-rule rest",
                                  "rule by rule", "empty text"};
int PathOf(const char* text) {
  const size_t length = strlen(text);
  if (length == 0) return 3;
  bool ascii = true;
  for (size_t i = 0; i < length && ascii; ++i) ascii = (unsigned char)text[i] < 0x80;
  if (ascii) return 0;
  std::string_view view(text, length);
  if (!cvie::IsValidUtf8(text, length) || view.find("\xE2\x84\xAA") != view.npos ||
      view.find("\xC5\xBF") != view.npos) {
    return 2;
  }
  return 1;
}

// Passes every question to the rule engine and adds up the time spent inside.
class TimingChecker : public cvie::AnyHtmlEditorRuleChecker {
 public:
  explicit TimingChecker(cvie::AnyHtmlEditorRuleChecker* inner) : inner_(inner) {}
  bool CheckElement(int kind, const char* text, int encoding) override {
    Clock::time_point start = Clock::now();
    bool blocked = inner_->CheckElement(kind, text, encoding);
    Clock::duration d = Clock::now() - start;
    Count(kind >= 0 && kind <= 8 ? kind : 9, blocked, d);
    if (text) {
      const int path = PathOf(text);
      path_time[path] += d;
      ++path_calls[path];
      text_bytes += strlen(text);
    }
    return blocked;
  }
  bool CheckScript(const char* text, int encoding) override {
    Clock::time_point start = Clock::now();
    bool blocked = inner_->CheckScript(text, encoding);
    Count(9, blocked, Clock::now() - start);
    if (text) script_bytes += strlen(text);
    return blocked;
  }
  Clock::duration path_time[4] = {};
  long path_calls[4] = {};
  size_t text_bytes = 0;    // element texts checked
  size_t script_bytes = 0;  // script blocks checked
  Clock::duration time{};
  Clock::duration kind_time[10] = {};
  long calls[10] = {};
  long blocked[10] = {};

 private:
  void Count(int index, bool was_blocked, Clock::duration d) {
    time += d;
    kind_time[index] += d;
    ++calls[index];
    if (was_blocked) ++blocked[index];
  }
  cvie::AnyHtmlEditorRuleChecker* inner_;
};

class AllowAll : public cvie::AnyHtmlEditorRuleChecker {
 public:
  bool CheckElement(int, const char*, int) override { return false; }
  bool CheckScript(const char*, int) override { return false; }
};

struct Page {
  std::string name;
  std::string text;  // followed by the two zero bytes the parser expects
  size_t size;
};

// Edits every page once; returns the wall time, adds the output size and sets
// the processor time used (the machine may be shared, so both are shown).
Clock::duration EditAll(const std::vector<Page>& pages,
                        const cvie::EditorOptions& options,
                        cvie::AnyHtmlEditorRuleChecker* checker, size_t* out_bytes,
                        double* cpu_seconds) {
  cvie::CEasyBuffer out;
  std::clock_t cpu_start = std::clock();
  Clock::time_point start = Clock::now();
  for (const Page& page : pages) {
    out.Reset();
    cvie::AnyHtmlEditor editor(&out, &options, checker);
    editor.Edit(page.text.data(), page.size, 0);
    *out_bytes += out.GetSize();
  }
  Clock::duration wall = Clock::now() - start;
  *cpu_seconds = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  return wall;
}

}  // namespace

int main(int argc, char** argv) {
  int passes = 1;
  int index_passes = 3;
  int html_passes = 5;
  fs::path shared = CVIE_SHARED_DIR;
  fs::path rules_path;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--passes") == 0 && i + 1 < argc) {
      passes = std::max(0, atoi(argv[++i]));
    } else if (strcmp(argv[i], "--index-passes") == 0 && i + 1 < argc) {
      index_passes = std::max(0, atoi(argv[++i]));
    } else if (strcmp(argv[i], "--html-passes") == 0 && i + 1 < argc) {
      html_passes = std::max(1, atoi(argv[++i]));
    } else if (strcmp(argv[i], "--rules") == 0 && i + 1 < argc) {
      rules_path = argv[++i];
    } else {
      shared = argv[i];
    }
  }
  // Anything the rule engine logs goes to a private folder, never the user's.
  std::string root = (fs::temp_directory_path() / "cvie-editor-bench-XXXXXX").string();
  if (!getenv("CVIE_ROOT") && mkdtemp(root.data())) {
    setenv("CVIE_ROOT", root.c_str(), 1);
  } else {
    root.clear();
  }

  if (rules_path.empty()) rules_path = shared / "rules" / "big_rules.txt";
  std::ifstream rule_file(rules_path, std::ios::binary);
  std::vector<Page> pages;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(shared / "corpus" / "pages", ec)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    Page page{entry.path().filename().string(), text.str(), 0};
    page.size = page.text.size();
    page.text.append(2, '\0');
    pages.push_back(std::move(page));
  }
  if (!rule_file || pages.empty()) {
    printf("editor_bench: skipped, no rules or pages under %s\n", shared.c_str());
    if (!root.empty()) fs::remove_all(root, ec);
    return 0;
  }
  std::sort(pages.begin(), pages.end(),
            [](const Page& a, const Page& b) { return a.name < b.name; });
  size_t corpus_bytes = 0;
  for (const Page& page : pages) corpus_bytes += page.size;

  cvie::RulesHolder rules;
  Clock::time_point load_start = Clock::now();
  std::string line;
  long lines = 0;
  while (std::getline(rule_file, line)) {
    ++lines;
    if (rules.ParseRule(line) == -1) break;
  }
  rules.set_loaded(true);
  const double load_seconds = Seconds(Clock::now() - load_start);

  // The switches of a fresh installation: style sheets and backgrounds off.
  cvie::EditorOptions options;
  options.filter_css = 0;
  options.filter_background = 0;

  printf(
      "corpus: %zu pages, %.2f MB; rules: %zu from %ld lines (%zu bad), loaded in %.2f "
      "s\n",
      pages.size(), corpus_bytes / 1e6, rules.RuleCount(), lines, rules.BadRuleCount(),
      load_seconds);

  // HTML work alone: the same editing with a checker that asks no rule.
  AllowAll allow;
  Clock::duration html_best = Clock::duration::max();
  double html_cpu_best = 1e30;
  size_t html_out = 0;
  for (int pass = 0; pass < html_passes; ++pass) {
    double cpu = 0;
    html_best = std::min(html_best, EditAll(pages, options, &allow, &html_out, &cpu));
    html_cpu_best = std::min(html_cpu_best, cpu);
  }
  const double html_seconds = Seconds(html_best);
  printf(
      "editor, no rule checks: %.1f pages/s, %.1f MB/s wall; %.1f MB/s processor time "
      "(best of %d passes)\n",
      pages.size() / html_seconds, corpus_bytes / 1e6 / html_seconds,
      corpus_bytes / 1e6 / html_cpu_best, html_passes);

  if (index_passes > 0) {
    Clock::time_point index_start = Clock::now();
    const std::wstring cache = (fs::path(getenv("CVIE_ROOT")) / "bench.idx").wstring();
    const bool indexed = rules.EnableIndex(cache);
    printf("index: %s in %.2f s\n", indexed ? "built" : "NOT BUILT",
           Seconds(Clock::now() - index_start));
    TimingChecker timing(&rules);
    size_t out = 0;
    Clock::duration best = Clock::duration::max();
    double best_cpu = 1e30;
    for (int pass = 0; pass < index_passes; ++pass) {
      double cpu = 0;
      best = std::min(best, EditAll(pages, options, &timing, &out, &cpu));
      best_cpu = std::min(best_cpu, cpu);
    }
    printf(
        "editor with %zu rules through the index, over the corpus: %.1f pages/s wall, "
        "%.1f pages/s per core (processor time), %.1f MB/s (best of %d)\n",
        rules.RuleCount(), pages.size() / Seconds(best), pages.size() / best_cpu,
        corpus_bytes / 1e6 / Seconds(best), index_passes);
    long all = 0;
    for (int k = 0; k < 10; ++k) all += timing.calls[k];
    printf("  checks per pass: %ld, %.2f us each, %.3f ms per page in checks\n",
           all / index_passes, all ? 1e6 * Seconds(timing.time) / all : 0.0,
           1e3 * Seconds(timing.time) / index_passes / pages.size());
    for (int k = 0; k < 10; ++k) {
      if (timing.calls[k] == 0) continue;
      printf("    %-12s %7ld checked %6ld blocked %8.3f ms %6.2f us each\n",
             kKindNames[k], timing.calls[k] / index_passes,
             timing.blocked[k] / index_passes,
             1e3 * Seconds(timing.kind_time[k]) / index_passes,
             1e6 * Seconds(timing.kind_time[k]) / timing.calls[k]);
    }
    printf("  element texts: %.2f MB per pass; script blocks: %.2f MB per pass\n",
           timing.text_bytes / 1e6 / index_passes,
           timing.script_bytes / 1e6 / index_passes);
    for (int p = 0; p < 4; ++p) {
      printf("    %-30s %7ld checks %8.3f ms\n", kPathNames[p],
             timing.path_calls[p] / index_passes,
             1e3 * Seconds(timing.path_time[p]) / index_passes);
    }
    rules.set_reference_scan(true);
  }

  if (passes > 0) {
    // With the rule list, timing every check.
    TimingChecker timing(&rules);
    size_t rules_out = 0;
    Clock::duration total{};
    double total_cpu = 0;
    for (int pass = 0; pass < passes; ++pass) {
      double cpu = 0;
      total += EditAll(pages, options, &timing, &rules_out, &cpu);
      total_cpu += cpu;
    }
    const double total_seconds = Seconds(total) / passes;
    const double check_seconds = Seconds(timing.time) / passes;
    const double other_seconds = total_seconds - check_seconds;
    printf(
        "editor with %zu rules: %.2f pages/s, %.3f MB/s wall (%.2f s per pass, %.2f s "
        "processor time; %d pass%s)\n",
        rules.RuleCount(), pages.size() / total_seconds,
        corpus_bytes / 1e6 / total_seconds, total_seconds, total_cpu / passes, passes,
        passes == 1 ? "" : "es");
    printf("  time in rule checks: %.3f s (%.2f%%)\n", check_seconds,
           100.0 * check_seconds / total_seconds);
    printf("  time in HTML work:   %.3f s (%.2f%%)\n", other_seconds,
           100.0 * other_seconds / total_seconds);
    printf("  output: %.2f MB (%.2f%% of the input)\n", rules_out / 1e6 / passes,
           100.0 * rules_out / passes / corpus_bytes);
    long all_calls = 0;
    for (int k = 0; k < 10; ++k) all_calls += timing.calls[k];
    printf("  checks per pass: %ld, %.1f us each on average\n", all_calls / passes,
           all_calls ? 1e6 * Seconds(timing.time) / all_calls : 0.0);
    for (int k = 0; k < 10; ++k) {
      if (timing.calls[k] == 0) continue;
      printf("    %-12s %7ld checked %6ld blocked\n", kKindNames[k],
             timing.calls[k] / passes, timing.blocked[k] / passes);
    }
  }
  if (!root.empty()) fs::remove_all(root, ec);
  return 0;
}
