#include "urlmon/urlmon_fakes.h"

#include <string.h>

#include <algorithm>
#include <chrono>

namespace cvie::testing {

const CLSID CLSID_FakeHandler = {0x5C2B4A10, 0x1D3E, 0x4F60, {0x9A, 1, 2, 3, 4, 5, 6, 7}};
const CLSID CLSID_FakeFilter = {0x5C2B4A11, 0x1D3E, 0x4F60, {0x9A, 1, 2, 3, 4, 5, 6, 8}};

void FakeLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex);
  handler_urls.clear();
  handler_names.clear();
  handler_threads.clear();
  filters_started = 0;
  filter_type.clear();
  filter_flags = 0;
  filter_start_thread = std::thread::id();
  filter_inputs.clear();
  filter_notes.clear();
  filter_pending_reads = 0;
  continue_threads.clear();
}

FakeLog& Fakes() {
  static FakeLog log;
  return log;
}

std::string FilteredForm(const std::string& page) {
  std::string upper = page;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(toupper(c)); });
  return "[filtered]" + upper;
}

namespace {

// Protocol methods a fake does not take part in.
template <class... Interfaces>
class FakeProtocolBase : public ComObject<Interfaces...> {
 public:
  FakeProtocolBase() : ComObject<Interfaces...>(false) {}
  HRESULT Continue(PROTOCOLDATA*) override { return S_OK; }
  HRESULT Abort(HRESULT, DWORD) override { return S_OK; }
  HRESULT Terminate(DWORD) override { return S_OK; }
  HRESULT Suspend() override { return E_NOTIMPL; }
  HRESULT Resume() override { return E_NOTIMPL; }
  HRESULT Read(void*, ULONG, ULONG*) override { return S_FALSE; }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT LockRequest(DWORD) override { return S_OK; }
  HRESULT UnlockRequest() override { return S_OK; }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_IInternetProtocol) return static_cast<IInternetProtocol*>(this);
    if (iid == IID_IInternetProtocolRoot)
      return static_cast<IInternetProtocolRoot*>(this);
    return nullptr;
  }
};

template <int kWhich>
class RecordingHandler : public FakeProtocolBase<IInternetProtocol> {
 public:
  HRESULT Start(LPCWSTR url, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                HANDLE_PTR) override {
    FakeLog& log = Fakes();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.handler_urls.push_back(url);
    log.handler_names.push_back(kWhich == 1 ? "first" : "second");
    log.handler_threads.push_back(std::this_thread::get_id());
    return INET_E_USE_DEFAULT_PROTOCOLHANDLER;
  }
};

class RefusingHandler : public FakeProtocolBase<IInternetProtocol> {
 public:
  HRESULT Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                HANDLE_PTR) override {
    return E_FAIL;
  }
};

const char* const kServedPieces[] = {"served ", "from ", "a ", "worker thread"};
constexpr int kServedPieceCount = 4;

// Serves the request itself: a worker thread asks, through Switch, for each
// piece to be added on the binding thread (in Continue), where the piece is
// then announced.
class ServingHandler : public FakeProtocolBase<IInternetProtocol> {
 public:
  ~ServingHandler() override { Join(); }

  HRESULT Start(LPCWSTR, IInternetProtocolSink* sink, IInternetBindInfo*, DWORD,
                HANDLE_PTR) override {
    sink_ = sink;
    worker_ = std::thread([this] {
      // The type is reported from this thread; the engine carries it over.
      sink_->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/plain; charset=utf-8");
      for (int i = 0; i < kServedPieceCount; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        PROTOCOLDATA data;
        data.dwState = static_cast<DWORD>(i);
        sink_->Switch(&data);
      }
    });
    return S_OK;
  }

  HRESULT Continue(PROTOCOLDATA* data) override {
    {
      FakeLog& log = Fakes();
      std::lock_guard<std::mutex> lock(log.mutex);
      log.continue_threads.push_back(std::this_thread::get_id());
    }
    int i = static_cast<int>(data->dwState);
    buffer_ += kServedPieces[i];
    bool last = i == kServedPieceCount - 1;
    sink_->ReportData(
        last ? BSCF_LASTDATANOTIFICATION : BSCF_INTERMEDIATEDATANOTIFICATION,
        static_cast<ULONG>(buffer_.size()), 0);
    if (last) {
      done_ = true;
      sink_->ReportResult(S_OK, 0, nullptr);
    }
    return S_OK;
  }

