// `cvie rules encipher|check|decipher|install`, run as a user runs them.

#include <string>

#include <gtest/gtest.h>

#include "rulefile/rulefile_test_util.h"

namespace cvie {
namespace {

using ::cvie::testing::BuildRuleFile;
using ::cvie::testing::CvieExecutable;
using ::cvie::testing::ReadFile;
using ::cvie::testing::RunCommand;
using ::cvie::testing::ScratchDir;
using ::cvie::testing::Wide;
using ::cvie::testing::WriteFile;
namespace fs = std::filesystem;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

class RulesCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cvie::testing::StartLogging();
    dir_ = ScratchDir("command");
    root_ = dir_ / "root";
    fs::create_directories(root_);
  }

  // Runs cvie with `args` under this test's own CVIE_ROOT; stdout in *out,
  // stderr in *err.
  int Cvie(const std::string& args, std::string* out, std::string* err = nullptr) {
    fs::path err_file = dir_ / "stderr.txt";
    int status = RunCommand("CVIE_ROOT=" + Quote(root_.string()) + " " +
                                Quote(CvieExecutable().string()) + " " + args + " 2>" +
                                Quote(err_file.string()),
                            out);
    std::string errors;
    ReadFile(err_file, &errors);
    if (err) *err = errors;
    return status;
  }

  fs::path dir_;
  fs::path root_;
};

TEST_F(RulesCommandTest, EncipherCheckAndDecipherRoundTrip) {
  const std::string plain = "/ads/banner\nswf|";  // 16 bytes: not padded
  fs::path text = dir_ / "plain.txt";
  fs::path rules = dir_ / "out.rle";
  WriteFile(text, plain + "x");  // 17 bytes: padded to 24 in the copy
  std::string out, err;
  ASSERT_EQ(Cvie("rules encipher " + Quote(text.string()) + " " + Quote(rules.string()) +
                     " --version 2.3",
                 &out, &err),
            0)
      << err;
  std::string after;
  ASSERT_TRUE(ReadFile(text, &after));
  EXPECT_EQ(after, plain + "x") << "the plain text is left as it was";

  std::string checksum = FileChecksum(Wide(rules), 32).value_or("?");
  ASSERT_EQ(Cvie("rules check " + Quote(rules.string()), &out, &err), 0) << err;
  EXPECT_EQ(out, "good\nversion: 2.3\nchecksum: " + checksum + "\n");

  ASSERT_EQ(Cvie("rules decipher " + Quote(rules.string()), &out, &err), 0) << err;
  EXPECT_EQ(out, plain + "x" + std::string(7, '\n'));
}

struct FailureCase {
  const char* name;
  std::string args;
  const char* reason;  // part of the one-line error
};

TEST_F(RulesCommandTest, BadFilesAndArgumentsFailWithAReason) {
  std::string good = BuildRuleFile("/ads/banner\n");
  std::string changed = good;
  changed[36] ^= 4;
  WriteFile(dir_ / "changed.rle", changed);
  WriteFile(dir_ / "other.rle", BuildRuleFile("/ads/banner\n", {3, 1, 4, 1}));
  WriteFile(dir_ / "short.rle", "!CVR");
  WriteFile(dir_ / "plain.txt", "/ads/\n");
  const std::string d = dir_.string() + "/";
  const FailureCase kCases[] = {
      {"check missing", "rules check " + Quote(d + "missing.rle"), "cannot open"},
      {"check changed", "rules check " + Quote(d + "changed.rle"), "checksum is wrong"},
      {"check other key", "rules check " + Quote(d + "other.rle"), "magic is wrong"},
      {"check short", "rules check " + Quote(d + "short.rle"), "too short"},
      {"decipher changed", "rules decipher " + Quote(d + "changed.rle"),
       "checksum is wrong"},
      {"encipher missing",
       "rules encipher " + Quote(d + "missing.txt") + " " + Quote(d + "o.rle") +
           " --version 1.0",
       "cannot read"},
      {"encipher bad version",
       "rules encipher " + Quote(d + "plain.txt") + " " + Quote(d + "o.rle") +
           " --version 10",
       "MAJOR.MINOR"},
      {"encipher into a missing folder",
       "rules encipher " + Quote(d + "plain.txt") + " " + Quote(d + "none/o.rle") +
           " --version 1.0",
       "cannot write"},
  };
  for (const FailureCase& c : kCases) {
    std::string out, err;
    // A version written the wrong way is an argument error (2); files fail with 1.
    const int status = std::string(c.reason) == "MAJOR.MINOR" ? 2 : 1;
    EXPECT_EQ(Cvie(c.args, &out, &err), status) << c.name;
    EXPECT_NE(err.find(c.reason), std::string::npos) << c.name << ": " << err;
    EXPECT_EQ(err.rfind("cvie: ", 0), 0u) << c.name << ": " << err;
  }
}

// The installed rule file's path, from the "installed ... as PATH" line.
std::string InstalledPath(const std::string& out) {
  size_t as = out.rfind(" as ");
  if (as == std::string::npos) return std::string();
  std::string path = out.substr(as + 4);
  path.erase(path.find_last_not_of('\n') + 1);
  return path;
}

TEST_F(RulesCommandTest, InstallsTheBundledRuleFile) {
  std::string out, err;
  ASSERT_EQ(Cvie("rules install", &out, &err), 0) << err;
  EXPECT_NE(out.find("version 1.0"), std::string::npos) << out;
  std::string installed = InstalledPath(out);
  ASSERT_FALSE(installed.empty()) << out;
  EXPECT_EQ(installed.rfind(root_.string(), 0), 0u) << "inside CVIE_ROOT: " << installed;
  EXPECT_FALSE(fs::exists(installed + ".new"));

  ASSERT_EQ(Cvie("rules check " + Quote(installed), &out, &err), 0) << err;
  EXPECT_EQ(out.rfind("good\nversion: 1.0\n", 0), 0u) << out;
}

TEST_F(RulesCommandTest, InstallsAGivenFileAndRefusesABadOne) {
  std::string out, err;
  ASSERT_EQ(Cvie("rules install", &out, &err), 0) << err;
  std::string installed = InstalledPath(out);
  std::string before;
  ASSERT_TRUE(ReadFile(installed, &before));

  std::string bad = BuildRuleFile("/ads/new\n");
  bad[bad.size() - 1] ^= 8;
  fs::path bad_file = dir_ / "bad.rle";
  WriteFile(bad_file, bad);
  EXPECT_EQ(Cvie("rules install " + Quote(bad_file.string()), &out, &err), 1);
  EXPECT_NE(err.find("nothing was changed"), std::string::npos) << err;
  std::string after;
  ASSERT_TRUE(ReadFile(installed, &after));
  EXPECT_EQ(after, before) << "installed file unchanged byte for byte";
  EXPECT_FALSE(fs::exists(installed + ".new"));
  EXPECT_TRUE(fs::exists(bad_file));

  std::string good = BuildRuleFile("/ads/new\n", RuleFileKey(), "!CVR", '1', '7');
  fs::path good_file = dir_ / "good.rle";
  WriteFile(good_file, good);
  ASSERT_EQ(Cvie("rules install " + Quote(good_file.string()), &out, &err), 0) << err;
  ASSERT_TRUE(ReadFile(installed, &after));
  EXPECT_EQ(after, good);
  EXPECT_TRUE(fs::exists(good_file)) << "the given file is copied, not moved";
  EXPECT_NE(out.find("version 1.7"), std::string::npos) << out;
}

}  // namespace
}  // namespace cvie
