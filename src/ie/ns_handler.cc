// The namespace handler, its counted registration and the page address table.

#include "ie/ns_handler.h"

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "config/options.h"
#include "ie/counted_registration.h"
#include "ie/host_process.h"
#include "ie/ie_guids.h"
#include "log/logger.h"
#include "platform/thread.h"

namespace cvie {

namespace {

// Numbers the objects for the log; never decremented.
std::atomic<int32_t> g_instance_counter{0};

// The class is in the module's class table from the start, so that the
// registration and the module's exports can get its class object.
const bool kClassAdded = [] {
  ComModule::Instance().AddClass(CLSID_NSHandler, &CreateComInstance<CNSHandler>,
                                 L"NSHandler Class");
  return true;
}();

// --- Registration ------------------------------------------------------------

// The handler's registration for "http", "https" and "file", in that order.
// Refused schemes are not retried and a missing session registers nothing
// without an error. Never destroyed.
CountedRegistration& TheRegistration() {
  static CountedRegistration* const registration = new CountedRegistration(
      {L"http", L"https", L"file"},
      [](IClassFactory** out) {
        return CoGetClassObject(CLSID_NSHandler, CLSCTX_SERVER, nullptr,
                                IID_IClassFactory, reinterpret_cast<void**>(out));
      },
      [](IInternetSession* session, IClassFactory* factory, const wchar_t* scheme) {
        return session->RegisterNameSpace(factory, CLSID_NSHandler, scheme, 0, nullptr,
                                          0);
      },
      [](IInternetSession* session, IClassFactory* factory, const wchar_t* scheme) {
        return session->UnregisterNameSpace(factory, scheme);
      },
      /*quiet_without_session=*/true);
  return *registration;
}

// --- Page address table ------------------------------------------------------

struct AddressTable {
  std::mutex mutex;
  std::unordered_map<DWORD, std::wstring> urls;  // guarded by mutex
};

AddressTable& Addresses() {
  // Never destroyed: threads may end (and remove their entry) while the
  // process exits.
  static AddressTable* const table = new AddressTable();
  return *table;
}

// Removes the thread's entry when the thread ends, so that a thread id the
// system hands out again later does not inherit an old address.
struct EntryRemover {
  DWORD thread = 0;
  ~EntryRemover() {
    if (thread == 0) return;
    AddressTable& table = Addresses();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.urls.erase(thread);
  }
};

// The calling thread's id, with its entry's removal at thread end arranged.
DWORD ThreadKey() {
  thread_local EntryRemover remover;
  if (remover.thread == 0) remover.thread = platform::GetCurrentThreadId();
  return remover.thread;
}

Logger& Log() { return Logger::Instance(); }

const wchar_t* Text(LPCWSTR text) { return text ? text : L""; }

}  // namespace

// --- CNSHandler --------------------------------------------------------------

CNSHandler::CNSHandler()
    : instance_number_(g_instance_counter.fetch_add(1, std::memory_order_relaxed)),
      enabled_(IsBrowserProcess() && CVCfg::Instance().GetEnableCorvane() == 1) {
  Log().Log(LOG_DETAIL, L"Create new CNSHandler %d (%s)\n", instance_number_,
            enabled_ ? "ENABLED" : "DISABLED");
}

CNSHandler::~CNSHandler() {
  Log().Log(LOG_DETAIL, L"Destroied one CNSHandler %d\n", instance_number_);
}

void* CNSHandler::FindInterface(REFIID iid) {
  if (iid == IID_INSHandler) return static_cast<INSHandler*>(this);
  if (iid == IID_IDispatch)
    return static_cast<IDispatch*>(static_cast<INSHandler*>(this));
  if (iid == IID_IInternetProtocol) return static_cast<IInternetProtocol*>(this);
  if (iid == IID_IInternetProtocolRoot)
    return static_cast<IInternetProtocolRoot*>(static_cast<IInternetProtocol*>(this));
  if (iid == IID_IInternetProtocolSink) return static_cast<IInternetProtocolSink*>(this);
  return nullptr;
}

HRESULT CNSHandler::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CNSHandler::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT CNSHandler::GetIDsOfNames(REFIID, LPWSTR*, UINT, LCID, DISPID*) {
  return DISP_E_UNKNOWNNAME;
}

HRESULT CNSHandler::Invoke(DISPID, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT*,
                           EXCEPINFO*, UINT*) {
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT CNSHandler::Start(LPCWSTR url, IInternetProtocolSink*, IInternetBindInfo*,
                          DWORD flags, HANDLE_PTR) {
  Log().Log(LOG_NOTICE, L"NSHandler %d IIPR::Start - url=%ls, sti=%x\n", instance_number_,
            Text(url), flags);
  SetThreadUrl(url);
  return INET_E_USE_DEFAULT_PROTOCOLHANDLER;
}

HRESULT CNSHandler::Continue(PROTOCOLDATA*) {
  Log().Log(LOG_DETAIL, L"%d IIPR::Continue\n", instance_number_);
  return S_OK;
}

HRESULT CNSHandler::Abort(HRESULT reason, DWORD) {
  Log().Log(LOG_DETAIL, L"%d IIPR::Abort - reason=%x\n", instance_number_,
            static_cast<unsigned>(reason));
  return S_OK;
}

HRESULT CNSHandler::Terminate(DWORD options) {
  Log().Log(LOG_DETAIL, L"%d IIPR::Terminate - options=%x\n", instance_number_, options);
  return S_OK;
}

HRESULT CNSHandler::Suspend() {
  Log().Log(LOG_DETAIL, L"%d IIPR::Suspend\n", instance_number_);
  return S_OK;
}

HRESULT CNSHandler::Resume() {
  Log().Log(LOG_DETAIL, L"%d IIPR::Resume\n", instance_number_);
  return S_OK;
}

HRESULT CNSHandler::Read(void* buffer, ULONG count, ULONG*) {
  Log().Log(LOG_DETAIL, L"%d IIP::Read - pv = 0x%x, cb = %d\n", instance_number_,
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(buffer)), count);
  return S_FALSE;
}

HRESULT CNSHandler::Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) {
  Log().Log(LOG_DETAIL, L"%d IIP::Seek\n", instance_number_);
  return S_OK;
}

