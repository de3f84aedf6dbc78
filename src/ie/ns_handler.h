// ie/ns_handler.h
//
// The namespace handler and the page address relay. A MIME filter is started
// with the page's MIME type, not its address; the namespace handler closes
// that gap. Registered in the process's URL-moniker session for "http",
// "https" and "file", its Start runs at the beginning of every request of
// those schemes on the thread that makes the request: it records the address
// for that thread (SetThreadUrl), writes one log line, and declines with
// INET_E_USE_DEFAULT_PROTOCOLHANDLER so that the default protocol fetches the
// page unchanged. The MIME filter started next on the same thread takes the
// address with GetThreadUrl.
//
// Thread safety: the address table is shared by every thread and guarded by
// a lock; each thread sees only its own entry, which is removed when the
// thread ends. The registration functions may be called from any thread; the
// count and the cached class object are guarded by one lock. A CNSHandler
// object is used on the thread that made it.

#pragma once

#include <string>

#include "platform/com_registry.h"
#include "platform/urlmon.h"

namespace cvie {

// The dual interface of CNSHandler; it has no members of its own.
class INSHandler : public IDispatch {};

class CNSHandler
    : public ComObject<INSHandler, IInternetProtocol, IInternetProtocolSink> {
 public:
  // Takes the next instance number and decides `enabled` (the host is the
  // browser and "Enable Corvane" is on); logs "Create new CNSHandler".
  CNSHandler();

  // IDispatch: no members and no type information on this platform.
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID iid, LPWSTR* names, UINT count, LCID locale,
                        DISPID* ids) override;
  HRESULT Invoke(DISPID id, REFIID iid, LCID locale, uint16_t flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argument_error) override;

  // IInternetProtocolRoot. Start records `url` for the calling thread and
  // answers INET_E_USE_DEFAULT_PROTOCOLHANDLER; the sink and the bind
  // information are neither used nor kept. The others only log and answer
  // S_OK.
  HRESULT Start(LPCWSTR url, IInternetProtocolSink* sink, IInternetBindInfo* bind_info,
                DWORD flags, HANDLE_PTR reserved) override;
  HRESULT Continue(PROTOCOLDATA* data) override;
  HRESULT Abort(HRESULT reason, DWORD options) override;
  HRESULT Terminate(DWORD options) override;
  HRESULT Suspend() override;
  HRESULT Resume() override;

  // IInternetProtocol: Read reads nothing, leaves *read alone and answers
  // S_FALSE; the others answer S_OK.
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override;
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_position) override;
  HRESULT LockRequest(DWORD options) override;
  HRESULT UnlockRequest() override;

  // IInternetProtocolSink: each logs and answers S_OK.
  HRESULT Switch(PROTOCOLDATA* data) override;
  HRESULT ReportProgress(ULONG status, LPCWSTR text) override;
  HRESULT ReportData(DWORD flags, ULONG progress, ULONG maximum) override;
  HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR text) override;

  int32_t instance_number() const { return instance_number_; }
  bool enabled() const { return enabled_; }

 protected:
  ~CNSHandler() override;  // logs "Destroied one CNSHandler"
  void* FindInterface(REFIID iid) override;

 private:
  const int32_t instance_number_;
  const bool enabled_;
};

// Registers the namespace handler for "http", "https" and "file" on the first
// call; later calls only count. Returns S_OK when only counted; the failure
// of getting the class object (nothing registered, the count unchanged);
// S_OK without registering when the session cannot be had (the count stays
// 0, the next call tries again); otherwise the result of the "file"
// registration (the count becomes 1 also when a scheme failed).
HRESULT RegisterNamespaceHandler();

// Undoes one RegisterNamespaceHandler. The last one (count 1 or less)
// withdraws the three schemes, releases the cached class object and sets the
// count to 0. Returns S_OK when only counted, else the result of the last
// step that ran (getting the class object, or the "file" unregistration).
HRESULT UnregisterNamespaceHandler();

// RegisterNamespaceHandler calls not yet undone.
int NamespaceHandlerRegistrationCount();

// Stores a copy of `url` as the calling thread's page address (null stores
// the empty string).
void SetThreadUrl(const wchar_t* url);
inline void SetThreadUrl(const std::wstring& url) { SetThreadUrl(url.c_str()); }

// The calling thread's page address: the address of the last request started
// on this thread, or the empty string (then recorded as its entry) when none
// has started.
std::wstring GetThreadUrl();

// Threads that have an entry in the address table (for tests of the table's
// upkeep).
size_t ThreadUrlEntryCount();

}  // namespace cvie
