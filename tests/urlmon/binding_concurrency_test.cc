// Several threads binding at once against one session, as the proxy's
// workers do, while registrations change beside them.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/urlmon_binding.h"
#include "platform/urlmon_testing.h"
#include "urlmon/http_test_server.h"
#include "urlmon/urlmon_fakes.h"

using namespace cvie;
using namespace cvie::testing;

namespace {

// Lets each request through only when `count` requests are in the server at
// the same time, so the test fails if the bindings do not overlap.
class Rendezvous {
 public:
  explicit Rendezvous(int count) : count_(count) {}
  bool Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++arrived_;
    cv_.notify_all();
    return cv_.wait_for(lock, std::chrono::seconds(10),
                        [this] { return arrived_ >= count_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_;
  int arrived_ = 0;
};

}  // namespace

TEST(BindingConcurrency, ThreadsBindAtOnceEachReadingItsOwnPage) {
  ClearInternetSessionForTesting();
  Fakes().Clear();
  constexpr int kThreads = 4;
  Rendezvous together(kThreads);
  HttpTestServer server([&together](const ServerRequest& request, Responder& out) {
    bool overlapped = together.Arrive();
    std::string type =
        request.target.find("html") != std::string::npos ? "text/html" : "text/plain";
    std::string body = (overlapped ? "together " : "alone ") + request.target;
    out.Send(MakeResponse(200, "OK", {{"Content-Type", type}}, body));
  });
  ASSERT_TRUE(server.ok());
  ScopedRegistration handler(RecordingHandlerFactory(), L"http", false);
  ScopedRegistration filter(CollectingFilterFactory(), L"text/html", true);

  std::atomic<bool> stop{false};
  std::thread churn([&stop] {
    ComPtr<IClassFactory> factory = CollectingFilterFactory();
    ComPtr<IInternetSession> session;
    CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0);
    while (!stop.load()) {
      session->RegisterMimeFilter(factory.Get(), CLSID_FakeFilter,
                                  L"application/x-unused");
      session->UnregisterMimeFilter(factory.Get(), L"application/x-unused");
    }
  });

  struct Outcome {
    HRESULT hr = E_FAIL;
    std::string body;
    bool filtered = false;
    std::thread::id thread;
  };
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> workers;
  for (int i = 0; i < kThreads; ++i) {
    workers.emplace_back([&server, &outcomes, i] {
      BindRequest request;
      request.url = server.Url(i % 2 ? "/page" + std::to_string(i) + ".html"
                                     : "/file" + std::to_string(i) + ".txt");
      request.piece_size = i == 3 ? 2 : 0;
      std::unique_ptr<Binding> binding = Binding::Bind(request);
      outcomes[i].thread = std::this_thread::get_id();
      outcomes[i].filtered = binding->filtered();
      outcomes[i].hr = binding->ReadAll(&outcomes[i].body);
    });
  }
  for (std::thread& t : workers) t.join();
  stop.store(true);
  churn.join();

  for (int i = 0; i < kThreads; ++i) {
    std::string path = i % 2 ? "/page" + std::to_string(i) + ".html"
                             : "/file" + std::to_string(i) + ".txt";
    std::string plain = "together " + path;
    EXPECT_EQ(outcomes[i].hr, S_OK) << path;
    EXPECT_EQ(outcomes[i].filtered, i % 2 == 1) << path;
    EXPECT_EQ(outcomes[i].body, i % 2 ? FilteredForm(plain) : plain) << path;
  }
  FakeLog& log = Fakes();
  std::lock_guard<std::mutex> lock(log.mutex);
  EXPECT_EQ(log.handler_urls.size(), static_cast<size_t>(kThreads));
  // Each handler call ran on the thread that bound that address.
  for (size_t k = 0; k < log.handler_urls.size(); ++k) {
    bool matched = false;
    for (int i = 0; i < kThreads; ++i) {
      std::string path = i % 2 ? "/page" + std::to_string(i) + ".html"
                               : "/file" + std::to_string(i) + ".txt";
      if (log.handler_urls[k] == server.Url(path)) {
        matched = true;
        EXPECT_EQ(log.handler_threads[k], outcomes[i].thread) << path;
      }
    }
    EXPECT_TRUE(matched);
  }
  EXPECT_EQ(log.filters_started, kThreads / 2);
  ClearInternetSessionForTesting();
}
