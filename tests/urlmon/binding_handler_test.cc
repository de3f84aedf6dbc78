// Namespace handlers: asked first, falling through to the default protocol,
// serving a request themselves from another thread.

#include <gtest/gtest.h>

#include <thread>

#include "common/test_support.h"
#include "platform/urlmon_binding.h"
#include "platform/urlmon_testing.h"
#include "urlmon/http_test_server.h"
#include "urlmon/urlmon_fakes.h"

using namespace cvie;
using namespace cvie::testing;

namespace {

class HandlerBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearInternetSessionForTesting();
    Fakes().Clear();
  }
  void TearDown() override { ClearInternetSessionForTesting(); }

  std::wstring FileUrl(const std::string& name, const std::string& contents) {
    std::filesystem::path path = root_.path() / name;
    WriteFile(path, contents);
    std::string url = "file://" + path.string();
    return std::wstring(url.begin(), url.end());
  }

  ScopedCvieRoot root_;
};

std::unique_ptr<Binding> BindUrl(const std::wstring& url) {
  BindRequest request;
  request.url = url;
  return Binding::Bind(request);
}

}  // namespace

TEST_F(HandlerBindingTest, HandlerIsAskedFirstThenTheDefaultProtocolServes) {
  ScopedRegistration http(RecordingHandlerFactory(), L"http", false);
  ScopedRegistration file(RecordingHandlerFactory(), L"file", false);
  ScopedRegistration filter(CollectingFilterFactory(), L"text/html", true);
  HttpTestServer server([](const ServerRequest&, Responder& out) {
    out.Send(MakeResponse(200, "OK", {{"Content-Type", "text/html"}}, "<p>web</p>"));
  });
  ASSERT_TRUE(server.ok());
  struct Case {
    const char* name;
    std::wstring url;
    std::string body;
  };
  const Case cases[] = {
      {"http page", server.Url("/page.html"), FilteredForm("<p>web</p>")},
      {"file page", FileUrl("local.html", "<p>disk</p>"), FilteredForm("<p>disk</p>")},
  };
  for (const Case& c : cases) {
    Fakes().Clear();
    std::unique_ptr<Binding> binding = BindUrl(c.url);
    ASSERT_EQ(binding->result(), S_OK) << c.name << ": " << binding->error_text();
    EXPECT_FALSE(binding->served_by_namespace_handler()) << c.name;
    std::string body;
    ASSERT_EQ(binding->ReadAll(&body), S_OK) << c.name;
    EXPECT_EQ(body, c.body) << c.name;

    FakeLog& log = Fakes();
    std::lock_guard<std::mutex> lock(log.mutex);
    ASSERT_EQ(log.handler_urls.size(), 1u) << c.name;
    EXPECT_EQ(log.handler_urls[0], c.url) << c.name;
    // The filter starts on the thread where the handler saw the address, so
    // the address recorded for the thread is the page's.
    EXPECT_EQ(log.handler_threads[0], std::this_thread::get_id()) << c.name;
    EXPECT_EQ(log.filter_start_thread, log.handler_threads[0]) << c.name;
  }
}

