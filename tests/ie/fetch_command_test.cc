// cvie fetch, run as a user would under the test's own CVIE_ROOT: pages come
// out as the browser side reads them, decisions are explained on request,
// and failures end with one line.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "ie/ie_test_support.h"
#include "platform/text.h"
#include "rules/rule_file.h"
#include "urlmon/http_test_server.h"

using namespace cvie;
using namespace cvie::testing;

namespace {

namespace fs = std::filesystem;

struct CommandRun {
  int status = -1;
  std::string out;
  std::string err;
};

class FetchCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetOptions();  // the expected pages are made with the default options
    root_ = std::make_unique<ScopedCvieRoot>();
    WriteFile(root_->path() / "ad.html", kAdPage);
    server_ = std::make_unique<HttpTestServer>([](const ServerRequest&, Responder& out) {
      out.Send(MakeResponse(200, "OK", {{"Content-Type", "text/html"}}, kAdPage));
    });
    ASSERT_TRUE(server_->ok());
  }
  void TearDown() override {
    server_.reset();
    root_.reset();
  }

  // Installs the test rules as this root's rule file through the program.
  void InstallTestRules() {
    const fs::path plain = root_->path() / "rules.txt";
    const fs::path enciphered = root_->path() / "rules.rle";
    WriteFile(plain, kTestRuleText);
    ASSERT_EQ(EncipherRuleFile(plain.string(), enciphered.string(), '1', '0'), 0);
    CommandRun install = Cvie("rules install '" + enciphered.string() + "'");
    ASSERT_EQ(install.status, 0) << install.err;
  }

  CommandRun Cvie(const std::string& args) {
    CommandRun run;
    const fs::path err = root_->path() / "stderr.txt";
    run.status = RunCommand(
        "'" + CvieExecutable().string() + "' " + args + " 2>'" + err.string() + "'",
        &run.out);
    ReadFile(err, &run.err);
    return run;
  }

  std::string FileUrl() const { return "file://" + (root_->path() / "ad.html").string(); }
  std::string HttpUrl() const { return platform::ToNarrow(server_->Url("/ad.html")); }

  std::unique_ptr<ScopedCvieRoot> root_;
  std::unique_ptr<HttpTestServer> server_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

TEST_F(FetchCommandTest, PagesComeOutAsTheOptionsAndWhitelistSay) {
  InstallTestRules();
  const std::string filtered = EditedWithStoredOptions(kAdPage, TestRules());
  ASSERT_NE(filtered, kAdPage);
  struct FetchCase {
    const char* name;
    std::vector<std::string> before;  // cvie commands run first
    bool http;
    bool filtered;
  };
  const FetchCase cases[] = {
      {"http page", {}, true, true},
      {"file page", {}, false, true},
      {"site on the whitelist", {"whitelist add 127.0.0.1"}, true, false},
      {"site taken off again", {"whitelist remove 127.0.0.1"}, true, true},
      {"page on the whitelist", {"whitelist add " + HttpUrl()}, true, false},
      {"page taken off again", {"whitelist remove " + HttpUrl()}, true, true},
      {"file page, BlockAdsOnLocalPage 0",
       {"options set BlockAdsOnLocalPage 0"},
       false,
       false},
      {"file page, BlockAdsOnLocalPage 1",
       {"options set BlockAdsOnLocalPage 1"},
       false,
       true},
      {"Enable Corvane 0", {"options set 'Enable Corvane' 0"}, true, false},
  };
  for (const FetchCase& c : cases) {
    for (const std::string& command : c.before) {
      CommandRun setup = Cvie(command);
      ASSERT_EQ(setup.status, 0) << c.name << ": " << command << ": " << setup.err;
    }
    CommandRun run = Cvie("fetch '" + (c.http ? HttpUrl() : FileUrl()) + "'");
    EXPECT_EQ(run.status, 0) << c.name << ": " << run.err;
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_EQ(run.out, c.filtered ? filtered : std::string(kAdPage)) << c.name;
  }
}

TEST_F(FetchCommandTest, ExplainWritesOneLinePerDecision) {
  InstallTestRules();
  CommandRun run = Cvie("fetch --explain '" + FileUrl() + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, EditedWithStoredOptions(kAdPage, TestRules()));
  const std::vector<std::string> lines = Lines(run.err);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    size_t first = line.find('\t');
    size_t second = line.find('\t', first + 1);
    ASSERT_NE(second, std::string::npos) << line;
    EXPECT_EQ(line.find('\t', second + 1), std::string::npos) << line;
    const std::string verdict = line.substr(second + 1);
    EXPECT_TRUE(verdict == "blocked" || verdict == "allowed") << line;
  }
  auto has = [&lines](const std::string& line) {
    for (const std::string& l : lines) {
      if (l == line) return true;
    }
    return false;
  };
  EXPECT_TRUE(has("script\thttp://adserver.example/show.js\tblocked")) << run.err;
  EXPECT_TRUE(has("image\thttp://cdn.example/photo.jpg\tallowed")) << run.err;
}

TEST_F(FetchCommandTest, FailuresEndWithOneLine) {
  InstallTestRules();
  const std::string unreachable =
      "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/page.html";
  struct FailCase {
    const char* name;
    std::string url;
  };
  const FailCase cases[] = {
      {"unknown scheme", "gopher://example/"},
      {"nothing listens", unreachable},
      {"missing file", "file://" + (root_->path() / "no-such.html").string()},
      {"not an address", "just some words"},
  };
  for (const FailCase& c : cases) {
    CommandRun run = Cvie("fetch '" + c.url + "'");
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_EQ(run.out, "") << c.name;
    ASSERT_EQ(Lines(run.err).size(), 1u) << c.name << ": " << run.err;
    EXPECT_EQ(run.err.rfind("cvie: ", 0), 0u) << c.name << ": " << run.err;
  }
}

TEST_F(FetchCommandTest, WithoutARuleFileTheBundledOneIsInstalled) {
  CommandRun run = Cvie("fetch '" + FileUrl() + "'");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("installed the bundled one"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::exists(root_->path() / "share" / "Corvane" / "cvie.rle"));
  // Whatever the bundled rules block, the page's text comes through.
  EXPECT_NE(run.out.find("Top story of the day"), std::string::npos);
  // The second run finds the installed file and says nothing.
  CommandRun again = Cvie("fetch '" + FileUrl() + "'");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(again.out, run.out);
}

TEST_F(FetchCommandTest, ARuleFileThatFailsItsCheckStopsTheFetch) {
  WriteFile(root_->path() / "share" / "Corvane" / "cvie.rle", "not a rule file at all\n");
  CommandRun run = Cvie("fetch '" + FileUrl() + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
  EXPECT_NE(run.err.find("fails its check"), std::string::npos) << run.err;
}

}  // namespace
