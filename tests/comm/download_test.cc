// Downloads with a bind-status-callback shape, against a loopback server.

#include "platform/download.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "comm/http_test_server.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace cvie::platform {
namespace {

using cvie::testing::HttpRoute;
using cvie::testing::HttpTestServer;

// Records what arrives, and on which thread.
class Recorder : public DownloadCallback {
 public:
  HRESULT OnStartBinding(DownloadBinding*) override {
    events.push_back("start");
    threads.push_back(GetCurrentThreadId());
    return S_OK;
  }
  HRESULT OnProgress(uint64_t, uint64_t, ULONG) override { return S_OK; }
  HRESULT OnDataAvailable(DWORD flags, const char* data, ULONG size) override {
    if (events.empty() || events.back() != "data") events.push_back("data");
    threads.push_back(GetCurrentThreadId());
    if (flags & BSCF_FIRSTDATANOTIFICATION) ++first_flags;
    body.append(data, size);
    ++pieces;
    if (on_data) on_data();
    return S_OK;
  }
  HRESULT OnStopBinding(HRESULT hr, const std::wstring& text) override {
    events.push_back("stop");
    threads.push_back(GetCurrentThreadId());
    result = hr;
    error = text;
    stopped = true;
    return S_OK;
  }

  std::vector<std::string> events;
  std::vector<DWORD> threads;
  std::string body;
  int pieces = 0;
  int first_flags = 0;
  bool stopped = false;
  HRESULT result = S_FALSE;
  std::wstring error;
  std::function<void()> on_data;
};

// Runs this thread's message loop until `until` holds or `ms` have passed.
template <typename Predicate>
void Pump(Predicate until, int ms) {
  UINT_PTR timer = SetThreadTimer(10);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  MSG msg;
  while (!until() && std::chrono::steady_clock::now() < deadline && GetMessage(&msg)) {
    DispatchMessage(&msg);
  }
  KillThreadTimer(timer);
}

TEST(Download, DeliversTheBodyInOrderOnTheStartingThread) {
  HttpTestServer server;
  ASSERT_TRUE(server.Start());
  std::string body;
  for (int i = 0; i < 5000; ++i) body += std::to_string(i) + ",";
  HttpRoute paced;
  paced.body = body;
  paced.piece_size = 4096;
  paced.piece_delay_ms = 5;
  server.SetRoute("/file", paced);

  auto recorder = std::make_shared<Recorder>();
  std::shared_ptr<DownloadBinding> binding;
  ASSERT_EQ(StartDownload(ToWide(server.base_url() + "/file"), recorder, &binding), S_OK);
  Pump([&] { return recorder->stopped; }, 10000);
  ASSERT_TRUE(recorder->stopped);
  EXPECT_EQ(recorder->result, S_OK);
  EXPECT_EQ(recorder->body, body);
  EXPECT_GT(recorder->pieces, 1);
  EXPECT_EQ(recorder->first_flags, 1);
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"start", "data", "stop"}));
  for (DWORD thread : recorder->threads) EXPECT_EQ(thread, GetCurrentThreadId());
  EXPECT_EQ(binding->BytesReceived(), body.size());
  EXPECT_EQ(binding->Abort(), S_FALSE);  // already over
}

TEST(Download, FailuresStopWithoutData) {
  HttpTestServer server;
  ASSERT_TRUE(server.Start());
  HttpRoute broken;
  broken.status = 500;
  broken.body = "server error page";
  server.SetRoute("/broken", broken);
  struct Case {
    const char* name;
    std::string url;
    HRESULT result;
  };
  const Case kCases[] = {
      {"missing file", server.base_url() + "/missing", INET_E_RESOURCE_NOT_FOUND},
      {"server error", server.base_url() + "/broken", INET_E_DOWNLOAD_FAILURE},
      {"nobody listening",
       "http://127.0.0.1:" + std::to_string(cvie::testing::UnusedLoopbackPort()) + "/x",
       INET_E_CANNOT_CONNECT},
  };
  for (const auto& c : kCases) {
    auto recorder = std::make_shared<Recorder>();
    std::shared_ptr<DownloadBinding> binding;
    ASSERT_EQ(StartDownload(ToWide(c.url), recorder, &binding), S_OK) << c.name;
    Pump([&] { return recorder->stopped; }, 10000);
    ASSERT_TRUE(recorder->stopped) << c.name;
    EXPECT_EQ(recorder->result, c.result) << c.name;
    EXPECT_FALSE(recorder->error.empty()) << c.name;
    EXPECT_EQ(recorder->body, "") << c.name;
  }
}

TEST(Download, RefusedAddressesStartNothing) {
  struct Case {
    const wchar_t* url;
    HRESULT result;
  };
  const Case kCases[] = {
      {L"not a url", INET_E_INVALID_URL},
      {L"", INET_E_INVALID_URL},
      {L"ftp://127.0.0.1/cvie.ver", INET_E_UNKNOWN_PROTOCOL},
      {L"file:///etc/hostname", INET_E_UNKNOWN_PROTOCOL},
  };
  for (const auto& c : kCases) {
    auto recorder = std::make_shared<Recorder>();
    std::shared_ptr<DownloadBinding> binding;
    EXPECT_EQ(StartDownload(c.url, recorder, &binding), c.result) << ToNarrow(c.url);
    EXPECT_FALSE(binding) << ToNarrow(c.url);
    Pump([] { return false; }, 50);
    EXPECT_TRUE(recorder->events.empty()) << ToNarrow(c.url);
  }
}

TEST(Download, AbortClosesTheConnectionAndSilencesTheCallback) {
  HttpTestServer server;
  ASSERT_TRUE(server.Start());
  HttpRoute slow;
  slow.body = std::string(200000, 'x');
  slow.piece_size = 1000;
  slow.piece_delay_ms = 10;
  server.SetRoute("/slow", slow);

  auto recorder = std::make_shared<Recorder>();
  std::shared_ptr<DownloadBinding> binding;
  recorder->on_data = [&] {
    if (recorder->pieces == 1) {
      EXPECT_EQ(binding->Abort(), S_OK);
    }
  };
  ASSERT_EQ(StartDownload(ToWide(server.base_url() + "/slow"), recorder, &binding), S_OK);
  Pump([&] { return recorder->pieces > 0; }, 10000);
  ASSERT_EQ(recorder->pieces, 1);
  // Nothing more arrives, not even the stop notification.
  Pump([] { return false; }, 300);
  EXPECT_EQ(recorder->pieces, 1);
  EXPECT_FALSE(recorder->stopped);
  binding.reset();  // waits for the transfer thread
  // The server saw the client go away long before the body was sent.
  for (int i = 0; i < 200 && server.aborted_by_client() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(server.aborted_by_client(), 1);
}

TEST(Download, DestroyingTheBindingAbortsAStalledTransfer) {
  HttpTestServer server;
  ASSERT_TRUE(server.Start());
  HttpRoute stalled;
  stalled.body = "never sent";
  stalled.stall = true;
  server.SetRoute("/stall", stalled);
  auto recorder = std::make_shared<Recorder>();
  std::shared_ptr<DownloadBinding> binding;
  ASSERT_EQ(StartDownload(ToWide(server.base_url() + "/stall"), recorder, &binding),
            S_OK);
  ASSERT_TRUE(server.WaitForRequests(1, 5000));
  auto start = std::chrono::steady_clock::now();
  binding.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  Pump([] { return false; }, 100);
  EXPECT_FALSE(recorder->stopped);
}

}  // namespace
}  // namespace cvie::platform
