// The HTTPS switch and the list of hosts whose secure connections are never
// opened.

#include "https/https_settings.h"

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "config/options.h"
#include "platform/data_folders.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace cvie::https {
namespace {

namespace fs = std::filesystem;
using cvie::testing::ReadFile;
using cvie::testing::ScopedCvieRoot;
using cvie::testing::WriteFile;

class HttpsSettingsTest : public ::testing::Test {
 protected:
  HttpsSettingsTest() { platform::ResetDataFolderCacheForTesting(); }
  ~HttpsSettingsTest() override { platform::ResetDataFolderCacheForTesting(); }
  ScopedCvieRoot root_;
};

TEST_F(HttpsSettingsTest, InspectHttpsIsOffUntilSwitchedOn) {
  EXPECT_FALSE(InspectHttpsEnabled());
  std::string error;
  ASSERT_TRUE(SetInspectHttps(true, &error)) << error;
  EXPECT_TRUE(InspectHttpsEnabled());
  // Stored as a REG_DWORD next to the filter options.
  DWORD value = 7;
  ASSERT_EQ(platform::ERROR_SUCCESS,
            platform::RegGetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                                  L"InspectHttps", &value));
  EXPECT_EQ(1u, value);
  ASSERT_TRUE(SetInspectHttps(false, &error)) << error;
  EXPECT_FALSE(InspectHttpsEnabled());
  ASSERT_EQ(platform::ERROR_SUCCESS,
            platform::RegGetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                                  L"InspectHttps", &value));
  EXPECT_EQ(0u, value);

  // Any non-zero value written by hand counts as on; a value of another type
  // as off.
  ASSERT_EQ(platform::ERROR_SUCCESS,
            platform::RegSetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                                  L"InspectHttps", 5));
  EXPECT_TRUE(InspectHttpsEnabled());
  ASSERT_EQ(platform::ERROR_SUCCESS,
            platform::RegSetString(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                                   L"InspectHttps", L"1"));
  EXPECT_FALSE(InspectHttpsEnabled());
}

TEST_F(HttpsSettingsTest, PassthroughFileIsMadeOnceWithItsExplanation) {
  const fs::path path = platform::ToNarrow(HttpsPassthroughPath());
  EXPECT_EQ("https-passthrough.txt", path.filename());
  EXPECT_EQ(fs::path(platform::ToNarrow(platform::UserFolderPath())), path.parent_path());
  ASSERT_FALSE(fs::exists(path));

  std::string error;
  ASSERT_TRUE(EnsurePassthroughFile(&error)) << error;
  std::string text;
  ASSERT_TRUE(ReadFile(path, &text));
  EXPECT_NE(std::string::npos,
            text.find("# Hosts listed here are never filtered over HTTPS: the proxy "
                      "tunnels their\n# secure connections untouched."))
      << text;
  EXPECT_NE(std::string::npos, text.find("# www.mybank.example\n")) << text;
  // Only comments: the fresh list is empty.
  HttpsPassthroughList list;
  ASSERT_TRUE(list.Load(path));
  EXPECT_EQ(0u, list.size());
  EXPECT_FALSE(list.Contains("www.mybank.example"));

  // A list the user wrote is never replaced.
  WriteFile(path, "bank.example\n");
  ASSERT_TRUE(EnsurePassthroughFile(&error)) << error;
  ASSERT_TRUE(ReadFile(path, &text));
  EXPECT_EQ("bank.example\n", text);
}

