// What Wine's urlmon does with a namespace handler that declines a request
// (INET_E_USE_DEFAULT_PROTOCOLHANDLER), shown with a handler of the test's own
// and the system's types only. On Windows urlmon then fetches the address
// with its own protocol; Wine's urlmon ends the binding with that code, so
// under Wine the module's namespace handler, which declines every request,
// keeps every page of its schemes from being read. The module's other parts
// are tested through Wine's urlmon without it (tests/win/host-fetch.sh). The
// test runs only under Wine: on Windows it is skipped.

#include <gtest/gtest.h>

#include <string>

#include "win/loopback_origin.h"

#include <objbase.h>
#include <urlmon.h>

namespace {

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

const CLSID kDecliningHandler = {
    0x5D7A1C3E, 0x6B2F, 0x4E80, {0x9A, 0x41, 0x0C, 0x2B, 0x7E, 0x63, 0xD5, 0x18}};

// A namespace handler that notes the address it was started with and
// declines, as the module's does. One static object serves every request.
class DecliningHandler : public IInternetProtocol, public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IInternetProtocol) ||
        IsEqualIID(iid, IID_IInternetProtocolRoot)) {
      *out = static_cast<IInternetProtocol*>(this);
    } else if (IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid,
                                           void** out) override {
    if (outer) {
      // urlmon may aggregate a protocol; this one is never aggregated.
      if (out) *out = nullptr;
      return CLASS_E_NOAGGREGATION;
    }
    return QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  HRESULT STDMETHODCALLTYPE Start(LPCWSTR url, IInternetProtocolSink*, IInternetBindInfo*,
                                  DWORD, HANDLE_PTR) override {
    started_with = url ? url : L"";
    ++starts;
    return INET_E_USE_DEFAULT_PROTOCOLHANDLER;
  }
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Abort(HRESULT, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Terminate(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Suspend() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG* read) override {
    if (read) *read = 0;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnlockRequest() override { return S_OK; }

  std::wstring started_with;
  int starts = 0;
};

// Reads `url` whole with URLOpenBlockingStreamW into *body.
HRESULT ReadWhole(const std::wstring& url, std::string* body) {
  IStream* stream = nullptr;
  HRESULT hr = URLOpenBlockingStreamW(nullptr, url.c_str(), &stream, 0, nullptr);
  if (FAILED(hr)) return hr;
  char buffer[4096];
  ULONG read = 0;
  while (SUCCEEDED(hr = stream->Read(buffer, sizeof(buffer), &read)) && read > 0)
    body->append(buffer, read);
  stream->Release();
  return FAILED(hr) ? hr : S_OK;
}

TEST(WineUrlmonGap, ABindingEndsWhenANamespaceHandlerDeclinesInsteadOfFallingBack) {
  if (!RunningUnderWine()) GTEST_SKIP() << "Windows falls back to its own protocol";
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::string page = "<html><body>declined</body></html>";

  // Without the handler the page is read: the origin and the binding work.
  {
    wintest::LoopbackOrigin origin(page, "text/html");
    std::string body;
    EXPECT_EQ(ReadWhole(origin.Url(), &body), S_OK);
    EXPECT_EQ(body, page);
  }

  static DecliningHandler handler;
  IInternetSession* session = nullptr;
  ASSERT_EQ(CoInternetGetSession(0, &session, 0), S_OK);
  ASSERT_EQ(
      session->RegisterNameSpace(&handler, kDecliningHandler, L"http", 0, nullptr, 0),
      S_OK);
  wintest::LoopbackOrigin origin(page, "text/html");
  std::string body;
  HRESULT hr = ReadWhole(origin.Url(), &body);
  EXPECT_EQ(session->UnregisterNameSpace(&handler, L"http"), S_OK);
  session->Release();

  EXPECT_EQ(handler.starts, 1);
  EXPECT_EQ(handler.started_with, origin.Url());
  // Windows would read the page here (S_OK, body == page).
  EXPECT_EQ(hr, INET_E_USE_DEFAULT_PROTOCOLHANDLER);
  EXPECT_EQ(body, "");
  CoUninitialize();
}

}  // namespace
