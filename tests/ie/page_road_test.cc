// The whole road of a page inside one process: a rule file installed under
// the test's CVIE_ROOT and prepared as the process-wide rules, the filter and
// the namespace handler registered in the session, and real addresses bound
// through it: file:// pages and pages of a local HTTP server.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/test_support.h"
#include "config/options.h"
#include "ie/ie_test_support.h"
#include "ie/mime_filter.h"
#include "ie/ns_handler.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "platform/urlmon_binding.h"
#include "platform/urlmon_testing.h"
#include "rules/rule_file.h"
#include "rules/rule_loading.h"
#include "urlmon/http_test_server.h"

using namespace cvie;
using namespace cvie::testing;

namespace {

namespace fs = std::filesystem;

// Installs the test rules as the rule file and prepares the process's rules
// from it (once per process: the process-wide rules are never replaced).
RulesHolder* InstalledRules() {
  if (!ProcessRules()) {
    platform::CreateDataFolders();
    const fs::path plain = TestRoot() / "road_rules.txt";
    WriteFile(plain, kTestRuleText);
    if (EncipherRuleFile(plain.string(), platform::ToNarrow(platform::RuleFilePath()),
                         '1', '0') != 0)
      return nullptr;
    PrepareRules();
  }
  RulesHolder* rules = ProcessRules();
  return rules && rules->loaded() ? rules : nullptr;
}

std::string Utf16(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string Page250() {
  std::string page = "<html><body><p>";
  const std::string tail = "</p></body></html>";
  page += std::string(250 - page.size() - tail.size(), 'y');
  return page + tail;
}

class PageRoadTest : public BrowserProcessTest {
 protected:
  void SetUp() override {
    BrowserProcessTest::SetUp();
    rules_ = InstalledRules();
    ASSERT_NE(rules_, nullptr) << "the installed rule file did not load";
    SetHtmlFilterRules(nullptr);  // the process-wide rules, as the program has them
    ClearInternetSessionForTesting();
    ASSERT_EQ(RegisterHtmlFilter(), S_OK);
    ASSERT_EQ(RegisterNamespaceHandler(), S_OK);
    server_ = std::make_unique<HttpTestServer>(
        [this](const ServerRequest& request, Responder& out) { Serve(request, out); });
    ASSERT_TRUE(server_->ok());
    pages_ = TestRoot() / "pages";
    WriteFile(pages_ / "ad.html", kAdPage);
  }

  void TearDown() override {
    server_.reset();
    while (NamespaceHandlerRegistrationCount() > 0) UnregisterNamespaceHandler();
    while (HtmlFilterRegistrationCount() > 0) UnregisterHtmlFilter();
    ClearInternetSessionForTesting();
    BrowserProcessTest::TearDown();
  }

  void Serve(const ServerRequest& request, Responder& out) {
    std::string body = kAdPage;
    if (request.target == "/utf16.html") body = Utf16(kAdPage);
    if (request.target == "/page250.html") body = Page250();
    if (request.target.rfind("/together/", 0) == 0) {
      // Held until both requests of the two-thread test have arrived, so that
      // both addresses are recorded before either page is filtered.
      std::unique_lock<std::mutex> lock(mutex_);
      ++arrived_;
      cv_.notify_all();
      cv_.wait_for(lock, std::chrono::seconds(10), [this] { return arrived_ >= 2; });
    }
    out.Send(
        MakeResponse(200, "OK", {{"Content-Type", "text/html; charset=utf-8"}}, body));
  }

  std::wstring FileUrl(const std::string& name) const {
    return platform::ToWide("file://" + (pages_ / name).string());
  }

  // Binds `url` on the calling thread and reads the whole body.
  static std::string Fetch(const std::wstring& url, size_t piece_size = 0,
                           bool* filtered = nullptr) {
    BindRequest request;
    request.url = url;
    request.piece_size = piece_size;
    auto binding = Binding::Bind(request);
    std::string body;
    EXPECT_EQ(binding->ReadAll(&body), S_OK)
        << platform::ToNarrow(url) << ": " << binding->error_text();
    if (filtered) *filtered = binding->filtered();
    return body;
  }

  RulesHolder* rules_ = nullptr;
  std::unique_ptr<HttpTestServer> server_;
  fs::path pages_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int arrived_ = 0;
};

TEST_F(PageRoadTest, AdPagesComeOutFilteredUnlessExemptOrSwitchedOff) {
  struct RoadCase {
    const char* name;
    bool http;  // else the file page
    const char* server_path;
    std::vector<std::wstring> whitelist;
    int enable_corvane;
    int block_local;
    bool browser;
    bool filtered;
  };
  const std::wstring host = L"127.0.0.1";
  const std::wstring page_url = server_->Url("/ad.html");
  const RoadCase cases[] = {
      {"http ad page", true, "/ad.html", {}, 1, 1, true, true},
      {"site on the whitelist", true, "/ad.html", {host}, 1, 1, true, false},
      {"page on the whitelist", true, "/ad.html", {page_url}, 1, 1, true, false},
      {"another page than the listed one",
       true,
       "/ad.html?other",
       {page_url + L"#x"},
       1,
       1,
       true,
       true},
      {"Enable Corvane 0", true, "/ad.html", {}, 0, 1, true, false},
      {"outside the browser process", true, "/ad.html", {}, 1, 1, false, false},
      {"UTF-16 page", true, "/utf16.html", {}, 1, 1, true, false},
      {"file ad page", false, nullptr, {}, 1, 1, true, true},
      {"file page, BlockAdsOnLocalPage 0", false, nullptr, {}, 1, 0, true, false},
  };
  for (const RoadCase& c : cases) {
    ResetWhitelist(c.whitelist);
    SetOption(OPTION_ENABLE_CORVANE, c.enable_corvane);
    SetOption(OPTION_BLOCK_ADS_ON_LOCAL_PAGE, c.block_local);
    DeclareBrowser(c.browser);
    const std::wstring url = c.http ? server_->Url(c.server_path) : FileUrl("ad.html");
    const std::string original =
        std::string(c.server_path ? c.server_path : "") == "/utf16.html" ? Utf16(kAdPage)
                                                                         : kAdPage;
    bool through_filter = false;
    const std::string out = Fetch(url, 0, &through_filter);
    EXPECT_TRUE(through_filter) << c.name;
    EXPECT_EQ(GetThreadUrl(), url) << c.name;
    if (c.filtered) {
      EXPECT_EQ(out, EditedWithStoredOptions(original, rules_)) << c.name;
      EXPECT_EQ(out.find(kAdScriptUrl), std::string::npos) << c.name;
      EXPECT_NE(out.find("Top story of the day"), std::string::npos) << c.name;
    } else {
      EXPECT_EQ(out, original) << c.name;
    }
  }
}

TEST_F(PageRoadTest, APageInOneBytePiecesComesOutAsOneDeliveredWhole) {
  for (const std::wstring& url : {server_->Url("/ad.html"), FileUrl("ad.html")}) {
    const std::string whole = Fetch(url);
    const std::string pieces = Fetch(url, 1);
    EXPECT_EQ(pieces, whole) << platform::ToNarrow(url);
    EXPECT_EQ(whole, EditedWithStoredOptions(kAdPage, rules_)) << platform::ToNarrow(url);
  }
}

TEST_F(PageRoadTest, ReadsOfAHundredBytesGive100_100_50ThenTheEnd) {
  BindRequest request;
  request.url = server_->Url("/page250.html");
  auto binding = Binding::Bind(request);
  ASSERT_EQ(binding->result(), S_OK);
  ASSERT_TRUE(binding->filtered());
  std::vector<std::pair<HRESULT, ULONG>> answers;
  std::string body;
  for (int guard = 0; guard < 10000; ++guard) {
    char buffer[100];
    ULONG n = 0;
    HRESULT hr = binding->Read(buffer, sizeof buffer, &n);
    if (hr == E_PENDING) {
      ASSERT_EQ(binding->Wait(), S_OK);
      continue;
    }
    answers.emplace_back(hr, n);
    body.append(buffer, hr == S_OK ? n : 0);
    if (hr != S_OK) break;
  }
  const std::vector<std::pair<HRESULT, ULONG>> expected = {
      {S_OK, 100}, {S_OK, 100}, {S_OK, 50}, {S_FALSE, 0}};
  EXPECT_EQ(answers, expected);
  EXPECT_EQ(body, Page250());
}

TEST_F(PageRoadTest, TwoThreadsBindingAtOnceEachGetTheirOwnPageAddress) {
  const std::wstring listed = server_->Url("/together/a.html");
  const std::wstring other = server_->Url("/together/b.html");
  ResetWhitelist({listed});  // this page only is exempt
  std::string listed_out, other_out;
  std::wstring listed_seen, other_seen;
  std::thread a([&] {
    listed_out = Fetch(listed);
    listed_seen = GetThreadUrl();
  });
  std::thread b([&] {
    other_out = Fetch(other);
    other_seen = GetThreadUrl();
  });
  a.join();
  b.join();
  EXPECT_EQ(arrived_, 2);
  EXPECT_EQ(listed_seen, listed);
  EXPECT_EQ(other_seen, other);
  EXPECT_EQ(listed_out, kAdPage) << "the listed page must pass unchanged";
  EXPECT_EQ(other_out, EditedWithStoredOptions(kAdPage, rules_))
      << "the other page must be filtered";
}

TEST_F(PageRoadTest, ThreadsFilteringManyPagesConcurrently) {
  ResetWhitelist({L"/keep/"});
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  const std::string filtered = EditedWithStoredOptions(kAdPage, rules_);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const bool keep = (t + i) % 2 == 0;
        const std::wstring url = server_->Url(std::string(keep ? "/keep/" : "/page/") +
                                              std::to_string(t * 10 + i));
        const std::string out = Fetch(url);
        if (out != (keep ? std::string(kAdPage) : filtered)) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
