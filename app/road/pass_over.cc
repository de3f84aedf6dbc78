#include "road/pass_over.h"

#include <mutex>

#include "ie/ns_handler.h"
#include "platform/com_registry.h"
#include "platform/urlmon.h"

namespace cvie::road {
namespace {

thread_local bool t_unfiltered = false;

// {5C1D7E52-0B7A-4C9E-9E0F-2B61A4D3C8E7}
const CLSID kPassOverClsid = {
    0x5C1D7E52, 0x0B7A, 0x4C9E, {0x9E, 0x0F, 0x2B, 0x61, 0xA4, 0xD3, 0xC8, 0xE7}};
const wchar_t* const kSchemes[] = {L"http", L"https", L"file"};

class PassOver : public ComObject<IInternetProtocol> {
 public:
  PassOver() : ComObject(false) {}

  HRESULT Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                HANDLE_PTR) override {
    if (t_unfiltered) SetThreadUrl(L"");
    return INET_E_USE_DEFAULT_PROTOCOLHANDLER;
  }
  HRESULT Continue(PROTOCOLDATA*) override { return S_OK; }
  HRESULT Abort(HRESULT, DWORD) override { return S_OK; }
  HRESULT Terminate(DWORD) override { return S_OK; }
  HRESULT Suspend() override { return S_OK; }
  HRESULT Resume() override { return S_OK; }
  HRESULT Read(void*, ULONG, ULONG*) override { return S_FALSE; }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT LockRequest(DWORD) override { return S_OK; }
  HRESULT UnlockRequest() override { return S_OK; }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_IInternetProtocol || iid == IID_IInternetProtocolRoot)
      return static_cast<IInternetProtocol*>(this);
    return nullptr;
  }
};

HRESULT CreatePassOver(REFIID iid, void** object) {
  PassOver* p = new PassOver;
  p->AddRef();
  HRESULT hr = p->QueryInterface(iid, object);
  p->Release();
  return hr;
}

std::mutex g_mu;
int g_count = 0;
IClassFactory* g_factory = nullptr;

}  // namespace

HRESULT RegisterPassOver() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_count > 0) {
    ++g_count;
    return S_OK;
  }
  ComPtr<IInternetSession> session;
  HRESULT hr = CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0);
  if (FAILED(hr)) return hr;
  if (!g_factory) {
    hr = CreateClassFactory(CreatePassOver, &g_factory);
    if (FAILED(hr)) return hr;
  }
  for (const wchar_t* scheme : kSchemes) {
    hr = session->RegisterNameSpace(g_factory, kPassOverClsid, scheme, 0, nullptr, 0);
    if (FAILED(hr)) return hr;
  }
  g_count = 1;
  return S_OK;
}

void UnregisterPassOver() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_count > 1) {
    --g_count;
    return;
  }
  if (g_count == 0) return;
  g_count = 0;
  ComPtr<IInternetSession> session;
  if (SUCCEEDED(CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0))) {
    for (const wchar_t* scheme : kSchemes)
      session->UnregisterNameSpace(g_factory, scheme);
  }
  g_factory->Release();
  g_factory = nullptr;
}

ScopedUnfiltered::ScopedUnfiltered() : previous_(t_unfiltered) { t_unfiltered = true; }
ScopedUnfiltered::~ScopedUnfiltered() { t_unfiltered = previous_; }

}  // namespace cvie::road
