// platform/urlmon.h
//
// The URL-moniker shapes the system's COM classes are written against: the
// pluggable protocol interfaces (IInternetProtocolRoot, IInternetProtocol,
// IInternetProtocolSink, IInternetBindInfo), the session (IInternetSession,
// CoInternetGetSession), the filter data record PROTOCOLFILTERDATA and the
// PI_, BSCF_, BINDSTATUS_, BINDF_ and INET_E_ values, all with the values
// they have on Windows.
//
// The session is process-wide. Namespace handlers and MIME filters
// registered in it are used by every binding of the process
// (urlmon_binding.h); the session and its registrations are guarded by a
// lock, so any thread may register, unregister and bind at the same time.
//
// How the binding engine calls a protocol object (namespace handler, MIME
// filter, default protocol), so that a class written against these
// interfaces knows what to expect:
//  - Every call to a protocol, and every notification it receives through
//    its sink, comes on the binding thread: the thread that called Bind and
//    reads the binding. A protocol of its own that reports from another
//    thread is marshalled: its sink calls are queued and delivered on the
//    binding thread, and Switch(data) leads to Continue(data) there.
//  - A namespace handler is created through its class object (asked for
//    IID_IInternetProtocol) and started with Start(url, sink, bind info,
//    flags 0, 0), on the thread that binds, before anything is fetched.
//    INET_E_USE_DEFAULT_PROTOCOLHANDLER means "not mine": the object is
//    released at once and the next handler, then the default protocol, is
//    tried. S_OK or E_PENDING means the handler serves the request; any
//    other code fails the binding. A class object that cannot make an
//    object is passed over.
//  - A MIME filter is created through its class object (IID_IInternetProtocol)
//    once the response's MIME type is known, and started with
//    Start(mime type, browser sink, bind info, PI_FILTER_MODE, address of a
//    PROTOCOLFILTERDATA) whose pProtocol is the source protocol. The filter
//    reads the source; its own sink (found by QueryInterface for
//    IID_IInternetProtocolSink) receives the source's notifications and
//    passes them on to the browser sink; the reader reads the filter. The
//    filter is started on the same thread as the namespace handlers were,
//    before the first Read. Latest registration first; a filter that cannot
//    be made or whose Start fails is passed over (the body is then read
//    unfiltered). When the binding ends, the filter gets Terminate (and
//    should pass it on to the source) and is released.
//  - Data comes in pieces: each piece is announced with ReportData (first
//    BSCF_FIRSTDATANOTIFICATION, then BSCF_INTERMEDIATEDATANOTIFICATION, at
//    the end BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE), then
//    ReportResult. Read answers S_OK with bytes, E_PENDING when nothing has
//    arrived yet, S_FALSE at the end, or the failure of the download.

#pragma once

#include <stddef.h>

#include <string>

#include "platform/com.h"

