// The namespace handler: what each call answers, the page address table per
// thread, the counted registration in the session, and the handler on the
// road of real requests.

#include "ie/ns_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/options.h"
#include "ie/ie_guids.h"
#include "ie/ie_test_support.h"
#include "platform/text.h"
#include "platform/urlmon_binding.h"
#include "platform/urlmon_testing.h"
#include "urlmon/http_test_server.h"

using namespace cvie;
using namespace cvie::testing;

namespace {

ComPtr<CNSHandler> NewHandler() { return ComPtr<CNSHandler>(new CNSHandler()); }

class NSHandlerTest : public BrowserProcessTest {
 protected:
  void SetUp() override {
    BrowserProcessTest::SetUp();
    ClearInternetSessionForTesting();
    SetInternetSessionAvailableForTesting(true);
    while (NamespaceHandlerRegistrationCount() > 0) UnregisterNamespaceHandler();
  }
  void TearDown() override {
    while (NamespaceHandlerRegistrationCount() > 0) UnregisterNamespaceHandler();
    SetInternetSessionAvailableForTesting(true);
    ClearInternetSessionForTesting();
    BrowserProcessTest::TearDown();
  }

  static size_t SchemesRegistered() {
    return CountNameSpaceRegistrations(L"http") + CountNameSpaceRegistrations(L"https") +
           CountNameSpaceRegistrations(L"file");
  }
};

TEST_F(NSHandlerTest, StartRecordsTheAddressAndDeclines) {
  auto handler = NewHandler();
  ComPtr<RecordingSink> sink(new RecordingSink());
  EXPECT_EQ(handler->Start(L"https://www.example.com/a?b=c", sink.Get(), nullptr, 0, 0),
            INET_E_USE_DEFAULT_PROTOCOLHANDLER);
  EXPECT_EQ(GetThreadUrl(), L"https://www.example.com/a?b=c");
  // The sink is neither used nor kept.
  EXPECT_TRUE(sink->notes.empty());
  EXPECT_EQ(sink->AddRef(), 2u);
  sink->Release();
}

TEST_F(NSHandlerTest, EveryOtherCallOnlyAnswers) {
  auto handler = NewHandler();
  char buffer[16];
  ULONG read = 12345;
  PROTOCOLDATA data;
  LARGE_INTEGER move{};
  struct CallCase {
    const char* name;
    HRESULT result;
    HRESULT expected;
  };
  const CallCase cases[] = {
      {"Continue", handler->Continue(&data), S_OK},
      {"Abort", handler->Abort(E_ABORT, 0), S_OK},
      {"Terminate", handler->Terminate(0), S_OK},
      {"Suspend", handler->Suspend(), S_OK},
      {"Resume", handler->Resume(), S_OK},
      {"Read", handler->Read(buffer, sizeof buffer, &read), S_FALSE},
      {"Seek", handler->Seek(move, 0, nullptr), S_OK},
      {"LockRequest", handler->LockRequest(0), S_OK},
      {"UnlockRequest", handler->UnlockRequest(), S_OK},
      {"Switch", handler->Switch(&data), S_OK},
      {"ReportProgress", handler->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"x"),
       S_OK},
      {"ReportData", handler->ReportData(BSCF_FIRSTDATANOTIFICATION, 1, 2), S_OK},
      {"ReportResult", handler->ReportResult(S_OK, 0, nullptr), S_OK},
  };
  for (const CallCase& c : cases) EXPECT_EQ(c.result, c.expected) << c.name;
  EXPECT_EQ(read, 12345u) << "Read must not write the count";
}

