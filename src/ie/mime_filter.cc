// The HTML MIME filter and its counted registration.

#include "ie/mime_filter.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "anyhtml/html_editor.h"
#include "config/options.h"
#include "ie/counted_registration.h"
#include "ie/host_process.h"
#include "ie/ie_guids.h"
#include "ie/ns_handler.h"
#include "ie/page_filter.h"
#include "log/logger.h"
#include "platform/page_bind_options.h"
#include "platform/text.h"
#include "platform/url.h"
#include "rules/rule_loading.h"
#include "rules/rules_holder.h"
#include "whitelist/whitelist.h"

namespace cvie {

namespace {

constexpr wchar_t kHtmlType[] = L"text/html";
constexpr ULONG kSourcePiece = 8192;
// The most a page's announced length reserves ahead of its bytes: a length
// that lies costs no more than this.
constexpr uint64_t kMaxReserve = 64u << 20;

// The page limit of filters started on this thread (0: none).

// Numbers the objects for the log; never decremented.
std::atomic<int32_t> g_instance_counter{0};

// The class is in the module's class table from the start, so that the
// registration and the module's exports can get its class object.
const bool kClassAdded = [] {
  ComModule::Instance().AddClass(CLSID_HTMLMimeFilterPP,
                                 &CreateComInstance<CHTMLMimeFilterPP>,
                                 L"HTMLMimeFilterPP Class");
  return true;
}();

// The filter's registration for "text/html"; never destroyed.
CountedRegistration& TheRegistration() {
  static CountedRegistration* const registration = new CountedRegistration(
      {kHtmlType},
      [](IClassFactory** out) {
        return CoGetClassObject(CLSID_HTMLMimeFilterPP, CLSCTX_SERVER, nullptr,
                                IID_IClassFactory, reinterpret_cast<void**>(out));
      },
      [](IInternetSession* session, IClassFactory* factory, const wchar_t* type) {
        return session->RegisterMimeFilter(factory, CLSID_HTMLMimeFilterPP, type);
      },
      [](IInternetSession* session, IClassFactory* factory, const wchar_t* type) {
        return session->UnregisterMimeFilter(factory, type);
      });
  return *registration;
}

Logger& Log() { return Logger::Instance(); }

const wchar_t* Text(LPCWSTR text) { return text ? text : L""; }

unsigned Address(const void* p) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

// --- Construction ------------------------------------------------------------

CHTMLMimeFilterPP::CHTMLMimeFilterPP()
    : instance_number_(g_instance_counter.fetch_add(1, std::memory_order_relaxed)),
      enabled_(IsBrowserProcess() && CVCfg::Instance().GetEnableCorvane() != 0) {
  Log().Log(LOG_DETAIL, L"Create new CHTMLMimeFilterPP %d (%s)\n", instance_number_,
            enabled_ ? "ENABLED" : "DISABLED");
}

CHTMLMimeFilterPP::~CHTMLMimeFilterPP() {
  source_protocol_.Reset();
  browser_sink_.Reset();
  input_buffer_.reset();
  output_buffer_.reset();
  Log().Log(LOG_DETAIL, L"Destroied one CHTMLMimeFilterPP %d\n", instance_number_);
}

void* CHTMLMimeFilterPP::FindInterface(REFIID iid) {
  if (iid == IID_IHTMLMimeFilterPP) return static_cast<IHTMLMimeFilterPP*>(this);
  if (iid == IID_IDispatch)
    return static_cast<IDispatch*>(static_cast<IHTMLMimeFilterPP*>(this));
  if (iid == IID_IInternetProtocol) return static_cast<IInternetProtocol*>(this);
  if (iid == IID_IInternetProtocolRoot)
    return static_cast<IInternetProtocolRoot*>(static_cast<IInternetProtocol*>(this));
  if (iid == IID_IInternetProtocolSink) return static_cast<IInternetProtocolSink*>(this);
  if (iid == IID_IInMemoryData) return static_cast<IInMemoryData*>(this);
  return nullptr;
}

// --- IDispatch ---------------------------------------------------------------

HRESULT CHTMLMimeFilterPP::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CHTMLMimeFilterPP::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT CHTMLMimeFilterPP::GetIDsOfNames(REFIID, LPWSTR*, UINT, LCID, DISPID*) {
  return DISP_E_UNKNOWNNAME;
}

HRESULT CHTMLMimeFilterPP::Invoke(DISPID, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT*,
                                  EXCEPINFO*, UINT*) {
  return DISP_E_MEMBERNOTFOUND;
}

// --- IInternetProtocolRoot ---------------------------------------------------

HRESULT CHTMLMimeFilterPP::Start(LPCWSTR url, IInternetProtocolSink* sink,
                                 IInternetBindInfo* bind_info, DWORD flags,
                                 HANDLE_PTR reserved) {
  Log().Log(LOG_NOTICE, L"%d IIPR::Start - url=%ls, sti=%x\n", instance_number_,
            Text(url), flags);
  page_filterable_ = false;
  const std::wstring page = GetThreadUrl();
  Log().Log(LOG_NOTICE, L"%d IIPR::Start - the url of the page is: %ls\n",
            instance_number_, page.c_str());
  page_url_ = platform::ToNarrow(page);
  whitelisted_ = Whitelist::Instance().Contains(page, false);
  switch (platform::UrlScheme(page)) {
    case platform::INTERNET_SCHEME_HTTP:
    case platform::INTERNET_SCHEME_HTTPS:
      page_filterable_ = true;
      break;
    case platform::INTERNET_SCHEME_FILE:
      page_filterable_ = CVCfg::Instance().GetBlockAdsOnLocalPage() != 0;
      break;
    default:
      page_filterable_ = false;
      break;
  }
  aborted_ = false;
  page_limit_ = PageLimitOf(bind_info);
  passed_on_ = false;
  if (state_ != HMFS_IDLE) {
    Log().Log(LOG_WARNING, L"%d =========== Something is wrong \n", instance_number_);
  }
  state_ = HMFS_STARTED;
  input_buffer_.reset(new CEasyBuffer(CEasyBuffer::kReuseThreadBlocks));
  output_buffer_.reset();
  source_protocol_.Reset();
  browser_sink_.Reset();

  const PROTOCOLFILTERDATA* filter_data =
      reinterpret_cast<const PROTOCOLFILTERDATA*>(reserved);
  if (!(flags & PI_FILTER_MODE) || !filter_data || !filter_data->pProtocol) {
    return E_INVALIDARG;
  }
  source_protocol_ = ComPtr<IInternetProtocol>(filter_data->pProtocol);
  browser_sink_ = ComPtr<IInternetProtocolSink>(sink);
  return S_OK;
}

HRESULT CHTMLMimeFilterPP::Continue(PROTOCOLDATA* data) {
  Log().Log(LOG_DETAIL, L"%d IIPR::Continue\n", instance_number_);
  return source_protocol_ ? source_protocol_->Continue(data) : E_FAIL;
}

HRESULT CHTMLMimeFilterPP::Abort(HRESULT reason, DWORD options) {
  Log().Log(LOG_DETAIL, L"%d IIPR::Abort - reason=%x\n", instance_number_,
            static_cast<unsigned>(reason));
  aborted_ = true;
  state_ = HMFS_ABORTED;
  return source_protocol_ ? source_protocol_->Abort(reason, options) : E_FAIL;
}

HRESULT CHTMLMimeFilterPP::Terminate(DWORD options) {
  Log().Log(LOG_DETAIL, L"%d IIPR::Terminate - options=%x\n", instance_number_, options);
  return source_protocol_ ? source_protocol_->Terminate(options) : E_FAIL;
}

HRESULT CHTMLMimeFilterPP::Suspend() {
  Log().Log(LOG_DETAIL, L"%d IIPR::Suspend\n", instance_number_);
  return source_protocol_ ? source_protocol_->Suspend() : E_FAIL;
}

HRESULT CHTMLMimeFilterPP::Resume() {
  Log().Log(LOG_DETAIL, L"%d IIPR::Resume\n", instance_number_);
  return source_protocol_ ? source_protocol_->Resume() : E_FAIL;
}

// --- IInternetProtocol -------------------------------------------------------

HRESULT CHTMLMimeFilterPP::Read(void* buffer, ULONG count, ULONG* read) {
  Log().Log(LOG_DETAIL, L"%d IIP::Read - pv = 0x%x, cb = %d\n", instance_number_,
            Address(buffer), count);
  if (IsBypassed()) {
    // A refused Start leaves no source: there is nothing to pass through.
    if (!source_protocol_) return E_FAIL;
    return source_protocol_->Read(buffer, count, read);
  }
  if (state_ < HMFS_STARTED) return E_FAIL;
  if (passed_on_ && state_ != HMFS_ABORTED) return ReadPassedOn(buffer, count, read);
  if (state_ >= HMFS_DONE) return S_FALSE;
  if (state_ < HMFS_PARSING) {
    HRESULT hr = ReadAllData();
    if (hr != S_OK) return hr;
    if (passed_on_) return ReadPassedOn(buffer, count, read);
  }
  if (state_ == HMFS_PARSING) {
    HRESULT parsed = ParseData();
    if (FAILED(parsed)) return parsed;  // the page cannot be served whole
  }
  if (state_ < HMFS_READY) return E_PENDING;
  if (state_ != HMFS_READY) return S_FALSE;
  ULONG served = 0;
  HRESULT hr = ReadParsedData(buffer, count, &served);
  if (read) *read = served;
  Log().Log(LOG_DETAIL, L"%d IIP::Read ...pcbRead = %d\n", instance_number_, served);
  return hr;
}

// --- IInMemoryData -------------------------------------------------------------

HRESULT CHTMLMimeFilterPP::PeekData(const char** data, ULONG* size) {
  if (!data || !size) return E_POINTER;
  *data = nullptr;
  *size = 0;
  if (IsBypassed() || passed_on_) return E_NOTIMPL;
  if (state_ < HMFS_STARTED) return E_FAIL;
  if (state_ >= HMFS_DONE) return S_FALSE;
  if (state_ < HMFS_PARSING) {
    HRESULT hr = ReadAllData();
    if (hr != S_OK) return hr;
    if (passed_on_) return E_NOTIMPL;
  }
  if (state_ == HMFS_PARSING) {
    HRESULT parsed = ParseData();
    if (FAILED(parsed)) return parsed;
  }
  if (state_ < HMFS_READY) return E_PENDING;
  if (state_ != HMFS_READY) return S_FALSE;
  if (!output_buffer_) return E_FAIL;
  const ULONG position = output_buffer_->GetReadPosition();
  if (position >= output_buffer_->GetSize()) {
    state_ = HMFS_DONE;
    return S_FALSE;
  }
  *data = output_buffer_->GetData() + position;
  *size = output_buffer_->GetSize() - position;
  return S_OK;
}

HRESULT CHTMLMimeFilterPP::SkipData(ULONG count) {
  if (passed_on_ || state_ != HMFS_READY || !output_buffer_) return E_FAIL;
  return output_buffer_->Skip(count);
}

HRESULT CHTMLMimeFilterPP::Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) {
  Log().Log(LOG_DETAIL, L"%d IIP::Seek\n", instance_number_);
  return E_NOTIMPL;
}

HRESULT CHTMLMimeFilterPP::LockRequest(DWORD) {
  Log().Log(LOG_DETAIL, L"%d IIP::LockRequest\n", instance_number_);
  return S_OK;
}

HRESULT CHTMLMimeFilterPP::UnlockRequest() {
  Log().Log(LOG_DETAIL, L"%d IIP::UnlockRequest\n", instance_number_);
  return S_OK;
}

// --- IInternetProtocolSink ---------------------------------------------------

HRESULT CHTMLMimeFilterPP::Switch(PROTOCOLDATA* data) {
  Log().Log(LOG_DETAIL, L"%d IIPS::Switch\n", instance_number_);
  return browser_sink_ ? browser_sink_->Switch(data) : E_FAIL;
}

HRESULT CHTMLMimeFilterPP::ReportProgress(ULONG status, LPCWSTR text) {
  Log().Log(LOG_DETAIL, L"%d IIPS::ReportProgress - status = (%d) %ls\n",
            instance_number_, status, Text(text));
  return browser_sink_ ? browser_sink_->ReportProgress(status, text) : E_FAIL;
}

HRESULT CHTMLMimeFilterPP::ReportData(DWORD flags, ULONG progress, ULONG maximum) {
  Logger& log = Log();
  log.Log(LOG_DETAIL, L"%d IIPS::ReportData - bscf = %d, prog = %d, max = %d\n",
          instance_number_, flags, progress, maximum);
  if (flags & BSCF_FIRSTDATANOTIFICATION)
    log.Log(LOG_DETAIL, L"%d BSCF_FIRSTDATANOTIFICATION\n", instance_number_);
  if (flags & BSCF_INTERMEDIATEDATANOTIFICATION)
    log.Log(LOG_DETAIL, L"%d BSCF_INTERMEDIATEDATANOTIFICATION\n", instance_number_);
  if (flags & BSCF_LASTDATANOTIFICATION)
    log.Log(LOG_DETAIL, L"%d BSCF_LASTDATANOTIFICATION\n", instance_number_);
  if (flags & BSCF_DATAFULLYAVAILABLE)
    log.Log(LOG_DETAIL, L"%d BSCF_DATAFULLYAVAILABLE\n", instance_number_);
  if (flags & BSCF_AVAILABLEDATASIZEUNKNOWN)
    log.Log(LOG_DETAIL, L"%d BSCF_AVAILABLEDDATASIZEUNKNOWN\n", instance_number_);
  // A source that knows the page's length (Content-Length) says so before the
  // first bytes: the input buffer takes it at once instead of growing, up to
  // what the page limit (or kMaxReserve) lets it hold, the two zero bytes
  // after the page included.
  if (input_buffer_ && input_buffer_->GetSize() == 0 && maximum > 0 &&
      !(flags & BSCF_AVAILABLEDATASIZEUNKNOWN)) {
    const uint64_t cap = page_limit_ > 0 ? page_limit_ + kSourcePiece : kMaxReserve;
    input_buffer_->Reserve(static_cast<ULONG>(std::min<uint64_t>(maximum, cap) + 2));
  }
  if (!browser_sink_ || aborted_) return E_FAIL;
  return browser_sink_->ReportData(flags, progress, maximum);
}

HRESULT CHTMLMimeFilterPP::ReportResult(HRESULT result, DWORD error, LPCWSTR text) {
  Log().Log(LOG_DETAIL, L"%d IIPS::ReportResult - result = %x, error = (%d) %ls\n",
            instance_number_, static_cast<unsigned>(result), error, Text(text));
  return browser_sink_ ? browser_sink_->ReportResult(result, error, text) : E_FAIL;
}

// --- Collecting, editing, serving ----------------------------------------------

HRESULT CHTMLMimeFilterPP::ReadAllData() {
  if (state_ != HMFS_STARTED && state_ != HMFS_READING) {
    Log().Log(LOG_WARNING, L"%d =========This should not happen!!!\n", instance_number_);
    return E_FAIL;
  }
  if (!source_protocol_ || !input_buffer_) return E_FAIL;
  ULONG total = 0;
  ULONG read = 0;
  HRESULT hr;
  do {
    // The source writes straight into the free space of the buffer: as much
    // as the buffer has room for, at least one piece and at most as much as
    // was collected already, so a page that is there at once takes few reads
    // and a source that claims more than it wrote gains at most double. A
    // full buffer grows by half the page at least.
    const ULONG size = input_buffer_->GetSize();
    const ULONG room = input_buffer_->GetCapacity() - size;
    const ULONG want = std::max(kSourcePiece, size);
    const ULONG count =
        room >= kSourcePiece ? std::min(room, want) : std::max(kSourcePiece, size / 2);
    char* space = input_buffer_->PrepareAppend(count);
    // Bytes that cannot be kept would leave a hole in the page: the download
    // fails instead.
    if (!space) return E_OUTOFMEMORY;
    read = 0;
    hr = source_protocol_->Read(space, count, &read);
    if (read > count) read = count;  // a source may not claim more
    total += read;
    if (read > 0) {
      if (state_ == HMFS_STARTED) state_ = HMFS_READING;
      HRESULT appended = input_buffer_->CommitAppend(read);
      if (FAILED(appended)) return appended;
      if (page_limit_ > 0 && input_buffer_->GetSize() > page_limit_ &&
          (hr == S_OK || hr == E_PENDING)) {
        // More is to come and the page is already too big to hold for
        // editing: what was collected goes out unedited, the rest follows
        // from the source as it arrives.
        Log().Log(LOG_NOTICE, L"%d page larger than %lu bytes: passed on unfiltered\n",
                  instance_number_, static_cast<unsigned long>(page_limit_));
        input_buffer_->SetComplete();
        output_buffer_ = std::move(input_buffer_);
        passed_on_ = true;
        state_ = HMFS_READY;
        return S_OK;
      }
    } else if (hr == S_OK) {
      // Nothing read but more promised: ask again after the next data
      // notification rather than spin here.
      hr = E_PENDING;
    }
  } while (hr == S_OK);

  Logger& log = Log();
  if (hr == INET_E_DATA_NOT_AVAILABLE) {
    log.Log(LOG_DETAIL, L"%d INET_E_DATA_NOT_AVAILABLE %d of %d\n", instance_number_,
            read, total);
  } else if (hr == INET_E_DOWNLOAD_FAILURE) {
    log.Log(LOG_DETAIL, L"%d INET_E_DOWNLOAD_FAILURE %d of %d\n", instance_number_, read,
            total);
  } else if (hr == E_PENDING) {
    log.Log(LOG_DETAIL, L"%d E_PENDING %d of %d\n", instance_number_, read, total);
  } else if (hr == S_FALSE) {
    log.Log(LOG_DETAIL, L"%d S_FALSE %d of %d\n", instance_number_, read, total);
  } else {
    log.Log(LOG_DETAIL, L"%d XXXXXXX %d of %d", instance_number_, read, total);
  }
  if (hr != S_FALSE) return hr;

  log.Log(LOG_DETAIL, L"%d=== FINISHED READ ==  %d\n", instance_number_, total);
  // The parser relies on two zero bytes after the page; they do not count.
  static const char kZeros[2] = {0, 0};
  HRESULT appended = input_buffer_->Append(kZeros, 2);
  if (FAILED(appended)) return appended;
  input_buffer_->RemoveTail(2);
  input_buffer_->SetComplete();
  state_ = HMFS_PARSING;
  return S_OK;
}

HRESULT CHTMLMimeFilterPP::ParseData() {
  if (state_ == HMFS_READY) return S_OK;
  if (state_ != HMFS_PARSING || !input_buffer_) {
    Log().Log(LOG_DETAIL,
              L"%d =========m_state is not HMFS_PARSING. This should not happen!!!\n",
              instance_number_);
    return E_FAIL;
  }
  output_buffer_.reset(new CEasyBuffer(CEasyBuffer::kReuseThreadBlocks));
  const ULONG size = input_buffer_->GetSize();
  // The rewritten page is about as long as the page.
  output_buffer_->Reserve(size);
  const unsigned char* data =
      reinterpret_cast<const unsigned char*>(input_buffer_->GetData());
  is_utf16_ = size > 2 && data[0] == 0xFF && data[1] == 0xFE;
  bool copy_input = true;
  if (!is_utf16_ && !IsBypassed()) {
    HRESULT filtered = FilterPage();
    // An output with a hole fails the page, as an input with one does.
    if (filtered == E_OUTOFMEMORY) return filtered;
    copy_input = FAILED(filtered);
  }
  if (copy_input) {
    // Whatever a failed edit wrote is discarded.
    output_buffer_->Reset();
    HRESULT copied = output_buffer_->Append(input_buffer_->GetData(), size);
    if (FAILED(copied)) return copied;
  }
  output_buffer_->SetComplete();
  // The page as downloaded is not needed any more: only the rewritten one is
  // held while it is served.
  input_buffer_.reset();
  state_ = HMFS_READY;
  return S_OK;
}

HRESULT CHTMLMimeFilterPP::FilterPage() {
  if (IsBypassed() || !input_buffer_ || !output_buffer_) return E_FAIL;
  return EditHtmlPage(page_url_, input_buffer_->GetData(), input_buffer_->GetSize(),
                      output_buffer_.get());
}

HRESULT CHTMLMimeFilterPP::ReadPassedOn(void* buffer, ULONG count, ULONG* read) {
  if (state_ == HMFS_READY) {
    ULONG served = 0;
    HRESULT hr = ReadParsedData(buffer, count, &served);
    if (hr != S_FALSE) {
      if (read) *read = served;
      return hr;
    }
    output_buffer_.reset();  // drained: the memory goes back at once
  }
  if (!source_protocol_) return E_FAIL;
  return source_protocol_->Read(buffer, count, read);
}

HRESULT CHTMLMimeFilterPP::ReadParsedData(void* buffer, ULONG count, ULONG* read) {
  if (state_ <= HMFS_PARSING) return E_PENDING;
  if (state_ >= HMFS_DONE) return S_FALSE;
  if (!output_buffer_) return E_FAIL;
  ULONG served = 0;
  HRESULT hr = output_buffer_->ReadData(buffer, count, &served);
  if (read) *read = served;
  if (hr == S_FALSE) state_ = HMFS_DONE;
  return hr;
}

// --- Registration ------------------------------------------------------------

HRESULT RegisterHtmlFilter() { return TheRegistration().Register(); }

HRESULT UnregisterHtmlFilter() { return TheRegistration().Unregister(); }

int HtmlFilterRegistrationCount() { return TheRegistration().count(); }

}  // namespace cvie