namespace cvie {

// --- Result codes -------------------------------------------------------------

constexpr HRESULT INET_E_INVALID_URL = static_cast<HRESULT>(0x800C0002);
constexpr HRESULT INET_E_NO_SESSION = static_cast<HRESULT>(0x800C0003);
constexpr HRESULT INET_E_CANNOT_CONNECT = static_cast<HRESULT>(0x800C0004);
constexpr HRESULT INET_E_RESOURCE_NOT_FOUND = static_cast<HRESULT>(0x800C0005);
constexpr HRESULT INET_E_OBJECT_NOT_FOUND = static_cast<HRESULT>(0x800C0006);
constexpr HRESULT INET_E_DATA_NOT_AVAILABLE = static_cast<HRESULT>(0x800C0007);
constexpr HRESULT INET_E_DOWNLOAD_FAILURE = static_cast<HRESULT>(0x800C0008);
constexpr HRESULT INET_E_AUTHENTICATION_REQUIRED = static_cast<HRESULT>(0x800C0009);
constexpr HRESULT INET_E_NO_VALID_MEDIA = static_cast<HRESULT>(0x800C000A);
constexpr HRESULT INET_E_CONNECTION_TIMEOUT = static_cast<HRESULT>(0x800C000B);
constexpr HRESULT INET_E_INVALID_REQUEST = static_cast<HRESULT>(0x800C000C);
constexpr HRESULT INET_E_UNKNOWN_PROTOCOL = static_cast<HRESULT>(0x800C000D);
constexpr HRESULT INET_E_SECURITY_PROBLEM = static_cast<HRESULT>(0x800C000E);
constexpr HRESULT INET_E_CANNOT_LOAD_DATA = static_cast<HRESULT>(0x800C000F);
constexpr HRESULT INET_E_CANNOT_INSTANTIATE_OBJECT = static_cast<HRESULT>(0x800C0010);
constexpr HRESULT INET_E_USE_DEFAULT_PROTOCOLHANDLER = static_cast<HRESULT>(0x800C0011);
constexpr HRESULT INET_E_DEFAULT_ACTION = INET_E_USE_DEFAULT_PROTOCOLHANDLER;
constexpr HRESULT INET_E_USE_DEFAULT_SETTING = static_cast<HRESULT>(0x800C0012);
constexpr HRESULT INET_E_QUERYOPTION_UNKNOWN = static_cast<HRESULT>(0x800C0013);
constexpr HRESULT INET_E_REDIRECT_FAILED = static_cast<HRESULT>(0x800C0014);
// Not a Windows code: this platform's own. The server's address is one this
// process listens on (platform/own_listeners.h): the request would loop back
// into it, so no connection was made.
constexpr HRESULT CVIE_E_LOOP_DETECTED = static_cast<HRESULT>(0x800C7F01);

// --- Flags and status values --------------------------------------------------

// Start flags (grfPI).
constexpr DWORD PI_PARSE_URL = 0x1;
constexpr DWORD PI_FILTER_MODE = 0x2;
constexpr DWORD PI_FORCE_ASYNC = 0x4;
constexpr DWORD PI_USE_WORKERTHREAD = 0x8;
constexpr DWORD PI_MIMEVERIFICATION = 0x10;
constexpr DWORD PI_CLSIDLOOKUP = 0x20;
constexpr DWORD PI_DATAPROGRESS = 0x40;
constexpr DWORD PI_SYNCHRONOUS = 0x80;
constexpr DWORD PI_APARTMENTTHREADED = 0x100;
constexpr DWORD PI_CLASSINSTALL = 0x200;

// ReportData flags (grfBSCF).
constexpr DWORD BSCF_FIRSTDATANOTIFICATION = 0x1;
constexpr DWORD BSCF_INTERMEDIATEDATANOTIFICATION = 0x2;
constexpr DWORD BSCF_LASTDATANOTIFICATION = 0x4;
constexpr DWORD BSCF_DATAFULLYAVAILABLE = 0x8;
constexpr DWORD BSCF_AVAILABLEDATASIZEUNKNOWN = 0x10;

// ReportProgress status codes.
constexpr ULONG BINDSTATUS_FINDINGRESOURCE = 1;
constexpr ULONG BINDSTATUS_CONNECTING = 2;
constexpr ULONG BINDSTATUS_REDIRECTING = 3;
constexpr ULONG BINDSTATUS_BEGINDOWNLOADDATA = 4;
constexpr ULONG BINDSTATUS_DOWNLOADINGDATA = 5;
constexpr ULONG BINDSTATUS_ENDDOWNLOADDATA = 6;
constexpr ULONG BINDSTATUS_USINGCACHEDCOPY = 10;
constexpr ULONG BINDSTATUS_SENDINGREQUEST = 11;
constexpr ULONG BINDSTATUS_CLASSIDAVAILABLE = 12;
constexpr ULONG BINDSTATUS_MIMETYPEAVAILABLE = 13;
constexpr ULONG BINDSTATUS_CACHEFILENAMEAVAILABLE = 14;
constexpr ULONG BINDSTATUS_BEGINSYNCOPERATION = 15;
constexpr ULONG BINDSTATUS_ENDSYNCOPERATION = 16;
constexpr ULONG BINDSTATUS_PROTOCOLCLASSID = 20;
constexpr ULONG BINDSTATUS_ENCODING = 21;
constexpr ULONG BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE = 22;
constexpr ULONG BINDSTATUS_DECODING = 24;
constexpr ULONG BINDSTATUS_LOADINGMIMEHANDLER = 25;
constexpr ULONG BINDSTATUS_FILTERREPORTMIMETYPE = 27;
constexpr ULONG BINDSTATUS_RAWMIMETYPE = 31;

// Bind flags (grfBINDF of GetBindInfo, and of the download callback).
constexpr DWORD BINDF_ASYNCHRONOUS = 0x1;
constexpr DWORD BINDF_ASYNCSTORAGE = 0x2;
constexpr DWORD BINDF_NOPROGRESSIVERENDERING = 0x4;
constexpr DWORD BINDF_OFFLINEOPERATION = 0x8;
constexpr DWORD BINDF_GETNEWESTVERSION = 0x10;
constexpr DWORD BINDF_NOWRITECACHE = 0x20;
constexpr DWORD BINDF_NEEDFILE = 0x40;
constexpr DWORD BINDF_PULLDATA = 0x80;
constexpr DWORD BINDF_IGNORESECURITYPROBLEM = 0x100;
constexpr DWORD BINDF_RESYNCHRONIZE = 0x200;
constexpr DWORD BINDF_HYPERLINK = 0x400;
constexpr DWORD BINDF_NO_UI = 0x800;
constexpr DWORD BINDF_SILENTOPERATION = 0x1000;
constexpr DWORD BINDF_PRAGMA_NO_CACHE = 0x2000;

// Bind verbs (BINDINFO::dwBindVerb).
constexpr DWORD BINDVERB_GET = 0;
constexpr DWORD BINDVERB_POST = 1;
constexpr DWORD BINDVERB_PUT = 2;
constexpr DWORD BINDVERB_CUSTOM = 3;

// --- Records --------------------------------------------------------------------

// What Switch hands over and Continue receives back on the binding thread.
// pData belongs to the protocol that made the record.
struct PROTOCOLDATA {
  DWORD grfFlags = 0;
  DWORD dwState = 0;
  void* pData = nullptr;
  ULONG cbData = 0;
};

class IInternetProtocol;
class IInternetProtocolSink;

// The last argument of Start in PI_FILTER_MODE points at this record:
// pProtocol is the source protocol the filter reads from, pProtocolSink the
// sink the filter reports to (the same as Start's sink argument).
struct PROTOCOLFILTERDATA {
  DWORD cbSize = sizeof(PROTOCOLFILTERDATA);
  IInternetProtocolSink* pProtocolSink = nullptr;
  IInternetProtocol* pProtocol = nullptr;
  IUnknown* pUnk = nullptr;
  DWORD dwFilterFlags = 0;
};

// A storage medium as the bind information carries it (this platform never
// fills one in; the member keeps the record's layout the system's).
struct STGMEDIUM {
  DWORD tymed = 0;
  void* hGlobal = nullptr;
  IUnknown* pUnkForRelease = nullptr;
};

struct SECURITY_ATTRIBUTES {
  DWORD nLength = 0;
  void* lpSecurityDescriptor = nullptr;
  BOOL bInheritHandle = 0;
};

// The bind information, with the system's layout. This platform fills in
// grfBindInfoF, dwBindVerb and szCustomVerb; szCustomVerb is owned by the
// binding and valid while it lives: do not free it.
struct BINDINFO {
  ULONG cbSize = sizeof(BINDINFO);
  LPWSTR szExtraInfo = nullptr;
  STGMEDIUM stgmedData;
  DWORD grfBindInfoF = 0;
  DWORD dwBindVerb = BINDVERB_GET;
  LPWSTR szCustomVerb = nullptr;
  DWORD cbstgmedData = 0;
  DWORD dwOptions = 0;
  DWORD dwOptionsFlags = 0;
  DWORD dwCodePage = 0;
  SECURITY_ATTRIBUTES securityAttributes;
  IID iid{};
  IUnknown* pUnk = nullptr;
  DWORD dwReserved = 0;
};

// --- Interfaces -------------------------------------------------------------------

extern const IID IID_IInternetBindInfo;      // {79EAC9E1-BAF9-11CE-8C82-00AA004BA90B}
extern const IID IID_IInternetProtocolRoot;  // {79EAC9E3-BAF9-11CE-8C82-00AA004BA90B}
extern const IID IID_IInternetProtocol;      // {79EAC9E4-BAF9-11CE-8C82-00AA004BA90B}
extern const IID IID_IInternetProtocolSink;  // {79EAC9E5-BAF9-11CE-8C82-00AA004BA90B}
extern const IID IID_IInternetSession;       // {79EAC9E7-BAF9-11CE-8C82-00AA004BA90B}

class IInternetBindInfo : public IUnknown {
 public:
  virtual HRESULT GetBindInfo(DWORD* bind_flags, BINDINFO* info) = 0;
  // The bindings of this platform answer INET_E_USE_DEFAULT_SETTING for
  // every string.
  virtual HRESULT GetBindString(ULONG string_type, LPWSTR* strings, ULONG count,
                                ULONG* fetched) = 0;
};

class IInternetProtocolRoot : public IUnknown {
 public:
  // `url` is the address for a protocol and the MIME type for a filter;
  // `reserved` points at a PROTOCOLFILTERDATA in PI_FILTER_MODE, else 0.
  virtual HRESULT Start(LPCWSTR url, IInternetProtocolSink* sink,
                        IInternetBindInfo* bind_info, DWORD flags,
                        HANDLE_PTR reserved) = 0;
  virtual HRESULT Continue(PROTOCOLDATA* data) = 0;
  virtual HRESULT Abort(HRESULT reason, DWORD options) = 0;
  virtual HRESULT Terminate(DWORD options) = 0;
  virtual HRESULT Suspend() = 0;
  virtual HRESULT Resume() = 0;
};

class IInternetProtocol : public IInternetProtocolRoot {
 public:
  virtual HRESULT Read(void* buffer, ULONG count, ULONG* read) = 0;
  virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin,
                       ULARGE_INTEGER* new_position) = 0;
  virtual HRESULT LockRequest(DWORD options) = 0;
  virtual HRESULT UnlockRequest() = 0;
};