  HRESULT Read(void* buffer, ULONG count, ULONG* read) override {
    size_t n = std::min<size_t>(count, buffer_.size() - position_);
    memcpy(buffer, buffer_.data() + position_, n);
    position_ += n;
    *read = static_cast<ULONG>(n);
    if (n > 0) return S_OK;
    return done_ ? S_FALSE : E_PENDING;
  }

  HRESULT Terminate(DWORD) override {
    Join();
    sink_.Reset();
    return S_OK;
  }

 private:
  void Join() {
    if (worker_.joinable()) worker_.join();
  }

  ComPtr<IInternetProtocolSink> sink_;
  std::thread worker_;
  std::string buffer_;
  size_t position_ = 0;
  bool done_ = false;
};

class CollectingFilter : public ComObject<IInternetProtocol, IInternetProtocolSink> {
 public:
  CollectingFilter() : ComObject(false) {}

  HRESULT Start(LPCWSTR type, IInternetProtocolSink* sink, IInternetBindInfo*,
                DWORD flags, HANDLE_PTR reserved) override {
    auto* filter_data = reinterpret_cast<PROTOCOLFILTERDATA*>(reserved);
    {
      FakeLog& log = Fakes();
      std::lock_guard<std::mutex> lock(log.mutex);
      ++log.filters_started;
      log.filter_type = type ? type : L"";
      log.filter_flags = flags;
      log.filter_start_thread = std::this_thread::get_id();
    }
    if (!(flags & PI_FILTER_MODE) || !filter_data || !filter_data->pProtocol) {
      return E_INVALIDARG;
    }
    source_ = filter_data->pProtocol;
    browser_ = sink;
    return S_OK;
  }
  HRESULT Continue(PROTOCOLDATA* data) override {
    return source_ ? source_->Continue(data) : E_FAIL;
  }
  HRESULT Abort(HRESULT reason, DWORD options) override {
    return source_ ? source_->Abort(reason, options) : E_FAIL;
  }
  HRESULT Terminate(DWORD options) override {
    HRESULT hr = source_ ? source_->Terminate(options) : E_FAIL;
    return hr;
  }
  HRESULT Suspend() override { return E_NOTIMPL; }
  HRESULT Resume() override { return E_NOTIMPL; }

  HRESULT Read(void* buffer, ULONG count, ULONG* read) override {
    *read = 0;
    if (!source_) return E_FAIL;
    if (!collected_) {
      char piece[8192];
      HRESULT hr;
      do {
        ULONG n = 0;
        hr = source_->Read(piece, sizeof piece, &n);
        input_.append(piece, n);
      } while (hr == S_OK);
      if (hr == E_PENDING) {
        FakeLog& log = Fakes();
        std::lock_guard<std::mutex> lock(log.mutex);
        ++log.filter_pending_reads;
      }
      if (hr != S_FALSE) return hr;
      collected_ = true;
      output_ = FilteredForm(input_);
      FakeLog& log = Fakes();
      std::lock_guard<std::mutex> lock(log.mutex);
      log.filter_inputs.push_back(input_);
    }
    size_t n = std::min<size_t>(count, output_.size() - position_);
    memcpy(buffer, output_.data() + position_, n);
    position_ += n;
    *read = static_cast<ULONG>(n);
    return n > 0 ? S_OK : S_FALSE;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT LockRequest(DWORD) override { return S_OK; }
  HRESULT UnlockRequest() override { return S_OK; }

  HRESULT Switch(PROTOCOLDATA* data) override {
    return browser_ ? browser_->Switch(data) : E_FAIL;
  }
  HRESULT ReportProgress(ULONG status, LPCWSTR text) override {
    Note("progress", 0, status, S_OK);
    return browser_ ? browser_->ReportProgress(status, text) : E_FAIL;
  }
  HRESULT ReportData(DWORD flags, ULONG progress, ULONG maximum) override {
    Note("data", flags, 0, S_OK);
    return browser_ ? browser_->ReportData(flags, progress, maximum) : E_FAIL;
  }
  HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR text) override {
    Note("result", 0, 0, result);
    return browser_ ? browser_->ReportResult(result, error, text) : E_FAIL;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_IInternetProtocol) return static_cast<IInternetProtocol*>(this);
    if (iid == IID_IInternetProtocolRoot)
      return static_cast<IInternetProtocolRoot*>(this);
    if (iid == IID_IInternetProtocolSink)
      return static_cast<IInternetProtocolSink*>(this);
    return nullptr;
  }

 private:
  void Note(const char* kind, DWORD flags, ULONG status, HRESULT result) {
    FakeLog& log = Fakes();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.filter_notes.push_back(
        FilterNote{kind, flags, status, result, std::this_thread::get_id()});
  }

  ComPtr<IInternetProtocol> source_;
  ComPtr<IInternetProtocolSink> browser_;
  std::string input_;
  std::string output_;
  size_t position_ = 0;
  bool collected_ = false;
};

