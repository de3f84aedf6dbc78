// Tests of "cvie ca" and "cvie https": the local CA's files made, exported and
// removed from the command line, and the HTTPS switch.

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace cvie::testing {
namespace {

namespace fs = std::filesystem;

class CmdCaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(CvieExecutable())) GTEST_SKIP() << "cvie is not built";
  }
  // Runs cvie with `args` under the test's own CVIE_ROOT; stdout and stderr.
  int Run(const std::string& args, std::string* out, bool merge_stderr = true) {
    std::string command = "CVIE_ROOT='" + root_.path().string() +
                          "' CVIE_UPDATE_SERVER= '" + CvieExecutable().string() + "' " +
                          args + " </dev/null";
    return RunCommand(command, out, merge_stderr);
  }
  // The one file named `name` anywhere under the root (the per-user folder's
  // place under CVIE_ROOT is the data-folder layer's business).
  fs::path Find(const std::string& name) {
    for (const auto& entry : fs::recursive_directory_iterator(root_.path())) {
      if (entry.path().filename() == name) return entry.path();
    }
    return fs::path();
  }
  ScopedCvieRoot root_;
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(CmdCaTest, CreateExportShowRemove) {
  std::string out;
  // Nothing to export or show yet.
  EXPECT_EQ(1, Run("ca export", &out));
  EXPECT_TRUE(Has(out, "cvie: no local CA")) << out;
  EXPECT_EQ(1, Run("ca show", &out));
  EXPECT_TRUE(Has(out, "cvie: no local CA")) << out;

  ASSERT_EQ(0, Run("ca create --days 30", &out)) << out;
  const std::string created = out;
  const fs::path cert = Find("local-ca.pem");
  const fs::path key = Find("local-ca.key");
  ASSERT_FALSE(cert.empty()) << out;
  ASSERT_FALSE(key.empty()) << out;
  EXPECT_TRUE(Has(out, "Certificate: " + cert.string() + "\n")) << out;
  EXPECT_TRUE(Has(out, "SPKI SHA-256: ")) << out;
  EXPECT_TRUE(Has(out, "cvie https on")) << out;
  std::string key_text;
  ASSERT_TRUE(ReadFile(key, &key_text));
  EXPECT_FALSE(Has(out, key_text.substr(28, 40))) << "the key was printed";
  struct stat st;
  ASSERT_EQ(0, stat(key.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  std::string pem;
  ASSERT_TRUE(ReadFile(cert, &pem));
  // Export to stdout (alone, without the messages) and to a file.
  std::string exported;
  ASSERT_EQ(0, Run("ca export", &exported, false));
  EXPECT_EQ(pem, exported);
  const fs::path file = root_.path() / "copy.pem";
  ASSERT_EQ(0, Run("ca export '" + file.string() + "'", &out)) << out;
  ASSERT_TRUE(ReadFile(file, &exported));
  EXPECT_EQ(pem, exported);

  std::string show;
  ASSERT_EQ(0, Run("ca show", &show)) << show;
  EXPECT_TRUE(Has(show, "CN = Corvane Filter Local CA")) << show;
  EXPECT_TRUE(Has(show, "Valid until: ")) << show;
  // The hash printed at creation is the one shown.
  const size_t p = created.find("SPKI SHA-256: ");
  ASSERT_NE(std::string::npos, p);
  const std::string hash_line = created.substr(p, created.find('\n', p) - p);
  EXPECT_EQ(14u + 44u, hash_line.size()) << hash_line;
  EXPECT_TRUE(Has(show, hash_line + "\n")) << show;

  // A second create fails and keeps the first CA.
  EXPECT_EQ(1, Run("ca create", &out));
  EXPECT_TRUE(Has(out, "cvie: a local CA already exists")) << out;
  std::string after;
  ASSERT_TRUE(ReadFile(cert, &after));
  EXPECT_EQ(pem, after);

  ASSERT_EQ(0, Run("ca remove", &out)) << out;
  EXPECT_TRUE(Has(out, "Removed " + cert.string())) << out;
  EXPECT_TRUE(Has(out, "Removed " + key.string())) << out;
  EXPECT_TRUE(Has(out, "from your browser")) << out;
  EXPECT_FALSE(fs::exists(cert));
  EXPECT_FALSE(fs::exists(key));
  ASSERT_EQ(0, Run("ca remove", &out)) << out;
  EXPECT_TRUE(Has(out, "no local CA to remove")) << out;
  EXPECT_EQ(1, Run("ca show", &out));
}

TEST_F(CmdCaTest, CreateRefusesBadValidity) {
  struct Case {
    const char* args;
    const char* message;
  };
  const Case cases[] = {
      {"ca create --days 0", "cvie: --days must be 1 to 3650"},
      {"ca create --days 3651", "cvie: --days must be 1 to 3650"},
      {"ca create --days -1", "--days"},
      {"ca create --days many", "--days"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_NE(0, Run(c.args, &out)) << c.args;
    EXPECT_TRUE(Has(out, c.message)) << c.args << ": " << out;
    EXPECT_TRUE(Find("local-ca.key").empty()) << c.args;
  }
}

TEST_F(CmdCaTest, HttpsOnOffAndBadArgument) {
  struct Step {
    const char* args;
    int status;
    const char* output;
  };
  const Step steps[] = {
      {"https", 0, "HTTPS filtering is off.\n"},
      {"https on", 0, "run cvie ca create first"},
      {"https", 0,
       "HTTPS filtering is on, but there is no local CA: secure sites are tunnelled"},
      {"https off", 0, "HTTPS filtering is off"},
      {"https", 0, "HTTPS filtering is off.\n"},
      {"https maybe", 2, "cvie: unknown state \"maybe\": use on or off\n"},
      {"https", 0, "HTTPS filtering is off.\n"},
      {"ca create", 0, "SPKI SHA-256"},
      {"https on", 0, "HTTPS filtering is on.\n"},
      {"https", 0, "HTTPS filtering is on.\n"},
  };
  for (const Step& s : steps) {
    std::string out;
    EXPECT_EQ(s.status, Run(s.args, &out)) << s.args << ": " << out;
    EXPECT_TRUE(Has(out, s.output)) << s.args << ": " << out;
  }
  // With a CA there is no warning.
  std::string out;
  ASSERT_EQ(0, Run("https on", &out));
  EXPECT_FALSE(Has(out, "warning")) << out;
  // Switching on made the passthrough list, named in the output.
  const fs::path list = Find("https-passthrough.txt");
  ASSERT_FALSE(list.empty());
  EXPECT_TRUE(Has(out, list.string())) << out;
  // A key that others may read is not used: the state says so.
  const fs::path key = Find("local-ca.key");
  ASSERT_FALSE(key.empty());
  fs::permissions(key, fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::add);
  ASSERT_EQ(0, Run("https", &out));
  EXPECT_TRUE(Has(out, "is open to group or other users")) << out;
  EXPECT_TRUE(Has(out, "secure sites are tunnelled unfiltered")) << out;
}

}  // namespace
}  // namespace cvie::testing
