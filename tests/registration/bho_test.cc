// The browser helper object: start and stop sequences, event logging, the
// first-open marker.

#include "ie/bho.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "comm/user_identity.h"
#include "config/options.h"
#include "ie/host_process.h"
#include "ie/ie_guids.h"
#include "ie/mime_filter.h"
#include "ie/ns_handler.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "registration/registration_fixture.h"
#include "rules/rule_file.h"
#include "rules/rule_loading.h"
#include "ui/toolbar_cfg.h"
#include "whitelist/whitelist.h"

using namespace cvie;
using cvie::testing::FakeBrowser;
using cvie::testing::LogLinesWith;
using cvie::testing::RecordingStarter;

namespace {

class BhoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::CreateDataFolders();  // the log file needs its folder before the first line
    previous_ = SetUpdateCheckStarter(&starter_);
  }
  void TearDown() override { SetUpdateCheckStarter(previous_); }

  static ComPtr<IObjectWithSite> NewHelper() {
    ComPtr<IObjectWithSite> helper;
    EXPECT_EQ(CreateComInstance<CCVIEBHO>(IID_IObjectWithSite, helper.OutVoid()), S_OK);
    return helper;
  }

  RecordingStarter starter_;
  UpdateCheckStarter* previous_ = nullptr;
};

// A site that is not a web browser.
class PlainSite : public ComObject<IServiceProvider> {
 public:
  PlainSite() : ComObject(false) {}
  HRESULT QueryService(const GUID&, REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    return iid == IID_IServiceProvider ? static_cast<IServiceProvider*>(this) : nullptr;
  }
};

void WriteWhitelistFile(const std::string& text) {
  std::string path(platform::WhitelistFilePath().begin(),
                   platform::WhitelistFilePath().end());
  cvie::testing::WriteFile(path, text);
}

TEST_F(BhoTest, TwoWindowsStartAndStopInTurn) {
  FakeBrowser browser;
  WriteWhitelistFile("first.example\r\n");
  ComPtr<CBrowserWindow> window_a = CBrowserWindow::Create(&browser);
  ComPtr<CBrowserWindow> window_b = CBrowserWindow::Create(&browser);
  ComPtr<IObjectWithSite> a = NewHelper();
  ComPtr<IObjectWithSite> b = NewHelper();

  EXPECT_EQ(a->SetSite(static_cast<IWebBrowser2*>(window_a.Get())), S_OK);
  EXPECT_EQ(HtmlFilterRegistrationCount(), 1);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 1);
  EXPECT_EQ(window_a->SubscriberCount(), 1u);
  EXPECT_TRUE(Whitelist::Instance().Contains(L"first.example", true));

  // The second window reads the whitelist again.
  WriteWhitelistFile("second.example\r\n");
  EXPECT_EQ(b->SetSite(static_cast<IWebBrowser2*>(window_b.Get())), S_OK);
  EXPECT_EQ(HtmlFilterRegistrationCount(), 2);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 2);
  EXPECT_TRUE(Whitelist::Instance().Contains(L"second.example", true));
  EXPECT_FALSE(Whitelist::Instance().Contains(L"first.example", true));

  // No rule file is installed, so each start asks for a silent check.
  EXPECT_EQ(starter_.calls, (std::vector<std::string>{"run silent", "run silent"}));
  // Once per process: one version line, one identity.
  EXPECT_EQ(LogLinesWith("Version 2.2 compiled on ").size(), 1u);
  std::wstring uuid;
  EXPECT_EQ(
      platform::RegGetString(platform::HKEY_CURRENT_USER, kUserInfoKey, L"UUID", &uuid),
      platform::ERROR_SUCCESS);
  EXPECT_GT(uuid.size(), kMinStoredIdentifierLength);

  EXPECT_EQ(a->SetSite(nullptr), S_OK);
  EXPECT_EQ(window_a->SubscriberCount(), 0u);
  EXPECT_EQ(HtmlFilterRegistrationCount(), 1);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 1);
  EXPECT_EQ(b->SetSite(nullptr), S_OK);
  EXPECT_EQ(HtmlFilterRegistrationCount(), 0);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 0);

  // Starting again does not write the version line again.
  EXPECT_EQ(a->SetSite(static_cast<IWebBrowser2*>(window_a.Get())), S_OK);
  EXPECT_EQ(a->SetSite(nullptr), S_OK);
  EXPECT_EQ(LogLinesWith("Version 2.2 compiled on ").size(), 1u);
}

