// The cvie options commands, run as a user would.

#include <algorithm>
#include <filesystem>
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
      {"options get FirstOpen", 2, "", "cvie: unknown option \"FirstOpen\""},
      {"options set NoSuchOption 1", 2, "", "cvie: unknown option \"NoSuchOption\""},
      {"options set FilterImage yes", 2, "", "cvie: not an integer: \"yes\""},
      {"options set FilterImage 1.5", 2, "", "cvie: not an integer"},
      {"options set FilterImage 99999999999", 2, "", "cvie: not an integer"},
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
  ASSERT_EQ(
      cvie::testing::RunCommand(Cvie("options set WhiteListTS 1765400000"), nullptr), 0);
  std::string out;
  ASSERT_EQ(cvie::testing::RunCommand(Cvie("options list"), &out), 0);
  // Columns as wide as their widest entry; the whitelist stamp is marked as
  // the program's own value.
  const char* want =
      "option                        value  default\n"
      "Enable Corvane                    1        1\n"
      "ShowTabsForFlash                  0        0\n"
      "CollapseBlockedElements           1        1\n"
      "BlockAdsOnLocalPage               1        1\n"
      "FilterScript                      1        1\n"
      "FilterImage                       1        1\n"
      "CheckBannerLink                   1        1\n"
      "FilterMarquee                     1        1\n"
      "EnableLogging                     1        1\n"
      "FilterFrame                       1        1\n"
      "FilterFlash                       1        1\n"
      "FilterCSS                         1        0\n"
      "FilterBackground                  0        0\n"
      "MinImageWidthToCheck             10       10\n"
      "MinImageHeightToCheck            10       10\n"
      "WhiteListTS              1765400000        0  (internal: when the whitelist last "
      "changed)\n";
  EXPECT_EQ(out, want);
}

}  // namespace

namespace {

// Runs cvie with stderr only in *err (stdout dropped); returns the exit status.
int CvieErrors(const std::string& args, std::string* err) {
  return cvie::testing::RunCommand(Cvie(args) + " 2>&1 >/dev/null", err);
}

// The command line as a whole: the version, unknown commands, missing commands
// and arguments CLI11 refuses, each one line with its exit status.
TEST(CommandLine, VersionUnknownAndMissingCommandsAndBadArguments) {
  cvie::testing::ScopedCvieRoot root;
  std::string out;
  ASSERT_EQ(cvie::testing::RunCommand(Cvie("--version"), &out), 0);
  EXPECT_EQ(out, "Corvane Filter 2.2\n");
  ASSERT_EQ(cvie::testing::RunCommand(Cvie("version"), &out), 0);
  EXPECT_EQ(out, "Corvane Filter 2.2\n");

  struct Case {
    const char* args;
    const char* error;  // the whole of stderr
  };
  const Case cases[] = {
      {"bogus",
       "cvie: unknown command: bogus (cvie commands: ca, fetch, filter, https, lists, "
       "menu, "
       "options, proxy, register, rules, unregister, update, version, whitelist)\n"},
      {"rules bogus",
       "cvie: unknown command: rules bogus (cvie rules commands: bench, check, "
       "decipher, encipher, install, test)\n"},
      {"",
       "cvie: a command is required (cvie commands: ca, fetch, filter, https, lists, "
       "menu, "
       "options, proxy, register, rules, unregister, update, version, whitelist)\n"},
      {"options",
       "cvie: a command is required (cvie options commands: get, list, set)\n"},
      {"options get FilterImage extra",
       "cvie: The following argument was not expected: extra (see --help)\n"},
      {"options set FilterImage", "cvie: value is required (see --help)\n"},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(CvieErrors(c.args, &err), 2) << c.args;
    EXPECT_EQ(err, c.error) << c.args;
  }
}

// Every command applies the stored "EnableLogging" switch when it starts, also
// one that never reads an option itself.
TEST(CommandLine, EveryCommandHonoursTheStoredLoggingSwitch) {
  cvie::testing::ScopedCvieRoot root;
  const std::filesystem::path folder = root.path() / "Documents" / "Corvane";
  std::filesystem::create_directories(folder);
  const std::filesystem::path log = folder / "log1.txt";
  const std::string rules = (root.path() / "rules.txt").string();
  cvie::testing::WriteFile(rules, "/ads/\n");
  const std::string command =
      "rules test --rule-text '" + rules + "' image http://x/ads/";
  auto logged = [&log] {
    std::string text;
    cvie::testing::ReadFile(log, &text);
    return text;
  };

  std::string out;
  ASSERT_EQ(cvie::testing::RunCommand(Cvie(command), &out), 0);
  EXPECT_NE(logged().find("1 good rules loaded."), std::string::npos) << logged();

  ASSERT_EQ(cvie::testing::RunCommand(Cvie("options set EnableLogging 0"), &out), 0);
  std::filesystem::remove(log);
  ASSERT_EQ(cvie::testing::RunCommand(Cvie(command), &out), 0);
  EXPECT_EQ(out, "blocked\n");
  EXPECT_EQ(logged(), "");
}

}  // namespace