TEST_F(NSHandlerTest, AnswersItsInterfacesInOrderAndNoOthers) {
  auto handler = NewHandler();
  struct IidCase {
    const char* name;
    const IID* iid;
    bool answered;
  };
  const IidCase cases[] = {
      {"INSHandler", &IID_INSHandler, true},
      {"IDispatch", &IID_IDispatch, true},
      {"IInternetProtocol", &IID_IInternetProtocol, true},
      {"IInternetProtocolRoot", &IID_IInternetProtocolRoot, true},
      {"IInternetProtocolSink", &IID_IInternetProtocolSink, true},
      {"IUnknown", &IID_IUnknown, true},
      {"IClassFactory", &IID_IClassFactory, false},
      {"IHTMLMimeFilterPP", &IID_IHTMLMimeFilterPP, false},
  };
  for (const IidCase& c : cases) {
    void* object = nullptr;
    HRESULT hr = handler->QueryInterface(*c.iid, &object);
    EXPECT_EQ(SUCCEEDED(hr), c.answered) << c.name;
    EXPECT_EQ(object != nullptr, c.answered) << c.name;
    if (object) static_cast<IUnknown*>(object)->Release();
  }
  UINT count = 7;
  EXPECT_EQ(handler->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(handler->Invoke(1, IID_IUnknown, 0, DISPATCH_METHOD, nullptr, nullptr,
                            nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

TEST_F(NSHandlerTest, EnabledOnlyInTheBrowserWithFilteringOn) {
  struct EnabledCase {
    bool browser;
    int enable_corvane;
    bool enabled;
  };
  const EnabledCase cases[] = {
      {true, 1, true}, {true, 0, false}, {false, 1, false}, {true, 2, false}};
  int32_t previous = -1;
  for (const EnabledCase& c : cases) {
    DeclareBrowser(c.browser);
    SetOption(OPTION_ENABLE_CORVANE, c.enable_corvane);
    auto handler = NewHandler();
    EXPECT_EQ(handler->enabled(), c.enabled)
        << "browser " << c.browser << ", Enable Corvane " << c.enable_corvane;
    EXPECT_GT(handler->instance_number(), previous);
    previous = handler->instance_number();
  }
}

TEST_F(NSHandlerTest, EachThreadSeesItsOwnLastAddress) {
  auto handler = NewHandler();
  handler->Start(L"http://one.example/", nullptr, nullptr, 0, 0);
  handler->Start(L"http://two.example/", nullptr, nullptr, 0, 0);
  EXPECT_EQ(GetThreadUrl(), L"http://two.example/");

  std::wstring fresh_thread, busy_thread;
  std::thread([&] { fresh_thread = GetThreadUrl(); }).join();
  std::thread([&] {
    auto other = NewHandler();
    other->Start(L"file:///tmp/page.html", nullptr, nullptr, 0, 0);
    busy_thread = GetThreadUrl();
  }).join();
  EXPECT_EQ(fresh_thread, L"");
  EXPECT_EQ(busy_thread, L"file:///tmp/page.html");
  EXPECT_EQ(GetThreadUrl(), L"http://two.example/");
}

TEST_F(NSHandlerTest, AThreadsEntryGoesWithTheThread) {
  GetThreadUrl();  // this thread's entry exists from here on
  const size_t before = ThreadUrlEntryCount();
  size_t during = 0;
  std::thread([&] {
    SetThreadUrl(L"http://short.lived/");
    during = ThreadUrlEntryCount();
  }).join();
  EXPECT_EQ(during, before + 1);
  EXPECT_EQ(ThreadUrlEntryCount(), before);
}

// Many threads start requests at the same moment: each must read back the
// address it recorded last, never another thread's.
TEST_F(NSHandlerTest, ThreadUrlConcurrentThreadsEachKeepTheirOwn) {
  std::atomic<int> wrong{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      auto handler = NewHandler();
      for (int i = 0; i < 300; ++i) {
        std::wstring url =
            L"http://t" + std::to_wstring(t) + L".example/" + std::to_wstring(i);
        handler->Start(url.c_str(), nullptr, nullptr, 0, 0);
        if (GetThreadUrl() != url) ++wrong;
      }
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(NSHandlerTest, RegistersOncePerProcessAndWithdrawsWithTheLastWindow) {
  // First window, second window: the three schemes once.
  EXPECT_EQ(RegisterNamespaceHandler(), S_OK);
  EXPECT_EQ(SchemesRegistered(), 3u);
  EXPECT_EQ(CountNameSpaceRegistrations(L"https"), 1u);
  EXPECT_EQ(RegisterNamespaceHandler(), S_OK);
  EXPECT_EQ(SchemesRegistered(), 3u);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 2);
  // Closing one window keeps them; closing the second withdraws them.
  EXPECT_EQ(UnregisterNamespaceHandler(), S_OK);
  EXPECT_EQ(SchemesRegistered(), 3u);
  EXPECT_EQ(UnregisterNamespaceHandler(), S_OK);
  EXPECT_EQ(SchemesRegistered(), 0u);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 0);
  // A third window registers them again.
  EXPECT_EQ(RegisterNamespaceHandler(), S_OK);
  EXPECT_EQ(SchemesRegistered(), 3u);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 1);
}

TEST_F(NSHandlerTest, WithoutASessionNothingIsRegisteredAndTheNextStartTriesAgain) {
  SetInternetSessionAvailableForTesting(false);
  EXPECT_EQ(RegisterNamespaceHandler(), S_OK);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 0);
  EXPECT_EQ(SchemesRegistered(), 0u);
  SetInternetSessionAvailableForTesting(true);
  EXPECT_EQ(RegisterNamespaceHandler(), S_OK);
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 1);
  EXPECT_EQ(SchemesRegistered(), 3u);
}

TEST_F(NSHandlerTest, WithoutTheClassObjectRegistrationFailsAndCountsNothing) {
  ASSERT_TRUE(ComModule::Instance().RemoveClass(CLSID_NSHandler));
  HRESULT hr = RegisterNamespaceHandler();
  ComModule::Instance().AddClass(CLSID_NSHandler, &CreateComInstance<CNSHandler>,
                                 L"NSHandler Class");
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 0);
  EXPECT_EQ(SchemesRegistered(), 0u);
  EXPECT_EQ(RegisterNamespaceHandler(), S_OK);
  EXPECT_EQ(SchemesRegistered(), 3u);
}

