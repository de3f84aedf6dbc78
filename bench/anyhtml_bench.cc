// anyhtml_bench: throughput of parsing a page and writing every node back
// into a CEasyBuffer (what the MIME filter does with a page nothing is
// blocked in), over the shared corpus, against memcpy of the same bytes in
// the same run.
//
// Usage: anyhtml_bench [PAGES_FOLDER]   (default: the shared corpus pages)
// Prints MB/s (10^6 bytes per second) of each, and the ratio, computed from
// the process's CPU time (steady while other programs load the machine) and
// from wall-clock time.

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/html_parser.h"

namespace {

using cvie::AnyHtmlElement;
using cvie::AnyHtmlNode;
using cvie::CEasyBuffer;

// Writes every node back unchanged, as the editor does outside its regions.
class WriteBackParser : public cvie::AnyHtmlParser {
 public:
  explicit WriteBackParser(cvie::AnyHtmlEditorWriter* writer) : writer_(writer) {}
  int OnNode(AnyHtmlNode* node, int) override { return Write(*node); }
  int OnElement(AnyHtmlElement* element, int) override { return Write(*element); }

 private:
  int Write(const AnyHtmlNode& node) {
    const char* text;
    size_t length;
    if (node.GetText(&text, &length) != 0 || length == 0) return 0;
    return writer_->Write(text, static_cast<uint32_t>(length));
  }
  cvie::AnyHtmlEditorWriter* writer_;
};

// Counts nodes without writing them: the parser's own share of the work.
class CountingParser : public cvie::AnyHtmlParser {
 public:
  int OnNode(AnyHtmlNode*, int) override { return ++nodes; }
  int OnElement(AnyHtmlElement*, int) override { return ++nodes; }
  int nodes = 0;
};

struct Page {
  std::string name;
  std::vector<char> bytes;  // the page followed by two zero bytes
  size_t size;              // without them
};

struct Rate {
  double cpu;   // MB per CPU second
  double wall;  // MB per wall-clock second
};

// Runs `round` enough times for about a second of CPU, five times over, and
// returns the median rates.
Rate MegabytesPerSecond(size_t bytes_per_round, const std::function<void()>& round) {
  round();  // warm up
  clock_t cpu_start = clock();
  round();
  double one = std::max(static_cast<double>(clock() - cpu_start) / CLOCKS_PER_SEC, 1e-6);
  int rounds = std::max(3, static_cast<int>(1.0 / one));
  std::vector<double> cpu_rates;
  std::vector<double> wall_rates;
  for (int rep = 0; rep < 5; ++rep) {
    auto wall_start = std::chrono::steady_clock::now();
    cpu_start = clock();
    for (int i = 0; i < rounds; ++i) round();
    double cpu = static_cast<double>(clock() - cpu_start) / CLOCKS_PER_SEC;
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start)
            .count();
    double megabytes = static_cast<double>(bytes_per_round) * rounds / 1e6;
    cpu_rates.push_back(megabytes / std::max(cpu, 1e-6));
    wall_rates.push_back(megabytes / std::max(wall, 1e-6));
  }
  std::sort(cpu_rates.begin(), cpu_rates.end());
  std::sort(wall_rates.begin(), wall_rates.end());
  return {cpu_rates[2], wall_rates[2]};
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path folder =
      argc > 1 ? std::filesystem::path(argv[1])
               : std::filesystem::path(CVIE_SHARED_DIR) / "corpus" / "pages";
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    printf("anyhtml_bench: no pages in %s; nothing measured\n", folder.c_str());
    return 0;
  }
  std::vector<Page> pages;
  size_t total = 0;
  size_t largest = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string bytes = text.str();
    Page page{entry.path().filename().string(),
              std::vector<char>(bytes.begin(), bytes.end()), bytes.size()};
    page.bytes.push_back(0);
    page.bytes.push_back(0);
    total += page.size;
    largest = std::max(largest, page.size);
    pages.push_back(std::move(page));
  }
  if (pages.empty()) {
    printf("anyhtml_bench: no pages in %s; nothing measured\n", folder.c_str());
    return 0;
  }

  // Check the round trip once before measuring it.
  CEasyBuffer* out = new CEasyBuffer();
  size_t nodes = 0;
  for (const Page& page : pages) {
    out->Reset();
    WriteBackParser parser(out);
    parser.Parse(page.bytes.data(), page.size, 0);
    if (out->GetSize() != page.size ||
        memcmp(out->GetData(), page.bytes.data(), page.size)) {
      fprintf(stderr, "anyhtml_bench: %s did not come back unchanged\n",
              page.name.c_str());
      return 1;
    }
    CountingParser counter;
    counter.Parse(page.bytes.data(), page.size, 0);
    nodes += static_cast<size_t>(counter.nodes);
  }

  Rate parse_write = MegabytesPerSecond(total, [&] {
    for (const Page& page : pages) {
      out->Reset();
      WriteBackParser parser(out);  // one parser per page, as the filter does
      parser.Parse(page.bytes.data(), page.size, 0);
    }
  });
  Rate parse_only = MegabytesPerSecond(total, [&] {
    for (const Page& page : pages) {
      CountingParser parser;
      parser.Parse(page.bytes.data(), page.size, 0);
    }
  });
  std::unique_ptr<char[]> target(new char[largest]);
  Rate copy = MegabytesPerSecond(total, [&] {
    for (const Page& page : pages) {
      memcpy(target.get(), page.bytes.data(), page.size);
      asm volatile("" : : "r"(target.get()) : "memory");
    }
  });
  out->Release();

  printf("corpus: %zu pages, %.1f MB, %zu nodes\n", pages.size(), total / 1e6, nodes);
  printf("%-20s %10s %10s\n", "MB/s", "CPU time", "wall");
  printf("%-20s %10.0f %10.0f\n", "parse + write back", parse_write.cpu,
         parse_write.wall);
  printf("%-20s %10.0f %10.0f\n", "parse only", parse_only.cpu, parse_only.wall);
  printf("%-20s %10.0f %10.0f\n", "memcpy", copy.cpu, copy.wall);
  printf("%-20s %10.1f %10.1f\n", "memcpy / parse+write", copy.cpu / parse_write.cpu,
         copy.wall / parse_write.wall);
  return 0;
}
