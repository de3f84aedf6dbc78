// Real pages through the page editor: where the checker blocks nothing, every
// page comes out byte for byte as it went in, with every kind of element
// examined.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "anyhtml/html_editor.h"
#include "common/test_support.h"
#include "editor/editor_test_support.h"

namespace cvie {
namespace {

namespace fs = std::filesystem;

// Blocks nothing; counts the questions by kind (index 9: script blocks).
class CountingChecker : public AnyHtmlEditorRuleChecker {
 public:
  bool CheckElement(int kind, const char* text, int) override {
    EXPECT_NE(text, nullptr);
    if (kind >= 0 && kind <= 8) ++counts[kind];
    return false;
  }
  bool CheckScript(const char* text, int) override {
    EXPECT_NE(text, nullptr);
    ++counts[9];
    return false;
  }
  long counts[10] = {};
};

std::vector<fs::path> CorpusPages() {
  std::vector<fs::path> pages;
  fs::path shared = testing::SharedDir();
  if (shared.empty()) return pages;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(shared / "corpus" / "pages", ec)) {
    if (entry.is_regular_file()) pages.push_back(entry.path());
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

TEST(EditorCorpus, PagesWithNothingBlockedAreUnchanged) {
  const std::vector<fs::path> pages = CorpusPages();
  if (pages.empty()) GTEST_SKIP() << "shared corpus not present";
  EditorOptions options;  // every switch on
  options.min_image_width = 0;
  options.min_image_height = 0;
  CountingChecker checker;
  for (const fs::path& path : pages) {
    std::string page;
    ASSERT_TRUE(testing::ReadFile(path, &page)) << path;
    int result = -1;
    std::string out = testing::EditPage(page, options, &checker, &result);
    EXPECT_EQ(result, 0) << path.filename();
    // Compare sizes first so that a failure does not print whole pages.
    ASSERT_EQ(out.size(), page.size()) << path.filename();
    EXPECT_TRUE(out == page)
        << path.filename() << " differs at byte "
        << (std::mismatch(out.begin(), out.end(), page.begin()).first - out.begin());
  }
  // The pages hold links around images, images, frames, scripts with and
  // without a source and divisions: each of these was asked about.
  for (int kind :
       {kLinkElement, kImageElement, kScriptElement, kFrameElement, kDivElement}) {
    EXPECT_GT(checker.counts[kind], 0) << testing::KindName(kind);
  }
  EXPECT_GT(checker.counts[9], 0) << "script blocks";
}

}  // namespace
}  // namespace cvie
