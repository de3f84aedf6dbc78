// What Wine's urlmon does with a namespace handler that declines a request
// (INET_E_USE_DEFAULT_PROTOCOLHANDLER), shown with a handler of the test's own
// and the system's types only. On Windows urlmon then fetches the address
// with its own protocol; Wine's urlmon ends the binding with that code, so
// under Wine the module's namespace handler, which declines every request,
// keeps every page of its schemes from being read. The module's other parts
// are tested through Wine's urlmon without it (tests/win/host-fetch.sh). The
// test runs only under Wine: on Windows it is skipped.

#include <gtest/gtest.h>

#include <string.h>

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

// A MIME filter that reads its source to the end and serves kFiltered in
// its place. One static object serves every binding.
const char kFiltered[] = "<html>filtered</html>";
const CLSID kReplacingFilter = {
    0x7E3B9D42, 0x18C6, 0x4A5F, {0xB2, 0x0D, 0x93, 0x4E, 0x61, 0xAF, 0x27, 0xC8}};

class ReplacingFilter : public IInternetProtocol,
                        public IInternetProtocolSink,
                        public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IInternetProtocol) ||
        IsEqualIID(iid, IID_IInternetProtocolRoot)) {
      *out = static_cast<IInternetProtocol*>(this);
    } else if (IsEqualIID(iid, IID_IInternetProtocolSink)) {
      *out = static_cast<IInternetProtocolSink*>(this);
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
      if (out) *out = nullptr;
      return CLASS_E_NOAGGREGATION;
    }
    return QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink* sink,
                                  IInternetBindInfo*, DWORD flags,
                                  HANDLE_PTR reserved) override {
    const PROTOCOLFILTERDATA* data =
        reinterpret_cast<const PROTOCOLFILTERDATA*>(reserved);
    if (!(flags & PI_FILTER_MODE) || !data || !data->pProtocol) return E_INVALIDARG;
    source_ = data->pProtocol;
    sink_ = sink;
    ++starts;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA* data) override {
    return source_->Continue(data);
  }
  HRESULT STDMETHODCALLTYPE Abort(HRESULT reason, DWORD options) override {
    return source_->Abort(reason, options);
  }
  HRESULT STDMETHODCALLTYPE Terminate(DWORD options) override {
    return source_->Terminate(options);
  }
  HRESULT STDMETHODCALLTYPE Suspend() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override {
    if (read) *read = 0;
    char piece[4096];
    ULONG got = 0;
    HRESULT hr;
    while (!source_done_ && (hr = source_->Read(piece, sizeof(piece), &got)) != S_FALSE) {
      if (hr != S_OK) return hr;  // E_PENDING: asked again after more data
    }
    source_done_ = true;
    const ULONG left = static_cast<ULONG>(sizeof(kFiltered) - 1) - served;
    const ULONG n = count < left ? count : left;
    memcpy(buffer, kFiltered + served, n);
    served += n;
    if (read) *read = n;
    return served == sizeof(kFiltered) - 1 ? S_FALSE : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnlockRequest() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA* data) override {
    return sink_->Switch(data);
  }
  HRESULT STDMETHODCALLTYPE ReportProgress(ULONG status, LPCWSTR text) override {
    return sink_->ReportProgress(status, text);
  }
  HRESULT STDMETHODCALLTYPE ReportData(DWORD flags, ULONG progress,
                                       ULONG maximum) override {
    return sink_->ReportData(flags, progress, maximum);
  }
  HRESULT STDMETHODCALLTYPE ReportResult(HRESULT result, DWORD error,
                                         LPCWSTR text) override {
    return sink_->ReportResult(result, error, text);
  }

  int starts = 0;
  ULONG served = 0;

 private:
  IInternetProtocol* source_ = nullptr;  // held by the binding while it runs
  IInternetProtocolSink* sink_ = nullptr;
  bool source_done_ = false;
};

TEST(WineUrlmonGap, ASynchronousBindingReadsTheCacheFileNotTheMimeFiltersOutput) {
  if (!RunningUnderWine()) GTEST_SKIP() << "not a question on Windows";
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::string page = "<html><body>as the server sent it</body></html>";
  static ReplacingFilter filter;
  IInternetSession* session = nullptr;
  ASSERT_EQ(CoInternetGetSession(0, &session, 0), S_OK);
  ASSERT_EQ(session->RegisterMimeFilter(&filter, kReplacingFilter, L"text/html"), S_OK);
  wintest::LoopbackOrigin origin(page, "text/html");
  std::string body;
  HRESULT hr = ReadWhole(origin.Url(), &body);
  EXPECT_EQ(session->UnregisterMimeFilter(&filter, L"text/html"), S_OK);
  session->Release();

  EXPECT_EQ(hr, S_OK);
  // The filter was put in between and its whole output was read from it...
  EXPECT_EQ(filter.starts, 1);
  EXPECT_EQ(filter.served, sizeof(kFiltered) - 1);
  // ...but the reader got the page as the server sent it.
  EXPECT_EQ(body, page);
  CoUninitialize();
}

}  // namespace