TEST_F(HandlerBindingTest, HandlersAreAskedLatestFirstAndOnlyForTheirScheme) {
  std::wstring url = FileUrl("order.txt", "text");
  ComPtr<IClassFactory> first = RecordingHandlerFactory();
  ComPtr<IClassFactory> second = SecondRecordingHandlerFactory();
  ScopedRegistration a(first, L"file", false);
  ScopedRegistration b(second, L"FILE", false);
  ScopedRegistration other_scheme(RecordingHandlerFactory(), L"https", false);
  ScopedRegistration broken(BrokenFactory(), L"file",
                            false);  // cannot be made: passed over

  std::unique_ptr<Binding> binding = BindUrl(url);
  ASSERT_EQ(binding->result(), S_OK) << binding->error_text();
  {
    FakeLog& log = Fakes();
    std::lock_guard<std::mutex> lock(log.mutex);
    ASSERT_EQ(log.handler_names.size(), 2u);
    EXPECT_EQ(log.handler_names[0], "second");
    EXPECT_EQ(log.handler_names[1], "first");
  }

  // Withdrawn handlers are no longer asked.
  ComPtr<IInternetSession> session;
  ASSERT_EQ(CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0), S_OK);
  session->UnregisterNameSpace(second.Get(), L"file");
  Fakes().Clear();
  binding = BindUrl(url);
  std::string body;
  ASSERT_EQ(binding->ReadAll(&body), S_OK);
  EXPECT_EQ(body, "text");
  std::lock_guard<std::mutex> lock(Fakes().mutex);
  ASSERT_EQ(Fakes().handler_names.size(), 1u);
  EXPECT_EQ(Fakes().handler_names[0], "first");
}

TEST_F(HandlerBindingTest, RefusingHandlerFailsTheBinding) {
  ScopedRegistration refusing(RefusingHandlerFactory(), L"file", false);
  std::unique_ptr<Binding> binding = BindUrl(FileUrl("refused.html", "<p>x</p>"));
  EXPECT_EQ(binding->result(), E_FAIL);
  EXPECT_NE(binding->error_text().find("namespace handler"), std::string::npos);
  char buffer[8];
  ULONG n = 0;
  EXPECT_EQ(binding->Read(buffer, sizeof buffer, &n), E_FAIL);
}

TEST_F(HandlerBindingTest, HandlerServingFromItsOwnThreadIsReadOnTheBindingThread) {
  ScopedRegistration serving(ServingHandlerFactory(), L"cvtest", false);
  struct Case {
    const char* name;
    bool with_filter;
  };
  for (const Case& c : {Case{"unfiltered", false}, Case{"filtered", true}}) {
    Fakes().Clear();
    std::unique_ptr<ScopedRegistration> filter;
    if (c.with_filter) {
      filter = std::make_unique<ScopedRegistration>(CollectingFilterFactory(),
                                                    L"text/plain", true);
    }
    std::unique_ptr<Binding> binding = BindUrl(L"cvtest://anything/here");
    ASSERT_EQ(binding->result(), S_OK) << c.name << ": " << binding->error_text();
    EXPECT_TRUE(binding->served_by_namespace_handler()) << c.name;
    EXPECT_EQ(binding->status_code(), 200) << c.name;
    EXPECT_EQ(binding->mime_type(), "text/plain") << c.name;
    EXPECT_EQ(binding->Header("Content-Type"), "text/plain; charset=utf-8") << c.name;
    EXPECT_EQ(binding->filtered(), c.with_filter) << c.name;
    std::string body;
    ASSERT_EQ(binding->ReadAll(&body), S_OK) << c.name;
    std::string expected = ServingHandlerBody();
    EXPECT_EQ(body, c.with_filter ? FilteredForm(expected) : expected) << c.name;

    FakeLog& log = Fakes();
    std::lock_guard<std::mutex> lock(log.mutex);
    ASSERT_EQ(log.continue_threads.size(), 4u) << c.name;
    for (const std::thread::id& id : log.continue_threads) {
      EXPECT_EQ(id, std::this_thread::get_id())
          << c.name << ": Continue off the binding thread";
    }
    for (const FilterNote& note : log.filter_notes) {
      EXPECT_EQ(note.thread, std::this_thread::get_id()) << c.name << " " << note.kind;
    }
  }
}

TEST_F(HandlerBindingTest, SchemeWithoutHandlerOrProtocolFails) {
  std::unique_ptr<Binding> binding = BindUrl(L"cvtest://nobody/serves");
  EXPECT_EQ(binding->result(), INET_E_UNKNOWN_PROTOCOL);
  EXPECT_NE(binding->error_text().find("cvtest"), std::string::npos);
}
