#include "road/pass_over.h"

#include "ie/counted_registration.h"
#include "ie/ns_handler.h"
#include "platform/com_registry.h"
#include "platform/urlmon.h"

namespace cvie::road {
namespace {

thread_local bool t_unfiltered = false;

// {5C1D7E52-0B7A-4C9E-9E0F-2B61A4D3C8E7}
const CLSID kPassOverClsid = {
    0x5C1D7E52, 0x0B7A, 0x4C9E, {0x9E, 0x0F, 0x2B, 0x61, 0xA4, 0xD3, 0xC8, 0xE7}};

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

// Registered for every scheme or for none: a scheme the session refuses
// withdraws the ones registered before it. Never destroyed.
CountedRegistration& TheRegistration() {
  static CountedRegistration* const registration = new CountedRegistration(
      {L"http", L"https", L"file"},
      [](IClassFactory** out) { return CreateClassFactory(CreatePassOver, out); },
      [](IInternetSession* session, IClassFactory* factory, const wchar_t* scheme) {
        return session->RegisterNameSpace(factory, kPassOverClsid, scheme, 0, nullptr, 0);
      },
      [](IInternetSession* session, IClassFactory* factory, const wchar_t* scheme) {
        return session->UnregisterNameSpace(factory, scheme);
      },
      CountedRegistration::OnRefusal::kAllOrNothing);
  return *registration;
}

}  // namespace

HRESULT RegisterPassOver() { return TheRegistration().Register(); }

void UnregisterPassOver() { TheRegistration().Unregister(); }

int PassOverRegistrationCount() { return TheRegistration().count(); }

ScopedUnfiltered::ScopedUnfiltered() : previous_(t_unfiltered) { t_unfiltered = true; }
ScopedUnfiltered::~ScopedUnfiltered() { t_unfiltered = previous_; }

}  // namespace cvie::road