TEST_F(BhoTest, SiteWithoutWebBrowserFailsButStillStarts) {
  ComPtr<PlainSite> site(new PlainSite());
  ComPtr<IObjectWithSite> helper = NewHelper();
  EXPECT_EQ(helper->SetSite(site.Get()), E_FAIL);
  EXPECT_EQ(HtmlFilterRegistrationCount(), 1);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 1);
  EXPECT_EQ(starter_.calls.size(), 1u);
  EXPECT_EQ(static_cast<CCVIEBHO*>(helper.Get())->event_cookie(), 0u);

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(helper->GetSite(IID_IUnknown, &out), E_FAIL);
  EXPECT_EQ(out, nullptr);

  // Taking the site away without a subscription still stops.
  EXPECT_EQ(helper->SetSite(nullptr), S_OK);
  EXPECT_EQ(HtmlFilterRegistrationCount(), 0);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 0);
}

TEST_F(BhoTest, GetSiteAnswersFromTheWebBrowser) {
  ComPtr<IObjectWithSite> helper = NewHelper();
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(helper->GetSite(IID_IWebBrowser2, &out), E_FAIL);
  EXPECT_EQ(out, nullptr);

  FakeBrowser browser;
  ComPtr<CBrowserWindow> window = CBrowserWindow::Create(&browser);
  ASSERT_EQ(helper->SetSite(static_cast<IWebBrowser2*>(window.Get())), S_OK);
  IWebBrowser2* answer = nullptr;
  EXPECT_EQ(helper->GetSite(IID_IWebBrowser2, reinterpret_cast<void**>(&answer)), S_OK);
  EXPECT_EQ(answer, static_cast<IWebBrowser2*>(window.Get()));
  if (answer) answer->Release();
  EXPECT_EQ(helper->GetSite(IID_IOleCommandTarget, &out), E_NOINTERFACE);
  helper->SetSite(nullptr);
}

TEST_F(BhoTest, GoodRuleFileOnlyChecksTheVersionFile) {
  // A rule file built by the program's own writer passes its check, so the
  // start asks only for the version-file test, not for a silent update.
  std::string text_path = (cvie::testing::TestRoot() / "rules.txt").string();
  cvie::testing::WriteFile(text_path, "/banner/*.gif\n||ads.example^\n");
  std::string rule_path(platform::RuleFilePath().begin(), platform::RuleFilePath().end());
  ASSERT_EQ(EncipherRuleFile(text_path, rule_path, '1', '0'), 0);
  ASSERT_NE(CheckRuleFile(platform::RuleFilePath()), -1);

  FakeBrowser browser;
  BrowserHelperWindow window(&browser);
  ASSERT_EQ(window.Start(), S_OK);
  EXPECT_EQ(window.Stop(), S_OK);
  EXPECT_EQ(starter_.calls, (std::vector<std::string>{"check version file"}));
  EXPECT_NE(ProcessRules(), nullptr);
}

TEST_F(BhoTest, BeforeNavigate2WritesOneNoticeLine) {
  FakeBrowser browser;
  BrowserHelperWindow window(&browser);
  ASSERT_EQ(window.Start(), S_OK);
  EXPECT_EQ(window.FireBeforeNavigate2(L"http://news.example/page?id=7"), 1);
  std::vector<std::string> lines = LogLinesWith("DISPID_");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" L30 DISPID_BEFORENAVIGATE2: http://news.example/page?id=7"),
            std::string::npos)
      << lines[0];
  EXPECT_EQ(window.Stop(), S_OK);
  EXPECT_EQ(window.FireBeforeNavigate2(L"http://news.example/other"), 0);
  EXPECT_EQ(LogLinesWith("DISPID_").size(), 1u);
}

