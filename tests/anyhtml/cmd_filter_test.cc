// cvie filter: with rules that block nothing, a page from a file or from
// standard input comes out unchanged; an unreadable input is one line on
// stderr and exit status 1.

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace {

namespace fs = std::filesystem;
using cvie::testing::CvieExecutable;
using cvie::testing::ReadFile;
using cvie::testing::RunCommand;
using cvie::testing::ScopedCvieRoot;
using cvie::testing::WriteFile;

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

// A page with the markup that matters and bytes that are not text.
std::string SamplePage() {
  std::string page =
      "\xEF\xBB\xBF<!DOCTYPE html>\r\n<html><head>"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
      "<script>if (a<b) document.write('</scr'+'ipt>');</script></head>\n"
      "<body bgcolor=red><!-- c --><a href=/ads/x.html><img src=b.gif ismap></a>"
      "a < b <td width=\"50 caf\xC3\xA9 \xE9\xFF";
  page.push_back('\0');
  page += "tail";
  return page;
}

class CvieFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(CvieExecutable()))
      GTEST_FAIL() << CvieExecutable() << " is not built";
    WriteFile(root_.path() / "no-rules.txt", "");
  }
  // "cvie filter" with an empty rule list: nothing is blocked.
  std::string Filter() const {
    return Quote(CvieExecutable()) + " filter --rule-text " +
           Quote(root_.path() / "no-rules.txt") + " ";
  }
  ScopedCvieRoot root_;
};

TEST_F(CvieFilter, WritesAFileBackUnchanged) {
  fs::path input = root_.path() / "page.html";
  WriteFile(input, SamplePage());
  std::string out;
  ASSERT_EQ(RunCommand(Filter() + Quote(input), &out), 0);
  EXPECT_TRUE(out == SamplePage()) << out;
}

TEST_F(CvieFilter, ReadsStandardInput) {
  fs::path input = root_.path() / "page.html";
  WriteFile(input, SamplePage());
  const std::string kForms[] = {"- < ", "< "};
  for (const std::string& form : kForms) {
    std::string out;
    ASSERT_EQ(RunCommand(Filter() + form + Quote(input), &out), 0) << form;
    EXPECT_TRUE(out == SamplePage()) << form;
  }
}

TEST_F(CvieFilter, EmptyInputGivesEmptyOutput) {
  fs::path input = root_.path() / "empty.html";
  WriteFile(input, "");
  std::string out = "x";
  ASSERT_EQ(RunCommand(Filter() + Quote(input), &out), 0);
  EXPECT_EQ(out, "");
}

TEST_F(CvieFilter, CorpusPageComesOutUnchanged) {
  fs::path pages = cvie::testing::SharedDir() / "corpus" / "pages";
  if (cvie::testing::SharedDir().empty() || !fs::is_directory(pages)) {
    GTEST_SKIP() << "shared corpus absent";
  }
  // The largest page: it spans many growth steps of the buffers.
  fs::path largest;
  uintmax_t largest_size = 0;
  for (const auto& entry : fs::directory_iterator(pages)) {
    if (entry.file_size() > largest_size) {
      largest_size = entry.file_size();
      largest = entry.path();
    }
  }
  std::string expected;
  ASSERT_TRUE(ReadFile(largest, &expected));
  std::string out;
  ASSERT_EQ(RunCommand(Filter() + Quote(largest), &out), 0);
  EXPECT_EQ(out.size(), expected.size());
  EXPECT_TRUE(out == expected) << largest;
}

TEST_F(CvieFilter, UnreadableInputIsOneLineAndExitOne) {
  struct Case {
    const char* name;
    fs::path input;
  };
  fs::path folder = root_.path() / "folder";
  fs::create_directories(folder);
  const Case kCases[] = {
      {"missing file", root_.path() / "missing.html"},
      {"a folder", folder},
  };
  for (const Case& c : kCases) {
    std::string out;
    int status =
        RunCommand(Filter() + Quote(c.input), &out, true);
    EXPECT_EQ(status, 1) << c.name;
    EXPECT_EQ(out.rfind("cvie: cannot read " + c.input.string() + ": ", 0), 0u)
        << c.name << ": " << out;
    ASSERT_FALSE(out.empty()) << c.name;
    EXPECT_EQ(out.back(), '\n') << c.name;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << c.name << ": more than one line";
  }
}

}  // namespace
