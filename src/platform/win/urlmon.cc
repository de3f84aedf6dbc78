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

const IID IID_IInternetBindInfo = {
    0x79EAC9E1, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
const IID IID_IInternetProtocolRoot = {
    0x79EAC9E3, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
const IID IID_IInternetProtocol = {
    0x79EAC9E4, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
const IID IID_IInternetProtocolSink = {
    0x79EAC9E5, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
const IID IID_IInternetSession = {
    0x79EAC9E7, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
// Our own interface: no system object answers it, so readers fall back to Read.
const IID IID_IInMemoryData = {
    0x6B1C3F0E, 0x2D4A, 0x4E5B, {0x9C, 0x7D, 0x8A, 0x1F, 0x0E, 0x3B, 0x5D, 0x21}};

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
