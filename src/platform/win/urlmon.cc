// The URL-moniker layer on Windows: the system's own session (urlmon's
// CoInternetGetSession). The interfaces of platform/urlmon.h and
// platform/com.h have the system's vtables (the same methods in the same
// order, no destructor slot) and the records the same layout, so the
// system's objects are called through them and ours handed to the system
// unchanged; the checks below hold the layouts together at compile time.

#include "platform/urlmon.h"

#include <stddef.h>

#include "platform/win/win32.h"

#include <urlmon.h>

namespace cvie {

// The scalar types and records crossing the seam.
static_assert(sizeof(cvie::GUID) == sizeof(::GUID));
static_assert(sizeof(cvie::HRESULT) == sizeof(::HRESULT));
static_assert(sizeof(cvie::ULONG) == sizeof(::ULONG));
static_assert(sizeof(cvie::DWORD) == sizeof(::DWORD));
static_assert(sizeof(cvie::HANDLE_PTR) == sizeof(::HANDLE_PTR));
static_assert(sizeof(cvie::LARGE_INTEGER) == sizeof(::LARGE_INTEGER));
static_assert(sizeof(cvie::ULARGE_INTEGER) == sizeof(::ULARGE_INTEGER));
static_assert(sizeof(cvie::PROTOCOLDATA) == sizeof(::PROTOCOLDATA));
static_assert(offsetof(cvie::PROTOCOLDATA, pData) == offsetof(::PROTOCOLDATA, pData));
static_assert(offsetof(cvie::PROTOCOLDATA, cbData) == offsetof(::PROTOCOLDATA, cbData));
static_assert(sizeof(cvie::PROTOCOLFILTERDATA) == sizeof(::PROTOCOLFILTERDATA));
static_assert(offsetof(cvie::PROTOCOLFILTERDATA, pProtocolSink) ==
              offsetof(::PROTOCOLFILTERDATA, pProtocolSink));
static_assert(offsetof(cvie::PROTOCOLFILTERDATA, pProtocol) ==
              offsetof(::PROTOCOLFILTERDATA, pProtocol));
static_assert(offsetof(cvie::PROTOCOLFILTERDATA, dwFilterFlags) ==
              offsetof(::PROTOCOLFILTERDATA, dwFilterFlags));
static_assert(sizeof(cvie::BINDINFO) == sizeof(::BINDINFO));
static_assert(offsetof(cvie::BINDINFO, stgmedData) == offsetof(::BINDINFO, stgmedData));
static_assert(offsetof(cvie::BINDINFO, grfBindInfoF) ==
              offsetof(::BINDINFO, grfBindInfoF));
static_assert(offsetof(cvie::BINDINFO, szCustomVerb) ==
              offsetof(::BINDINFO, szCustomVerb));
static_assert(offsetof(cvie::BINDINFO, dwCodePage) == offsetof(::BINDINFO, dwCodePage));
static_assert(offsetof(cvie::BINDINFO, iid) == offsetof(::BINDINFO, iid));
static_assert(offsetof(cvie::BINDINFO, dwReserved) == offsetof(::BINDINFO, dwReserved));
static_assert(sizeof(cvie::STGMEDIUM) == sizeof(::STGMEDIUM));

// An interface without a destructor slot: a pointer to its vtable and nothing
// else, like the system's.
static_assert(sizeof(cvie::IUnknown) == sizeof(void*));
static_assert(sizeof(cvie::IInternetSession) == sizeof(::IInternetSession));

HRESULT CoInternetGetSession(DWORD mode, IInternetSession** session, DWORD reserved) {
  if (!session) return E_POINTER;
  *session = nullptr;
  ::IInternetSession* system = nullptr;
  ::HRESULT hr = ::CoInternetGetSession(mode, &system, reserved);
  if (FAILED(hr)) return hr;
  *session = reinterpret_cast<IInternetSession*>(system);
  return S_OK;
}

}  // namespace cvie
