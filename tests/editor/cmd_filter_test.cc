// cvie filter with rules: the rewritten page on stdout, the stored options as
// the filter uses them, --option for one run, --explain on stderr, and the
// one-line errors.

#include <string.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace cvie {
namespace {

namespace fs = std::filesystem;
using testing::CvieExecutable;
using testing::ReadFile;
using testing::RunCommand;
using testing::ScopedCvieRoot;
using testing::WriteFile;

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

const char kRules[] =
    "! test rules\r\n"
    "/ads/banner*.gif$image\r\n"
    "://ads.example.com/$link\n"
    "/ads/*.css$stylesheet\n"
    "adsbygoogle$script-text\n";

const char kPage[] =
    "<html><head>"
    "<link rel=\"stylesheet\" type=\"text/css\" href=\"/ads/skin.css\">\n"
    "<title>t</title></head><body>\n"
    "<a href=\"http://ads.example.com/c?1\"><img src=\"/img/a.gif\"></a>\n"
    "<img src=\"/ads/banner1.gif\" width=\"300\" height=\"250\">\n"
    "<script>\t(adsbygoogle = window.adsbygoogle || []).push({});\r\n</script>\n"
    "</body></html>";

// The page as a fresh installation filters it: style sheets are not examined,
// blocked images are collapsed.
const char kFiltered[] =
    "<html><head>"
    "<link rel=\"stylesheet\" type=\"text/css\" href=\"/ads/skin.css\">\n"
    "<title>t</title></head><body>\n"
    "<a href=\"http://ads.example.com/c?1\" style=\"display: none;\"><img "
    "src=\"/img/a.gif\"></a>\n"
    "\n"
    "\n"
    "</body></html>";

class CvieFilterRules : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(CvieExecutable()))
      GTEST_FAIL() << CvieExecutable() << " is not built";
    rules_ = root_.path() / "rules.txt";
    page_ = root_.path() / "page.html";
    WriteFile(rules_, kRules);
    WriteFile(page_, kPage);
  }
  // Runs cvie with `args`; stdout into *out, stderr into *err.
  int Cvie(const std::string& args, std::string* out, std::string* err = nullptr) {
    fs::path err_file = root_.path() / "stderr.txt";
    int status =
        RunCommand(Quote(CvieExecutable()) + " " + args + " 2>" + Quote(err_file), out);
    if (err) ReadFile(err_file, err);
    return status;
  }
  std::string Filter(const std::string& options) {
    std::string out;
    EXPECT_EQ(
        Cvie("filter --rule-text " + Quote(rules_) + options + " " + Quote(page_), &out),
        0)
        << options;
    return out;
  }

  ScopedCvieRoot root_;
  fs::path rules_;
  fs::path page_;
};

TEST_F(CvieFilterRules, WritesTheRewrittenPage) {
  EXPECT_EQ(Filter(""), kFiltered);
  std::string out;
  ASSERT_EQ(Cvie("filter --rule-text " + Quote(rules_) + " - < " + Quote(page_), &out),
            0);
  EXPECT_EQ(out, kFiltered) << "standard input";
}

// The same rules enciphered, given with --rules or installed, filter the same.
TEST_F(CvieFilterRules, ReadsEncipheredAndInstalledRuleFiles) {
  fs::path enciphered = root_.path() / "rules.rle";
  std::string out;
  ASSERT_EQ(
      Cvie("rules encipher " + Quote(rules_) + " " + Quote(enciphered) + " --version 1.0",
           &out),
      0);
  ASSERT_EQ(Cvie("filter --rules " + Quote(enciphered) + " " + Quote(page_), &out), 0);
  EXPECT_EQ(out, kFiltered) << "--rules";
  ASSERT_EQ(Cvie("rules install " + Quote(enciphered), &out), 0);
  ASSERT_EQ(Cvie("filter " + Quote(page_), &out), 0);
  EXPECT_EQ(out, kFiltered) << "installed rule file";
}