TEST_F(BhoTest, OtherEventsWriteNothingAtTheLogThreshold) {
  const DISPID kEvents[] = {100, 101, 104, 106, 107,  200,  201, 204, 251,
                            252, 259, 270, 2,   -602, 2000, 0,   999};
  ComPtr<IObjectWithSite> helper = NewHelper();
  IDispatch* sink = static_cast<CCVIEBHO*>(helper.Get());
  for (DISPID id : kEvents) {
    DISPPARAMS params;
    EXPECT_EQ(sink->Invoke(id, IID_IUnknown, 0, DISPATCH_METHOD, &params, nullptr,
                           nullptr, nullptr),
              S_OK)
        << id;
  }
  EXPECT_TRUE(LogLinesWith("DISPID_").empty());
}

TEST_F(BhoTest, BeforeNavigate2WithMalformedArgumentsLogsAnEmptyAddress) {
  ComPtr<IObjectWithSite> helper = NewHelper();
  IDispatch* sink = static_cast<CCVIEBHO*>(helper.Get());
  VARIANT args[2];
  DISPPARAMS params;
  params.rgvarg = args;
  params.cArgs = 2;  // too few to hold the address
  EXPECT_EQ(sink->Invoke(DISPID_BEFORENAVIGATE2, IID_IUnknown, 0, DISPATCH_METHOD,
                         &params, nullptr, nullptr, nullptr),
            S_OK);
  std::vector<std::string> lines = LogLinesWith("DISPID_BEFORENAVIGATE2:");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 24), "DISPID_BEFORENAVIGATE2: ");
}

struct FirstOpenCase {
  const char* name;
  DWORD stored;
  bool browser;
  DWORD expected;
};
const FirstOpenCase kFirstOpenCases[] = {
    {"marker 3 in the browser", 3, true, 2},
    {"marker 0 in the browser", 0, true, 0},
    {"marker 2 in the browser", 2, true, 2},
    {"marker 3 outside the browser", 3, false, 3},
};

TEST_F(BhoTest, FirstOpenMarkerLosesBitZeroInTheBrowserOnly) {
  for (const FirstOpenCase& c : kFirstOpenCases) {
    ASSERT_EQ(platform::RegSetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                                    L"FirstOpen", c.stored),
              platform::ERROR_SUCCESS);
    platform::DeclareBrowserProcess(c.browser);
    ResetBrowserProcessForTesting();
    FakeBrowser browser;
    BrowserHelperWindow window(&browser);
    window.Start();
    window.Stop();
    DWORD now = 99;
    EXPECT_EQ(platform::RegGetDword(platform::HKEY_CURRENT_USER, kOptionsKeyPath,
                                    L"FirstOpen", &now),
              platform::ERROR_SUCCESS)
        << c.name;
    EXPECT_EQ(now, c.expected) << c.name;
  }
  platform::DeclareBrowserProcess(false);
  ResetBrowserProcessForTesting();
}

}  // namespace

namespace {

// The proxy's workers report navigations while the window is stopped and
// started again on another thread.
TEST_F(BhoTest, ConcurrentNavigationsWhileTheWindowStopsAndStarts) {
  FakeBrowser browser;
  BrowserHelperWindow window(&browser);
  ASSERT_EQ(window.Start(), S_OK);
  std::atomic<int> delivered{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&window, &delivered, t] {
      for (int i = 0; i < 50; ++i)
        delivered += window.FireBeforeNavigate2(L"http://w" + std::to_wstring(t) +
                                                L".example/" + std::to_wstring(i));
    });
  }
  for (int i = 0; i < 10; ++i) {
    window.Stop();
    window.Start();
  }
  for (std::thread& w : workers) w.join();
  window.Stop();
  EXPECT_EQ(HtmlFilterRegistrationCount(), 0);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 0);
  // Every event that reached the helper object wrote its line, whole.
  std::vector<std::string> lines = LogLinesWith("DISPID_BEFORENAVIGATE2: http://w");
  EXPECT_EQ(static_cast<int>(lines.size()), delivered.load());
  for (const std::string& line : lines)
    EXPECT_NE(line.find(".example/"), std::string::npos) << line;
}

}  // namespace
