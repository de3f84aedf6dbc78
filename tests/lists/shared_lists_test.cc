// With EasyList and EasyPrivacy as published, the index decides every request
// of the shared URL sample exactly as the rule-by-rule reference, naming the
// same rules. Skipped when the shared lists are absent.

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "lists/filter_list.h"
#include "lists/list_engine.h"
#include "rules/rule_options.h"

namespace cvie::lists {
namespace {

using testing::ReadFile;
using testing::SharedDir;

// Sanitizer builds run the reference some ten times slower: they check every
// tenth line of the sample, the plain build every line.
constexpr size_t SampleStride() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 10;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return 10;
#else
  return 1;
#endif
#else
  return 1;
#endif
}

struct UrlLine {
  uint32_t type;
  std::string url;
};

bool LoadList(const char* file, std::vector<FilterList>* lists) {
  std::string text;
  if (SharedDir().empty() || !ReadFile(SharedDir() / "lists" / file, &text)) return false;
  lists->push_back(ParseFilterList(text, file));
  return true;
}

TEST(SharedLists, IndexDecidesAsTheReferenceOnTheUrlSample) {
  std::vector<FilterList> lists;
  if (!LoadList("easylist.txt", &lists) || !LoadList("easyprivacy.txt", &lists)) {
    GTEST_SKIP() << "shared lists absent";
  }
  std::string sample;
  if (!ReadFile(SharedDir() / "rules" / "urls.txt", &sample))
    GTEST_SKIP() << "no urls.txt";
  EXPECT_GT(lists[0].network.size(), 50000u);
  EXPECT_GT(lists[0].hiding.size(), 20000u);
  std::unique_ptr<ListEngine> engine = ListEngine::Build(std::move(lists));
  ASSERT_NE(engine, nullptr);

  std::vector<UrlLine> lines;
  size_t start = 0;
  while (start < sample.size()) {
    size_t end = sample.find('\n', start);
    if (end == std::string::npos) end = sample.size();
    std::string line = sample.substr(start, end - start);
    start = end + 1;
    size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    int kind = ElementKindFromName(line.substr(0, blank));
    if (kind < 0) continue;
    lines.push_back({RequestTypeOfKind(kind), line.substr(blank + 1)});
  }
  ASSERT_GT(lines.size(), 20000u);

  // One page for every request, as the editor filters one page at a time.
  const std::string pages[] = {"https://news.example.org/2026/07/story.html"};
  size_t blocked = 0;
  for (const std::string& page : pages) {
    for (size_t i = 0; i < lines.size(); i += SampleStride()) {
      const UrlLine& line = lines[i];
      Request request{line.type, line.url, page};
      Decision indexed = engine->Decide(request);
      Decision reference = engine->DecideReference(request);
      ASSERT_EQ(indexed.blocked, reference.blocked) << line.url << " on " << page;
      EXPECT_EQ(engine->Describe(indexed.blocking), engine->Describe(reference.blocking))
          << line.url;
      EXPECT_EQ(engine->Describe(indexed.exception),
                engine->Describe(reference.exception))
          << line.url;
      blocked += indexed.blocked ? 1 : 0;
    }
  }
  // The sample is made partly of list hosts: a fair share is blocked.
  EXPECT_GT(blocked, lines.size() / SampleStride() / 20);
}

}  // namespace
}  // namespace cvie::lists