class StallingFilter : public FakeProtocolBase<IInternetProtocol> {
 public:
  HRESULT Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                HANDLE_PTR reserved) override {
    source_ = reinterpret_cast<PROTOCOLFILTERDATA*>(reserved)->pProtocol;
    return S_OK;
  }
  HRESULT Read(void*, ULONG, ULONG* read) override {
    char piece[512];
    ULONG n = 0;
    while (source_->Read(piece, sizeof piece, &n) == S_OK) {
    }
    *read = 0;
    return E_PENDING;
  }
  HRESULT Terminate(DWORD options) override { return source_->Terminate(options); }

 private:
  ComPtr<IInternetProtocol> source_;
};

HRESULT CreateBroken(REFIID, void** object) {
  *object = nullptr;
  return E_OUTOFMEMORY;
}

ComPtr<IClassFactory> Factory(ComCreator create) {
  IClassFactory* factory = nullptr;
  CreateClassFactory(create, &factory);
  return ComPtr<IClassFactory>::Adopt(factory);
}

}  // namespace

ComPtr<IClassFactory> RecordingHandlerFactory() {
  return Factory(&CreateComInstance<RecordingHandler<1>>);
}
ComPtr<IClassFactory> SecondRecordingHandlerFactory() {
  return Factory(&CreateComInstance<RecordingHandler<2>>);
}
ComPtr<IClassFactory> ServingHandlerFactory() {
  return Factory(&CreateComInstance<ServingHandler>);
}
ComPtr<IClassFactory> CollectingFilterFactory() {
  return Factory(&CreateComInstance<CollectingFilter>);
}
ComPtr<IClassFactory> StallingFilterFactory() {
  return Factory(&CreateComInstance<StallingFilter>);
}
ComPtr<IClassFactory> BrokenFactory() { return Factory(&CreateBroken); }
ComPtr<IClassFactory> RefusingHandlerFactory() {
  return Factory(&CreateComInstance<RefusingHandler>);
}

std::string ServingHandlerBody() {
  std::string body;
  for (const char* piece : kServedPieces) body += piece;
  return body;
}

ScopedRegistration::ScopedRegistration(ComPtr<IClassFactory> factory,
                                       const std::wstring& name, bool mime)
    : factory_(std::move(factory)), name_(name), mime_(mime) {
  ComPtr<IInternetSession> session;
  if (FAILED(CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0))) return;
  if (mime_) {
    session->RegisterMimeFilter(factory_.Get(), CLSID_FakeFilter, name_.c_str());
  } else {
    session->RegisterNameSpace(factory_.Get(), CLSID_FakeHandler, name_.c_str(), 0,
                               nullptr, 0);
  }
}

ScopedRegistration::~ScopedRegistration() {
  ComPtr<IInternetSession> session;
  if (FAILED(CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0))) return;
  if (mime_) {
    session->UnregisterMimeFilter(factory_.Get(), name_.c_str());
  } else {
    session->UnregisterNameSpace(factory_.Get(), name_.c_str());
  }
}

}  // namespace cvie::testing