TEST_F(HttpsSettingsTest, PassthroughLinesAndLookups) {
  HttpsPassthroughList list;
  list.Parse(
      "# comment line\n"
      "\n"
      "   www.MyBank.example   \r\n"
      "login.bank.example.  # the sign-in host\n"
      "*.pay.example\n"
      "https://Portal.Insure.example:8443/start?x=1\n"
      "10.0.0.8\n"
      "[2001:DB8::7]:443\n"
      "::1\n"
      "two words.example\n"
      "*\n"
      "\t#indented comment.example\n");
  struct Case {
    const char* host;
    bool listed;
  };
  const Case cases[] = {
      {"www.mybank.example", true},
      {"WWW.MYBANK.EXAMPLE", true},
      {"www.mybank.example.", true},
      {"mybank.example", false},  // exact match only
      {"evil-www.mybank.example", false},
      {"sub.www.mybank.example", false},
      {"login.bank.example", true},
      {"pay.example", true},  // "*.": the domain itself
      {"shop.pay.example", true},
      {"a.b.pay.example", true},
      {"notpay.example", false},
      {"pay.example.evil", false},
      {"portal.insure.example", true},
      {"10.0.0.8", true},
      {"10.0.0.80", false},
      {"2001:db8::7", true},
      {"[2001:db8::7]", true},
      {"::1", true},
      {"two", false},
      {"words.example", false},
      {"indented", false},
      {"comment.example", false},
      {"anything.example", false},  // a bare "*" lists nothing
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.listed, list.Contains(c.host)) << "'" << c.host << "'";
  }
  EXPECT_EQ(7u, list.size());
}

TEST_F(HttpsSettingsTest, HostNormalization) {
  struct Case {
    const char* text;
    const char* host;
  };
  const Case cases[] = {
      {"Example.COM", "example.com"},
      {"example.com.", "example.com"},
      {"http://user:pw@Example.com:80/path", "example.com"},
      {"example.com:443", "example.com"},
      {"[::1]:8443", "::1"},
      {"[::1", ""},
      {"fe80::1", "fe80::1"},
      {"bad host", ""},
      {".example.com", ""},
      {"exa*mple.com", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.host, NormalizePassthroughHost(c.text)) << "'" << c.text << "'";
  }
}

TEST_F(HttpsSettingsTest, MissingFileIsAnEmptyList) {
  HttpsPassthroughList list;
  EXPECT_TRUE(list.Load(root_.path() / "no-such-file.txt"));
  EXPECT_EQ(0u, list.size());
  EXPECT_FALSE(list.Contains("www.mybank.example"));
  // A folder where the file should be cannot be read.
  fs::create_directories(root_.path() / "folder.txt");
  EXPECT_FALSE(list.Load(root_.path() / "folder.txt"));
  EXPECT_EQ(0u, list.size());
}

TEST_F(HttpsSettingsTest, LoadIfChangedRereadsOnlyAChangedFile) {
  const fs::path path = root_.path() / "passthrough.txt";
  auto first = HttpsPassthroughList::LoadIfChanged(path, nullptr);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(0u, first->size());
  EXPECT_EQ(first, HttpsPassthroughList::LoadIfChanged(path, first));

  WriteFile(path, "a.example\n");
  auto second = HttpsPassthroughList::LoadIfChanged(path, first);
  EXPECT_NE(first, second);
  EXPECT_TRUE(second->Contains("a.example"));
  EXPECT_EQ(second, HttpsPassthroughList::LoadIfChanged(path, second));

  // A change of the same length in the same instant still counts once the
  // time differs.
  WriteFile(path, "b.example\n");
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(2));
  auto third = HttpsPassthroughList::LoadIfChanged(path, second);
  EXPECT_NE(second, third);
  EXPECT_TRUE(third->Contains("b.example"));
  EXPECT_FALSE(third->Contains("a.example"));
  // The old list is untouched for whoever still holds it.
  EXPECT_TRUE(second->Contains("a.example"));

  fs::remove(path);
  auto fourth = HttpsPassthroughList::LoadIfChanged(path, third);
  EXPECT_NE(third, fourth);
  EXPECT_EQ(0u, fourth->size());
}

TEST_F(HttpsSettingsTest, ConcurrentLookupsInOneList) {
  HttpsPassthroughList list;
  std::string text;
  for (int i = 0; i < 200; ++i) text += "host" + std::to_string(i) + ".example\n";
  text += "*.bank.example\n";
  list.Parse(text);
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const int n = (i + t) % 400;
        const bool expected = n < 200;
        if (list.Contains("host" + std::to_string(n) + ".example") != expected)
          ++wrong[t];
        if (!list.Contains("x" + std::to_string(n) + ".bank.example")) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(0, wrong[t]) << "thread " << t;
}

}  // namespace
}  // namespace cvie::https