// Filter lists: named with --list, or installed next to the rule file; the
// page address decides third-party, and the hiding sheet follows <head>.
TEST_F(CvieFilterRules, ListsJudgeForThePageAndAddTheHidingSheet) {
  const char kList[] =
      "[Adblock Plus 2.0]\n"
      "/img/a.gif$image,domain=news.example\n"
      "##[data-ad]\n";
  const std::string sheet = "<style>[data-ad]{display:none!important}</style>";
  fs::path list = root_.path() / "list.txt";
  WriteFile(list, kList);
  std::string page_text;
  ASSERT_TRUE(ReadFile(page_, &page_text));
  const std::string img = "<img src=\"/img/a.gif\">";
  auto expected = [&](bool image_hidden) {
    std::string out = kFiltered;
    out.insert(strlen("<html><head>"), sheet);
    if (image_hidden) {
      size_t at = out.find(img);
      out.erase(at, img.size());  // collapsed
    }
    return out;
  };
  std::string out;
  ASSERT_EQ(Cvie("filter --rule-text " + Quote(rules_) + " --list " + Quote(list) +
                     " --page https://news.example/ " + Quote(page_),
                 &out),
            0);
  EXPECT_EQ(out, expected(true)) << "domain= of the page";
  ASSERT_EQ(Cvie("filter --rule-text " + Quote(rules_) + " --list " + Quote(list) +
                     " --page https://www.example.com/ " + Quote(page_),
                 &out),
            0);
  EXPECT_EQ(out, expected(false)) << "another page";
  // Installed: the rule file and the lists folder beside it.
  fs::path enciphered = root_.path() / "rules.rle";
  ASSERT_EQ(
      Cvie("rules encipher " + Quote(rules_) + " " + Quote(enciphered) + " --version 1.0",
           &out),
      0);
  ASSERT_EQ(Cvie("rules install " + Quote(enciphered), &out), 0);
  fs::path installed;
  for (const auto& entry : fs::recursive_directory_iterator(root_.path())) {
    if (entry.path().filename() == "cvie.rle") installed = entry.path();
  }
  ASSERT_FALSE(installed.empty());
  ASSERT_EQ(Cvie("filter " + Quote(page_), &out), 0);
  EXPECT_EQ(out, kFiltered) << "no lists folder";
  fs::create_directories(installed.parent_path() / "lists");
  WriteFile(installed.parent_path() / "lists" / "0123.txt",
            "||cdn.example^$image\n##[data-ad]\n");
  WriteFile(installed.parent_path() / "lists" / "generation", "1\n");
  const std::string cdn_page =
      "<html><head></head><img src=\"https://cdn.example/a.gif\"></html>";
  WriteFile(page_, cdn_page);
  ASSERT_EQ(Cvie("filter --page https://news.example/ " + Quote(page_), &out), 0);
  EXPECT_EQ(out, "<html><head>" + sheet + "</head></html>");
}

TEST_F(CvieFilterRules, OptionChangesOneSwitchForTheRun) {
  const std::string css =
      "<link rel=\"stylesheet\" type=\"text/css\" href=\"/ads/skin.css\">\n";
  const std::string banner =
      "<img src=\"/ads/banner1.gif\" width=\"300\" height=\"250\">";
  const std::string hidden_banner =
      "<img src=\"/ads/banner1.gif\" width=\"300\" height=\"250\" style=\"display: "
      "none;\">";
  auto without = [](std::string text, const std::string& part) {
    size_t at = text.find(part);
    if (at != std::string::npos) text.erase(at, part.size());
    return text;
  };
  auto replaced = [](std::string text, const std::string& part, const std::string& by) {
    size_t at = text.find(part);
    if (at != std::string::npos) text.replace(at, part.size(), by);
    return text;
  };
  const std::string collapsed = kFiltered;
  const std::string with_banner = replaced(collapsed, "\n\n\n", "\n" + banner + "\n\n");
  const std::string with_hidden =
      replaced(collapsed, "\n\n\n", "\n" + hidden_banner + "\n\n");
  struct Case {
    const char* options;
    std::string expected;
  } const cases[] = {
      {" --option FilterCSS=1", without(collapsed, css)},
      {" --option CollapseBlockedElements=0", with_hidden},
      {" --option FilterCSS=1 --option CollapseBlockedElements=0",
       without(with_hidden, css)},
      {" --option FilterImage=0", with_banner},
      {" --option filterimage=2", with_banner},  // only 1 is on; names in any case
      {" --option MinImageWidthToCheck=300", with_banner},
      {" --option MinImageWidthToCheck=299", collapsed},
      {" --option FilterScript=0",
       replaced(collapsed, "\n\n\n",
                "\n\n<script>\t(adsbygoogle = window.adsbygoogle || "
                "[]).push({});\r\n</script>\n")},
      {" --option CheckBannerLink=0",
       replaced(collapsed, " style=\"display: none;\"><img", "><img")},
      {" --option \"Enable Corvane=0\"", kPage},
      {" --option ShowTabsForFlash=1", collapsed},
  };
  for (const Case& c : cases) EXPECT_EQ(Filter(c.options), c.expected) << c.options;

  // Nothing was stored.
  std::string out;
  ASSERT_EQ(Cvie("options get FilterCSS", &out), 0);
  EXPECT_EQ(out, "0\n");
  ASSERT_EQ(Cvie("options get FilterImage", &out), 0);
  EXPECT_EQ(out, "1\n");
}