// This platform's own addition, with no system counterpart: a protocol (a
// MIME filter) that holds the rest of its data complete in memory lets the
// reader take it without a copy. PeekData points `*data` at all the unread
// bytes (S_OK with *size > 0; valid until the next call on the object);
// otherwise it answers as Read would (E_PENDING while still collecting,
// S_FALSE at the end, a failure), or E_NOTIMPL when the data is not held
// that way now (then Read serves it, nothing was consumed). SkipData marks
// `count` of the peeked bytes as read: S_OK, E_INVALIDARG past them.
extern const IID IID_IInMemoryData;  // {6B1C3F0E-2D4A-4E5B-9C7D-8A1F0E3B5D21}

class IInMemoryData : public IUnknown {
 public:
  virtual HRESULT PeekData(const char** data, ULONG* size) = 0;
  virtual HRESULT SkipData(ULONG count) = 0;
};

class IInternetProtocolSink : public IUnknown {
 public:
  virtual HRESULT Switch(PROTOCOLDATA* data) = 0;
  virtual HRESULT ReportProgress(ULONG status, LPCWSTR text) = 0;
  virtual HRESULT ReportData(DWORD flags, ULONG progress, ULONG maximum) = 0;
  virtual HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR text) = 0;
};

// The process's session. Registrations add a reference to the class object
// and the unregistration of the same class object and name releases it.
// Several registrations of one scheme or type stack: the latest is used
// first. Scheme and type names compare without regard to letter case.
class IInternetSession : public IUnknown {
 public:
  // Registers a temporary namespace handler for `scheme` ("http"). The
  // patterns are kept but not used for matching: every address of the
  // scheme reaches the handler. E_INVALIDARG without class object or scheme.
  virtual HRESULT RegisterNameSpace(IClassFactory* factory, REFCLSID clsid,
                                    LPCWSTR scheme, ULONG pattern_count,
                                    const LPCWSTR* patterns, DWORD reserved) = 0;
  // Removes the latest registration of `factory` for `scheme`. S_OK also
  // when there is none (as on Windows); E_INVALIDARG without arguments.
  virtual HRESULT UnregisterNameSpace(IClassFactory* factory, LPCWSTR scheme) = 0;
  // Registers a MIME filter for `type` ("text/html").
  virtual HRESULT RegisterMimeFilter(IClassFactory* factory, REFCLSID clsid,
                                     LPCWSTR type) = 0;
  virtual HRESULT UnregisterMimeFilter(IClassFactory* factory, LPCWSTR type) = 0;
};

// Gives the process's session (with a reference). `mode` and `reserved`
// must be 0 (E_INVALIDARG otherwise). Fails with INET_E_NO_SESSION while the
// session is made unavailable for a test (urlmon_testing.h).
HRESULT CoInternetGetSession(DWORD mode, IInternetSession** session, DWORD reserved);

// How many registrations the session holds for a scheme or a MIME type (to
// see that counted registrations register once).
size_t CountNameSpaceRegistrations(const std::wstring& scheme);
size_t CountMimeFilterRegistrations(const std::wstring& type);

}  // namespace cvie
