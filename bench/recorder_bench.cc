// recorder_bench: what recording the blocked elements of every page costs.
//
// Loads a rule list (by default the product's own rules, data/rules/
// default.txt, with the candidate index as the proxy uses it), reads the
// corpus pages and edits every page as the filter does, alternately with the
// rules as they are and with the rules wrapped in a RecordingChecker (the
// blocked-pages record of the panel). Prints pages per second both ways, the
// difference, and the bytes the record holds at the end.
//
//   recorder_bench [--passes N] [--rules FILE] [SHARED_DIR]
//
// Without the corpus the program says so and exits 0.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/editor_options.h"
#include "anyhtml/html_editor.h"
#include "ie/blocked_pages.h"
#include "rules/rule_text.h"
#include "rules/rules_holder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Totals {
  double seconds = 0;
  size_t pages = 0;
  size_t bytes = 0;
};

// Edits every page once; `record` wraps the rules in a RecordingChecker.
void EditAll(const std::vector<std::string>& pages, cvie::RulesHolder* rules,
             cvie::BlockedPages* record, bool recording, Totals* totals) {
  cvie::EditorOptions options;
  auto start = Clock::now();
  for (const std::string& page : pages) {
    cvie::CEasyBuffer output;
    std::unique_ptr<cvie::RecordingChecker> recorder;
    cvie::AnyHtmlEditorRuleChecker* checker = rules;
    if (recording) {
      recorder =
          std::make_unique<cvie::RecordingChecker>(rules, "http://corpus/", record);
      checker = recorder.get();
    }
    cvie::AnyHtmlEditor editor(&output, &options, checker);
    editor.Edit(page.data(), page.size(), 0);
    totals->bytes += page.size();
  }
  totals->seconds += std::chrono::duration<double>(Clock::now() - start).count();
  totals->pages += pages.size();
}

}  // namespace

int main(int argc, char** argv) {
  int passes = 20;
  std::string shared = CVIE_SHARED_DIR;
  std::string rules_path = std::string(CVIE_SOURCE_DIR) + "/data/rules/default.txt";
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--passes") == 0 && i + 1 < argc) {
      passes = std::max(1, atoi(argv[++i]));
    } else if (strcmp(argv[i], "--rules") == 0 && i + 1 < argc) {
      rules_path = argv[++i];
    } else {
      shared = argv[i];
    }
  }
  const fs::path corpus = fs::path(shared) / "corpus" / "pages";
  if (shared.empty() || !fs::is_directory(corpus)) {
    printf("recorder_bench: no corpus at %s; nothing measured\n", corpus.c_str());
    return 0;
  }
  cvie::RulesHolder rules;
  if (!cvie::ReadRuleText(rules_path, &rules)) {
    printf("recorder_bench: cannot read %s\n", rules_path.c_str());
    return 1;
  }
  rules.EnableIndex(std::wstring());
  rules.set_loaded(true);
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> pages;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    pages.push_back(text.str() + std::string(2, '\0'));
    pages.back().resize(pages.back().size() - 2);
  }
  cvie::BlockedPages record;
  Totals plain, recorded;
  EditAll(pages, &rules, &record, false, &plain);  // warm up both ways
  EditAll(pages, &rules, &record, true, &recorded);
  plain = Totals();
  recorded = Totals();
  for (int pass = 0; pass < passes; ++pass) {
    EditAll(pages, &rules, &record, false, &plain);
    EditAll(pages, &rules, &record, true, &recorded);
  }
  const double plain_rate = plain.pages / plain.seconds;
  const double recorded_rate = recorded.pages / recorded.seconds;
  printf("rules: %s (%zu rules), corpus: %zu pages, %.1f MB, %d passes each way\n",
         rules_path.c_str(), rules.RuleCount(), pages.size(),
         plain.bytes / passes / 1e6 * 1.0, passes);
  printf("without recorder: %8.1f pages/s  %7.2f MB/s\n", plain_rate,
         plain.bytes / plain.seconds / 1e6);
  printf("with recorder:    %8.1f pages/s  %7.2f MB/s\n", recorded_rate,
         recorded.bytes / recorded.seconds / 1e6);
  printf("difference:       %+.2f %% time per page\n",
         (plain_rate / recorded_rate - 1.0) * 100.0);
  cvie::BlockedCounts counts = record.Counts(0);
  printf("record: %zu pages kept, %zu bytes (bound %zu), %llu blocked since start\n",
         record.Recent().size(), record.bytes(), record.max_bytes(),
         static_cast<unsigned long long>(counts.total_since_start));
  return 0;
}