TEST_F(CvieFilterRules, UsesTheStoredOptions) {
  std::string out;
  ASSERT_EQ(Cvie("options set FilterCSS 1", &out), 0);
  ASSERT_EQ(Cvie("options set FilterImage 0", &out), 0);
  std::string expected = kFiltered;
  const std::string css =
      "<link rel=\"stylesheet\" type=\"text/css\" href=\"/ads/skin.css\">\n";
  expected.erase(expected.find(css), css.size());
  expected.replace(expected.find("\n\n\n"), 3,
                   "\n<img src=\"/ads/banner1.gif\" width=\"300\" height=\"250\">\n\n");
  EXPECT_EQ(Filter(""), expected);
  // A run's --option still wins over the stored value.
  EXPECT_EQ(Filter(" --option FilterCSS=0 --option FilterImage=1"), kFiltered);
}

TEST_F(CvieFilterRules, ExplainWritesEveryCheckInOrder) {
  std::string out, err;
  ASSERT_EQ(Cvie("filter --explain --option FilterCSS=1 --rule-text " + Quote(rules_) +
                     " " + Quote(page_),
                 &out, &err),
            0);
  EXPECT_EQ(
      err,
      "stylesheet\t/ads/skin.css\tblocked\trules.txt:4: /ads/*.css$stylesheet\n"
      "link\thttp://ads.example.com/c?1\tblocked\trules.txt:3: "
      "://ads.example.com/$link\n"
      "image\t/img/a.gif\tallowed\n"
      "image\t/img/a.gif\tallowed\n"
      "image\t/ads/banner1.gif\tblocked\trules.txt:2: /ads/banner*.gif$image\n"
      "script-block\t<script>\\t(adsbygoogle = window.adsbygoogle || "
      "[]).push({});\\r\\n</script>\tblocked\trules.txt:5: adsbygoogle$script-text\n");
  std::string quiet_err;
  ASSERT_EQ(
      Cvie("filter --rule-text " + Quote(rules_) + " " + Quote(page_), &out, &quiet_err),
      0);
  EXPECT_EQ(quiet_err, "") << "no --explain";
}

// A long text is shown by its first 200 characters (a UTF-8 character is never
// split) and its length, so that a page of big scripts stays readable.
TEST_F(CvieFilterRules, ExplainCutsLongTextsAfterTwoHundredCharacters) {
  // "<script>" and 191 ASCII characters, then "é" (2 bytes) as the 200th
  // character, then a long rest that ends with what the rule blocks.
  const std::string script = "<script>" + std::string(191, 'a') + "\xC3\xA9" +
                             std::string(50000, 'b') + " adsbygoogle</script>";
  const fs::path page = root_.path() / "big.html";
  WriteFile(page, "<p>x</p>" + script);
  std::string out, err;
  ASSERT_EQ(Cvie("filter --explain --rule-text " + Quote(rules_) + " " + Quote(page),
                 &out, &err),
            0);
  const std::string shown = script.substr(0, 8 + 191 + 2);  // up to and with the é
  EXPECT_EQ(err, "script-block\t" + shown + "... (" + std::to_string(script.size()) +
                     " bytes)\tblocked\trules.txt:5: adsbygoogle$script-text\n");
  EXPECT_EQ(out, "<p>x</p>");
}

// Missing or bad files exit 1; arguments that cannot be used as written exit 2.
TEST_F(CvieFilterRules, FailuresAreOneLineWithTheirExitStatus) {
  struct Case {
    const char* name;
    std::string args;
    int status;
    std::string message;  // start of the line after "cvie: "
  } const cases[] = {
      {"no rules installed", "filter " + Quote(page_), 1,
       "no rule file is installed at "},
      {"bad rule file", "filter --rules " + Quote(rules_) + " " + Quote(page_), 1,
       "not a good rule file"},
      {"missing rule text",
       "filter --rule-text " + Quote(root_.path() / "none.txt") + " " + Quote(page_), 1,
       "cannot read rule list: "},
      {"unknown option",
       "filter --rule-text " + Quote(rules_) + " --option Nope=1 " + Quote(page_), 2,
       "unknown option \"Nope\""},
      {"option without value",
       "filter --rule-text " + Quote(rules_) + " --option FilterCSS " + Quote(page_), 2,
       "--option needs NAME=VALUE"},
      {"value not a number",
       "filter --rule-text " + Quote(rules_) + " --option FilterCSS=on " + Quote(page_),
       2, "not an integer: \"on\""},
      {"missing page",
       "filter --rule-text " + Quote(rules_) + " " + Quote(root_.path() / "none.html"), 1,
       "cannot read "},
      {"unknown flag", "filter --rule-text " + Quote(rules_) + " --nope " + Quote(page_),
       2, "The following argument"},
  };
  for (const Case& c : cases) {
    std::string out, err;
    EXPECT_EQ(Cvie(c.args, &out, &err), c.status) << c.name;
    EXPECT_EQ(out, "") << c.name;
    EXPECT_EQ(err.rfind("cvie: " + c.message, 0), 0u) << c.name << ": " << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << c.name << ": not one line: " << err;
  }
}

}  // namespace
}  // namespace cvie
