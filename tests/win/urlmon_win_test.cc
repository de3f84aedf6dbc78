// The URL-moniker and download layers of the Windows build, run under Wine:
// the system's session takes our class object through our interface shapes
// (the COM seam), and a download from a loopback origin arrives through the
// system's urlmon on the starting thread's message queue.

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/com_registry.h"
#include "platform/download.h"
#include "platform/thread.h"
#include "platform/urlmon.h"
#include "win/loopback_origin.h"

#include <objbase.h>
// The SDK makes these names macros for its wide functions; the thread layer's
// message loop is meant here.
#undef GetMessage
#undef DispatchMessage

// Inside namespace cvie, the layer's names (HRESULT, IClassFactory ...) are
// found before the system's of the same names.
namespace cvie {
namespace {

// COM for the calling thread while the object lives.
struct ComApartment {
  ComApartment() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComApartment() { ::CoUninitialize(); }
};

HRESULT NeverCreates(REFIID, void** object) {
  if (object) *object = nullptr;
  return E_NOTIMPL;
}

const CLSID kTestFilter = {
    0x2C4E6A80, 0x1B3D, 0x4F5A, {0x8E, 0x11, 0x20, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E}};

// References held on `object`, read without changing them.
ULONG References(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

TEST(WinUrlmon, SystemSessionHoldsOurClassObjectWhileItIsRegistered) {
  ComApartment com;
  IInternetSession* session = nullptr;
  ASSERT_EQ(CoInternetGetSession(0, &session, 0), S_OK);
  ASSERT_NE(session, nullptr);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CreateClassFactory(&NeverCreates, &factory), S_OK);
  ULONG before = References(factory);

  EXPECT_EQ(session->RegisterMimeFilter(factory, kTestFilter, L"text/x-cvie-test"), S_OK);
  EXPECT_EQ(References(factory), before + 1);  // the system keeps our object
  EXPECT_EQ(session->UnregisterMimeFilter(factory, L"text/x-cvie-test"), S_OK);
  EXPECT_EQ(References(factory), before);

  const wchar_t* patterns[] = {L"*"};
  EXPECT_EQ(session->RegisterNameSpace(factory, kTestFilter, L"cvietest", 1, patterns, 0),
            S_OK);
  EXPECT_EQ(References(factory), before + 1);
  EXPECT_EQ(session->UnregisterNameSpace(factory, L"cvietest"), S_OK);
  EXPECT_EQ(References(factory), before);

  factory->Release();
  session->Release();
}

class Collector : public platform::DownloadCallback {
 public:
  HRESULT OnStartBinding(platform::DownloadBinding*) override {
    started = true;
    return S_OK;
  }
  HRESULT OnProgress(uint64_t, uint64_t, ULONG) override { return S_OK; }
  HRESULT OnDataAvailable(DWORD, const char* data, ULONG size) override {
    if (!started || stopped) order_kept = false;
    if (platform::GetCurrentThreadId() != owner) on_owner = false;
    body.append(data, size);
    return S_OK;
  }
  HRESULT OnStopBinding(HRESULT hr, const std::wstring&) override {
    stopped = true;
    result = hr;
    platform::PostQuitMessage(0);
    return S_OK;
  }

  DWORD owner = platform::GetCurrentThreadId();
  bool started = false, stopped = false, order_kept = true, on_owner = true;
  HRESULT result = E_PENDING;
  std::string body;
};

TEST(WinDownload, LoopbackBodyArrivesWholeOnTheStartingThread) {
  std::string body;
  for (int i = 0; i < 50000; ++i) body += static_cast<char>('a' + i % 26);
  wintest::LoopbackOrigin origin(body);
  auto collector = std::make_shared<Collector>();
  std::shared_ptr<platform::DownloadBinding> binding;
  ASSERT_EQ(platform::StartDownload(origin.Url(), collector, &binding), S_OK);
  platform::MSG msg;
  while (platform::GetMessage(&msg)) platform::DispatchMessage(&msg);

  EXPECT_TRUE(collector->started);
  EXPECT_EQ(collector->result, S_OK);
  EXPECT_TRUE(collector->order_kept);
  EXPECT_TRUE(collector->on_owner);
  EXPECT_EQ(collector->body, body);
  EXPECT_EQ(binding->BytesReceived(), body.size());
}

TEST(WinDownload, RefusesOtherSchemesWithoutCallingBack) {
  auto collector = std::make_shared<Collector>();
  std::shared_ptr<platform::DownloadBinding> binding;
  EXPECT_EQ(platform::StartDownload(L"ftp://127.0.0.1/x", collector, &binding),
            INET_E_UNKNOWN_PROTOCOL);
  EXPECT_EQ(platform::StartDownload(L"not an address", collector, &binding),
            INET_E_INVALID_URL);
  EXPECT_FALSE(binding);
  EXPECT_FALSE(collector->started);
}

}  // namespace
}  // namespace cvie
