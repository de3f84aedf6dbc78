// Tests of "cvie menu": the button's menu printed for a page, and a chosen
// command run against a terminal browser.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/test_support.h"

namespace cvie::testing {
namespace {

class CmdMenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(CvieExecutable())) GTEST_SKIP() << "cvie is not built";
  }
  // Runs cvie with `args` under the test's own CVIE_ROOT; stdout and stderr.
  int Run(const std::string& args, std::string* out) {
    std::string command = "CVIE_ROOT='" + root_.path().string() +
                          "' CVIE_UPDATE_SERVER= '" + CvieExecutable().string() + "' " +
                          args + " </dev/null";
    return RunCommand(command, out, /*merge_stderr=*/true);
  }
  ScopedCvieRoot root_;
};

const char kPlainMenu[] =
    "301 Preferences\n"
    "---\n"
    "302 Enable Corvane [x]\n"
    "303 Allow Ads On This Website\n"
    "304 Allow Ads On This Page Only\n"
    "---\n"
    "305 Report Annoying Ads\n"
    "306 Check Update ...\n"
    "---\n"
    "307 Help...\n"
    "308 About Corvane Filter...\n";

TEST_F(CmdMenuTest, PrintsTheMenuAndRunsChosenCommands) {
  std::string out;
  ASSERT_EQ(0, Run("menu --url http://ads.example.com/p", &out));
  EXPECT_EQ(kPlainMenu, out);

  struct Step {
    const char* args;
    int status;
    const char* output;
  };
  const Step steps[] = {
      {"menu --url http://ads.example.com/p --choose 303", 0,
       "Browser reloads the page\n303 Whitelist This Website Cmd: done\n"},
      {"menu --url http://ads.example.com/p --choose 304", 0,
       "Browser reloads the page\n304 Whitelist This Page Cmd: done\n"},
      {"whitelist list", 0, "ads.example.com\nhttp://ads.example.com/p\n"},
      {"menu --url about:blank --choose 303", 1,
       "303 Whitelist This Website Cmd: failed\n"},
      {"menu --url http://a.example/ --choose 302", 0,
       "302 Toggle Enable Corvane Cmd: done\n"},
      {"menu --url http://a.example/ --choose 305", 0,
       "Browser navigates to: http://updates.corvane.example/reportads\n"
       "305 Go Report page Cmd: done\n"},
      {"menu --choose 999", 2, "cvie: no menu item has identifier 999\n"},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(step.status, Run(step.args, &out)) << step.args;
    EXPECT_EQ(step.output, out) << step.args;
  }

  ASSERT_EQ(0, Run("menu --url http://ads.example.com/p", &out));
  EXPECT_NE(std::string::npos, out.find("302 Enable Corvane\n")) << out;
  EXPECT_NE(std::string::npos, out.find("303 Allow Ads On This Website [x]\n")) << out;
  EXPECT_NE(std::string::npos, out.find("304 Allow Ads On This Page Only [x]\n")) << out;
}

}  // namespace
}  // namespace cvie::testing