// Windows opening and closing on their own threads: the schemes end up
// registered exactly while some window is open.
TEST_F(NSHandlerTest, RegistrationConcurrentWindowsOpenAndClose) {
  RegisterNamespaceHandler();  // a window that stays open throughout
  std::vector<std::thread> windows;
  for (int t = 0; t < 4; ++t) {
    windows.emplace_back([] {
      for (int i = 0; i < 100; ++i) {
        RegisterNamespaceHandler();
        UnregisterNamespaceHandler();
      }
    });
  }
  for (std::thread& t : windows) t.join();
  EXPECT_EQ(NamespaceHandlerRegistrationCount(), 1);
  EXPECT_EQ(SchemesRegistered(), 3u);
  UnregisterNamespaceHandler();
  EXPECT_EQ(SchemesRegistered(), 0u);
}

TEST_F(NSHandlerTest, EachRequestLogsOneStartLineAndIsFetchedUnchanged) {
  const std::string body = "<html><body>served as it is</body></html>";
  HttpTestServer server([&](const ServerRequest&, Responder& out) {
    out.Send(MakeResponse(200, "OK", {{"Content-Type", "text/html"}}, body));
  });
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(RegisterNamespaceHandler(), S_OK);

  static int serial = 0;
  const std::string tag = "/ns-log-" + std::to_string(++serial);
  struct RequestCase {
    std::wstring url;
    bool fetched;
  };
  const RequestCase cases[] = {
      {server.Url(tag + ".html"), true},
      // Nothing listens there; the handler still saw the request first.
      {L"https://127.0.0.1:" + std::to_wstring(UnusedPort()) + platform::ToWide(tag),
       false},
  };
  for (const RequestCase& c : cases) {
    BindRequest request;
    request.url = c.url;
    auto binding = Binding::Bind(request);
    std::string got;
    if (c.fetched) {
      ASSERT_EQ(binding->ReadAll(&got), S_OK) << platform::ToNarrow(c.url);
      EXPECT_EQ(got, body);
      EXPECT_FALSE(binding->served_by_namespace_handler());
    }
    EXPECT_EQ(GetThreadUrl(), c.url);
    // One line, the handler's, at level 30.
    const std::string line = "IIPR::Start - url=" + platform::ToNarrow(c.url) + ", sti=0";
    EXPECT_EQ(CountLogLines(line), 1) << line << "\n" << LogText();
    const std::string text = LogText();
    const size_t at = text.find(line);
    ASSERT_NE(at, std::string::npos);
    const size_t line_start = text.rfind('\n', at) + 1;
    EXPECT_NE(text.substr(line_start, at - line_start).find(" L30 NSHandler "),
              std::string::npos)
        << text.substr(line_start, at - line_start);
  }
}

TEST_F(NSHandlerTest, OtherSchemesNeverReachTheHandler) {
  ASSERT_EQ(RegisterNamespaceHandler(), S_OK);
  SetThreadUrl(L"http://before.example/");
  for (const wchar_t* url : {L"gopher://example/x", L"mailto:someone@example.com"}) {
    BindRequest request;
    request.url = url;
    auto binding = Binding::Bind(request);
    EXPECT_TRUE(FAILED(binding->result())) << platform::ToNarrow(url);
    EXPECT_EQ(GetThreadUrl(), L"http://before.example/") << platform::ToNarrow(url);
  }
}

}  // namespace
