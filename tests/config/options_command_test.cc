// The cvie options commands, run as a user would.

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace {

std::string Cvie(const std::string& args) {
  return cvie::testing::CvieExecutable().string() + " " + args;
}

struct CommandCase {
  const char* args;
  int want_status;          // -1: any failure
  const char* want_output;  // exact stdout, or null
  const char* want_error;   // substring of stderr, or null
};

TEST(OptionsCommand, GetAndSetRoundTrip) {
  cvie::testing::ScopedCvieRoot root;
  const CommandCase cases[] = {
      {"options get FilterImage", 0, "1\n", nullptr},
      {"options get 'Enable Corvane'", 0, "1\n", nullptr},
      {"options get minimagewidthtocheck", 0, "10\n", nullptr},
      {"options set FilterImage 0", 0, "", nullptr},
      {"options get FilterImage", 0, "0\n", nullptr},
      {"options set FilterImage 2", 0, "", nullptr},
      {"options get FilterImage", 0, "2\n", nullptr},
      {"options set MinImageWidthToCheck -5", 0, "", nullptr},
      {"options get MinImageWidthToCheck", 0, "-5\n", nullptr},
      {"options set WhiteListTS 4026531840", 0, "", nullptr},
      {"options get WhiteListTS", 0, "4026531840\n", nullptr},
      {"options get FirstOpen", 1, "", "cvie: unknown option \"FirstOpen\""},
      {"options set NoSuchOption 1", 1, "", "cvie: unknown option \"NoSuchOption\""},
      {"options set FilterImage yes", 1, "", "cvie: not an integer: \"yes\""},
      {"options set FilterImage 1.5", 1, "", "cvie: not an integer"},
      {"options set FilterImage 99999999999", 1, "", "cvie: not an integer"},
      {"options get", -1, nullptr, nullptr},  // a required argument is missing
  };
  for (const auto& c : cases) {
    std::string out, all;
    int status = cvie::testing::RunCommand(Cvie(c.args), &out);
    cvie::testing::RunCommand(Cvie(c.args) + " 2>&1 >/dev/null", &all);
    if (c.want_status < 0) {
      EXPECT_NE(status, 0) << c.args;
      continue;
    }
    EXPECT_EQ(status, c.want_status) << c.args;
    if (c.want_output) {
      EXPECT_EQ(out, c.want_output) << c.args;
    }
    if (c.want_error) {
      EXPECT_NE(all.find(c.want_error), std::string::npos) << c.args << ": " << all;
      EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1) << c.args << ": " << all;
    }
  }
}

TEST(OptionsCommand, ListShowsEveryOptionWithValueAndDefault) {
  cvie::testing::ScopedCvieRoot root;
  ASSERT_EQ(cvie::testing::RunCommand(Cvie("options set FilterCSS 1"), nullptr), 0);
  std::string out;
  ASSERT_EQ(cvie::testing::RunCommand(Cvie("options list"), &out), 0);
  const char* want =
      "option                         value     default\n"
      "Enable Corvane                     1           1\n"
      "ShowTabsForFlash                   0           0\n"
      "CollapseBlockedElements            1           1\n"
      "BlockAdsOnLocalPage                1           1\n"
      "FilterScript                       1           1\n"
      "FilterImage                        1           1\n"
      "CheckBannerLink                    1           1\n"
      "FilterMarquee                      1           1\n"
      "EnableLogging                      1           1\n"
      "FilterFrame                        1           1\n"
      "FilterFlash                        1           1\n"
      "FilterCSS                          1           0\n"
      "FilterBackground                   0           0\n"
      "MinImageWidthToCheck              10          10\n"
      "MinImageHeightToCheck             10          10\n"
      "WhiteListTS                        0           0\n";
  EXPECT_EQ(out, want);
}

}  // namespace