HRESULT CNSHandler::LockRequest(DWORD) {
  Log().Log(LOG_DETAIL, L"%d IIP::LockRequest\n", instance_number_);
  return S_OK;
}

HRESULT CNSHandler::UnlockRequest() {
  Log().Log(LOG_DETAIL, L"%d IIP::UnlockRequest\n", instance_number_);
  return S_OK;
}

HRESULT CNSHandler::Switch(PROTOCOLDATA*) {
  Log().Log(LOG_DETAIL, L"%d IIPS::Switch\n", instance_number_);
  return S_OK;
}

HRESULT CNSHandler::ReportProgress(ULONG status, LPCWSTR text) {
  Log().Log(LOG_DETAIL, L"%d IIPS::ReportProgress - status = (%d) %ls\n",
            instance_number_, status, Text(text));
  return S_OK;
}

HRESULT CNSHandler::ReportData(DWORD flags, ULONG progress, ULONG maximum) {
  Log().Log(LOG_DETAIL, L"%d IIPS::ReportData - bscf = %d, prog = %d, max = %d\n",
            instance_number_, flags, progress, maximum);
  return S_OK;
}

HRESULT CNSHandler::ReportResult(HRESULT result, DWORD error, LPCWSTR text) {
  Log().Log(LOG_DETAIL, L"%d IIPS::ReportResult - result = %x, error = (%d) %ls\n",
            instance_number_, static_cast<unsigned>(result), error, Text(text));
  return S_OK;
}

// --- Registration ------------------------------------------------------------

HRESULT RegisterNamespaceHandler() { return TheRegistration().Register(); }

HRESULT UnregisterNamespaceHandler() { return TheRegistration().Unregister(); }

int NamespaceHandlerRegistrationCount() { return TheRegistration().count(); }

// --- Page address table ------------------------------------------------------

void SetThreadUrl(const wchar_t* url) {
  DWORD key = ThreadKey();
  std::wstring copy = url ? url : L"";
  AddressTable& table = Addresses();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.urls[key] = std::move(copy);
}

std::wstring GetThreadUrl() {
  DWORD key = ThreadKey();
  AddressTable& table = Addresses();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.urls[key];
}

size_t ThreadUrlEntryCount() {
  AddressTable& table = Addresses();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.urls.size();
}

}  // namespace cvie
