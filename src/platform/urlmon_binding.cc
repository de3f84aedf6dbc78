// The binding engine: namespace handlers, default protocols, MIME filters,
// and the delivery of notifications on the binding thread.

#include "platform/urlmon_binding.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/page_bind_options.h"
#include "platform/url.h"
#include "platform/urlmon_internal.h"

namespace cvie {

namespace {

enum class NoteKind { kSwitch, kProgress, kData, kResult };
enum class NoteTarget { kSource, kTop };  // whose Continue a Switch leads to

// A notification made on another thread, kept until the binding thread
// delivers it.
struct Note {
  Note() = default;
  explicit Note(NoteKind k) : kind(k) {}

  NoteKind kind = NoteKind::kProgress;
  NoteTarget target = NoteTarget::kSource;
  PROTOCOLDATA data;
  ULONG status = 0;
  std::wstring text;
  bool has_text = false;
  DWORD flags = 0;
  ULONG progress = 0;
  ULONG maximum = 0;
  HRESULT result = S_OK;
  DWORD error = 0;
};

}  // namespace

struct Binding::Core {
  std::thread::id owner;
  int idle_timeout_ms = 60000;

  // Used on the binding thread only.
  ComPtr<IInternetProtocol> source;       // where the data comes from
  DefaultProtocol* pump = nullptr;        // the source, when it is a default protocol
  ComPtr<IInternetProtocol> top;          // what the reader reads: filter or source
  ComPtr<IInternetProtocolSink> forward;  // where the source's notifications go
  ComPtr<IInternetProtocolSink> source_sink;
  ComPtr<IInternetProtocolSink> browser_sink;
  ComPtr<IInternetBindInfo> bind_info;
  uint64_t delivered = 0;  // source notifications delivered
  bool head_signalled = false;
  bool source_done = false;
  HRESULT source_result = S_OK;
  std::string source_text;
  std::string reported_mime;
  HRESULT failure = S_OK;  // the binding's own failure
  std::string failure_text;
  bool aborted = false;
  bool read_started = false;  // the reader has called Read

  // Shared with other threads.
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Note> queue;
  DefaultProtocol* wake_target = nullptr;  // guarded by mutex
  std::atomic<bool> abort_requested{false};
  std::atomic<uint64_t> reader_data_notes{0};

  bool OnOwnerThread() const { return std::this_thread::get_id() == owner; }

  void Post(Note note) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(std::move(note));
    }
    cv.notify_all();
  }

  // Binding thread: delivers what other threads queued. True when anything
  // was delivered.
  bool DeliverQueued() {
    bool any = false;
    for (;;) {
      Note note;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.empty()) break;
        note = std::move(queue.front());
        queue.pop_front();
      }
      Deliver(&note);
      any = true;
    }
    return any;
  }

  // Binding thread: hands one notification to its receiver.
  void Deliver(Note* note) {
    if (note->kind == NoteKind::kSwitch) {
      ComPtr<IInternetProtocol> target = note->target == NoteTarget::kTop ? top : source;
      if (target) target->Continue(&note->data);
      if (note->target == NoteTarget::kSource) ++delivered;
      return;
    }
    ++delivered;
    ComPtr<IInternetProtocolSink> to = forward;
    const wchar_t* text = note->has_text ? note->text.c_str() : nullptr;
    switch (note->kind) {
      case NoteKind::kProgress:
        if (note->status == BINDSTATUS_MIMETYPEAVAILABLE ||
            note->status == BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE) {
          reported_mime = platform::NarrowUtf8(note->text);
          head_signalled = true;
        }
        if (to) to->ReportProgress(note->status, text);
        break;
      case NoteKind::kData:
        head_signalled = true;
        if (to) to->ReportData(note->flags, note->progress, note->maximum);
        break;
      case NoteKind::kResult:
        head_signalled = true;
        source_done = true;
        source_result = note->result;
        source_text = note->has_text ? platform::NarrowUtf8(note->text) : "";
        if (to) to->ReportResult(note->result, note->error, text);
        break;
      case NoteKind::kSwitch:
        break;
    }
  }
};

namespace {

Note TextNote(NoteKind kind, LPCWSTR text) {
  Note note(kind);
  if (text) {
    note.text = text;
    note.has_text = true;
  }
  return note;
}

// The sink the source protocol reports to. On the binding thread it passes
// each notification on at once; from another thread it queues it for the
// binding thread. Switch is always queued and leads to the source's Continue.
class SourceSink : public ComObject<IInternetProtocolSink> {
 public:
  explicit SourceSink(std::shared_ptr<Binding::Core> core)
      : ComObject(false), core_(std::move(core)) {}

  HRESULT Switch(PROTOCOLDATA* data) override {
    if (!data) return E_INVALIDARG;
    Note note(NoteKind::kSwitch);
    note.target = NoteTarget::kSource;
    note.data = *data;
    core_->Post(std::move(note));
    return S_OK;
  }
  HRESULT ReportProgress(ULONG status, LPCWSTR text) override {
    Note note = TextNote(NoteKind::kProgress, text);
    note.status = status;
    return Route(std::move(note));
  }
  HRESULT ReportData(DWORD flags, ULONG progress, ULONG maximum) override {
    Note note(NoteKind::kData);
    note.flags = flags;
    note.progress = progress;
    note.maximum = maximum;
    return Route(std::move(note));
  }
  HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR text) override {
    Note note = TextNote(NoteKind::kResult, text);
    note.result = result;
    note.error = error;
    return Route(std::move(note));
  }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_IInternetProtocolSink)
      return static_cast<IInternetProtocolSink*>(this);
    return nullptr;
  }

 private:
  HRESULT Route(Note note) {
    if (core_->OnOwnerThread()) {
      core_->Deliver(&note);
    } else {
      core_->Post(std::move(note));
    }
    return S_OK;
  }

  std::shared_ptr<Binding::Core> core_;
};

// The reader's side: what a MIME filter (or the source, unfiltered) reports
// to. The reader pulls with Read and Wait, so the notifications are only
// counted; a Switch leads to the top protocol's Continue on the binding
// thread.
class BrowserSink : public ComObject<IInternetProtocolSink> {
 public:
  explicit BrowserSink(std::shared_ptr<Binding::Core> core)
      : ComObject(false), core_(std::move(core)) {}

  HRESULT Switch(PROTOCOLDATA* data) override {
    if (!data) return E_INVALIDARG;
    Note note(NoteKind::kSwitch);
    note.target = NoteTarget::kTop;
    note.data = *data;
    core_->Post(std::move(note));
    return S_OK;
  }
  HRESULT ReportProgress(ULONG /*status*/, LPCWSTR /*text*/) override { return S_OK; }
  HRESULT ReportData(DWORD /*flags*/, ULONG /*progress*/, ULONG /*maximum*/) override {
    core_->reader_data_notes.fetch_add(1);
    return S_OK;
  }
  HRESULT ReportResult(HRESULT /*result*/, DWORD /*error*/, LPCWSTR /*text*/) override {
    return S_OK;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_IInternetProtocolSink)
      return static_cast<IInternetProtocolSink*>(this);
    return nullptr;
  }

 private:
  std::shared_ptr<Binding::Core> core_;
};

class BindInfo : public ComObject<IInternetBindInfo, IPageBindOptions> {
 public:
  BindInfo(const std::string& method, size_t page_limit)
      : ComObject(false), verb_(platform::WideUtf8(method)), page_limit_(page_limit) {
    if (method.empty() || method == "GET" || method == "HEAD") {
      bind_verb_ = BINDVERB_GET;
    } else if (method == "POST") {
      bind_verb_ = BINDVERB_POST;
    } else if (method == "PUT") {
      bind_verb_ = BINDVERB_PUT;
    } else {
      bind_verb_ = BINDVERB_CUSTOM;
    }
  }

  HRESULT GetBindInfo(DWORD* bind_flags, BINDINFO* info) override {
    if (!bind_flags || !info) return E_INVALIDARG;
    *bind_flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | BINDF_NO_UI;
    ULONG size = info->cbSize;
    *info = BINDINFO();
    info->cbSize = size;
    info->dwBindVerb = bind_verb_;
    if (bind_verb_ == BINDVERB_CUSTOM) info->szCustomVerb = verb_.data();
    return S_OK;
  }
  HRESULT GetBindString(ULONG /*string_type*/, LPWSTR* /*strings*/, ULONG /*count*/,
                        ULONG* fetched) override {
    if (fetched) *fetched = 0;
    return INET_E_USE_DEFAULT_SETTING;
  }
  HRESULT GetPageLimit(uint64_t* bytes) override {
    if (!bytes) return E_INVALIDARG;
    *bytes = page_limit_;
    return S_OK;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_IInternetBindInfo) return static_cast<IInternetBindInfo*>(this);
    if (iid == IID_IPageBindOptions) return static_cast<IPageBindOptions*>(this);
    return nullptr;
  }

 private:
  std::wstring verb_;
  DWORD bind_verb_;
  size_t page_limit_;
};

template <class T>
ComPtr<T> Owned(T* object) {
  object->AddRef();
  return ComPtr<T>::Adopt(object);
}

}  // namespace

Binding::Binding() : core_(std::make_shared<Core>()) {}

std::unique_ptr<Binding> Binding::Bind(const BindRequest& request) {
  std::unique_ptr<Binding> binding(new Binding());
  Core& core = *binding->core_;
  core.owner = std::this_thread::get_id();
  core.idle_timeout_ms = request.idle_timeout_ms > 0 ? request.idle_timeout_ms : 60000;
  core.bind_info =
      Owned<IInternetBindInfo>(new BindInfo(request.method, request.page_limit));
  core.source_sink = Owned<IInternetProtocolSink>(new SourceSink(binding->core_));
  core.browser_sink = Owned<IInternetProtocolSink>(new BrowserSink(binding->core_));
  core.forward = core.browser_sink;

  if (request.cancel && !request.cancel->Attach(binding->core_)) {
    binding->Fail(E_ABORT, "the request was cancelled");
    return binding;
  }
  platform::CrackedUrl cracked;
  if (!platform::CrackUrl(request.url, &cracked)) {
    binding->Fail(INET_E_INVALID_URL,
                  "not an address: " + platform::NarrowUtf8(request.url));
    return binding;
  }
  HRESULT hr = binding->StartNamespaceHandlers(request, cracked.scheme_name);
  if (hr == S_FALSE) hr = binding->StartDefaultProtocol(request, cracked.scheme_name);
  if (FAILED(hr)) return binding;
  if (FAILED(binding->WaitForResponse())) return binding;
  binding->StartMimeFilter();
  return binding;
}

HRESULT Binding::StartNamespaceHandlers(const BindRequest& request,
                                        const std::wstring& scheme) {
  Core& core = *core_;
  for (const ComPtr<IClassFactory>& factory : NameSpaceHandlersFor(scheme)) {
    ComPtr<IInternetProtocol> handler;
    if (FAILED(
            factory->CreateInstance(nullptr, IID_IInternetProtocol, handler.OutVoid())) ||
        !handler) {
      continue;  // a handler that cannot be made is passed over
    }
    HRESULT hr = handler->Start(request.url.c_str(), core.source_sink.Get(),
                                core.bind_info.Get(), 0, 0);
    if (hr == INET_E_USE_DEFAULT_PROTOCOLHANDLER) continue;
    if (SUCCEEDED(hr) || hr == E_PENDING) {
      core.source = handler;
      core.top = handler;
      served_by_handler_ = true;
      return S_OK;
    }
    Fail(hr, "the namespace handler for " + platform::NarrowUtf8(scheme) + " refused " +
                 platform::NarrowUtf8(request.url));
    return hr;
  }
  return S_FALSE;
}

HRESULT Binding::StartDefaultProtocol(const BindRequest& request,
                                      const std::wstring& scheme) {
  Core& core = *core_;
  DefaultProtocol* protocol = nullptr;
  if (scheme == L"http" || scheme == L"https") {
    protocol = NewHttpProtocol(request);
  } else if (scheme == L"file") {
    protocol = NewFileProtocol(request);
  } else {
    Fail(INET_E_UNKNOWN_PROTOCOL,
         "no protocol for the scheme \"" + platform::NarrowUtf8(scheme) + "\"");
    return INET_E_UNKNOWN_PROTOCOL;
  }
  core.source = ComPtr<IInternetProtocol>::Adopt(protocol);
  core.pump = protocol;
  core.top = core.source;
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    core.wake_target = protocol;
  }
  HRESULT hr = protocol->Start(request.url.c_str(), core.source_sink.Get(),
                               core.bind_info.Get(), 0, 0);
  if (FAILED(hr)) {
    Fail(hr, protocol->error_text());
    return hr;
  }
  return S_OK;
}

HRESULT Binding::WaitForResponse() {
  Core& core = *core_;
  if (core.pump) {
    HRESULT hr = core.pump->WaitForHead(&core.abort_requested);
    if (FAILED(hr)) {
      Fail(hr, core.pump->error_text());
      return hr;
    }
    status_code_ = core.pump->status_code();
    reason_ = core.pump->reason();
    headers_ = core.pump->headers();
    mime_type_ = core.pump->mime_type();
    return S_OK;
  }
  // A namespace handler serves the request: its answer has no HTTP head;
  // the MIME type is what it reports.
  while (!core.head_signalled && !core.source_done) {
    HRESULT hr = Wait();
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE) break;
  }
  if (core.source_done && FAILED(core.source_result)) {
    Fail(core.source_result,
         core.source_text.empty() ? "the namespace handler failed" : core.source_text);
    return core.source_result;
  }
  status_code_ = 200;
  reason_ = "OK";
  std::string mime = core.reported_mime;
  mime_type_ = LowerAscii(mime.substr(0, mime.find(';')));
  while (!mime_type_.empty() && mime_type_.back() == ' ') mime_type_.pop_back();
  if (!mime_type_.empty()) headers_.push_back(HttpHeader{"Content-Type", mime});
  return S_OK;
}

void Binding::StartMimeFilter() {
  Core& core = *core_;
  if (mime_type_.empty()) return;
  std::wstring type = platform::WideUtf8(mime_type_);
  // Latest registration first; one that cannot be made or refuses to start
  // is passed over. Without a filter the body is read unfiltered.
  for (const ComPtr<IClassFactory>& factory : MimeFiltersFor(type)) {
    ComPtr<IInternetProtocol> filter;
    if (FAILED(
            factory->CreateInstance(nullptr, IID_IInternetProtocol, filter.OutVoid())) ||
        !filter) {
      continue;
    }
    ComPtr<IInternetProtocolSink> filter_sink;
    filter.As(IID_IInternetProtocolSink, &filter_sink);
    PROTOCOLFILTERDATA filter_data;
    filter_data.pProtocolSink = core.browser_sink.Get();
    filter_data.pProtocol = core.source.Get();
    HRESULT hr =
        filter->Start(type.c_str(), core.browser_sink.Get(), core.bind_info.Get(),
                      PI_FILTER_MODE, reinterpret_cast<HANDLE_PTR>(&filter_data));
    if (FAILED(hr)) continue;
    core.top = filter;
    if (filter_sink) core.forward = filter_sink;
    filtered_ = true;
    return;
  }
}

void Binding::Fail(HRESULT hr, const std::string& text) {
  Core& core = *core_;
  if (FAILED(core.failure)) return;
  core.failure = hr;
  core.failure_text = text.empty() ? "the binding failed" : text;
}

Binding::~Binding() {
  Core& core = *core_;
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    core.wake_target = nullptr;
  }
  if (core.top) core.top->Terminate(0);
  // A filter passes Terminate on to its source; the default protocol is
  // also stopped here in case it does not (Terminate may come twice).
  if (core.pump && core.top.Get() != core.source.Get()) core.pump->Terminate(0);
  core.pump = nullptr;
  core.top.Reset();
  core.forward.Reset();
  core.source.Reset();
  core.source_sink.Reset();
  core.browser_sink.Reset();
  core.bind_info.Reset();
  std::lock_guard<std::mutex> lock(core.mutex);
  core.queue.clear();
}

HRESULT Binding::result() const {
  const Core& core = *core_;
  if (FAILED(core.failure)) return core.failure;
  if (core.aborted) return E_ABORT;
  if (core.source_done && FAILED(core.source_result)) return core.source_result;
  return S_OK;
}

std::string Binding::error_text() const {
  const Core& core = *core_;
  if (FAILED(core.failure)) return core.failure_text;
  if (core.aborted) return "the binding was aborted";
  if (core.source_done && FAILED(core.source_result)) {
    return core.source_text.empty() ? "the download failed" : core.source_text;
  }
  return "";
}

std::string Binding::Header(const std::string& name) const {
  std::string lower = LowerAscii(name);
  for (const HttpHeader& h : headers_) {
    if (LowerAscii(h.name) == lower) return h.value;
  }
  return "";
}

HRESULT Binding::Read(void* buffer, ULONG count, ULONG* read) {
  Core& core = *core_;
  if (read) *read = 0;
  if (core.abort_requested.load() && !core.aborted) Abort();
  if (core.aborted) return E_ABORT;
  if (FAILED(core.failure)) return core.failure;
  if (!core.top) return E_UNEXPECTED;
  core.read_started = true;
  ULONG n = 0;
  HRESULT hr = core.top->Read(buffer, count, &n);
  if (read) *read = n;
  return hr;
}

HRESULT Binding::Wait() {
  Core& core = *core_;
  if (core.abort_requested.load() && !core.aborted) Abort();
  if (core.aborted) return E_ABORT;
  if (FAILED(core.failure)) return core.failure;
  if (!core.source) return E_UNEXPECTED;
  if (core.DeliverQueued()) return S_OK;

  if (core.pump) {
    uint64_t before = core.delivered;
    for (;;) {
      HRESULT hr = core.pump->Pump();
      if (core.abort_requested.load()) {
        Abort();
        return E_ABORT;
      }
      if (hr == INET_E_CONNECTION_TIMEOUT) return hr;
      if (core.delivered != before) return S_OK;
      if (hr == S_FALSE) return S_FALSE;
    }
  }

  // A namespace handler's protocol reports from its own thread.
  if (core.source_done) return S_FALSE;
  {
    std::unique_lock<std::mutex> lock(core.mutex);
    core.cv.wait_for(lock, std::chrono::milliseconds(core.idle_timeout_ms), [&core] {
      return !core.queue.empty() || core.abort_requested.load();
    });
  }
  if (core.abort_requested.load()) {
    Abort();
    return E_ABORT;
  }
  if (core.DeliverQueued()) return S_OK;
  core.source->Abort(INET_E_CONNECTION_TIMEOUT, 0);
  Fail(INET_E_CONNECTION_TIMEOUT, "no data from the namespace handler within " +
                                      std::to_string(core.idle_timeout_ms / 1000) + " s");
  return INET_E_CONNECTION_TIMEOUT;
}

HRESULT Binding::ReadSome(void* buffer, ULONG count, ULONG* read) {
  for (;;) {
    HRESULT hr = Read(buffer, count, read);
    if (hr != E_PENDING) return hr;
    HRESULT waited = Wait();
    if (FAILED(waited)) return waited;
    if (waited == S_FALSE) {
      hr = Read(buffer, count, read);
      return hr == E_PENDING ? INET_E_DATA_NOT_AVAILABLE : hr;
    }
  }
}

HRESULT Binding::PeekRest(const char** data, ULONG* size) {
  *data = nullptr;
  *size = 0;
  for (;;) {
    Core& core = *core_;
    if (core.abort_requested.load() && !core.aborted) Abort();
    if (core.aborted) return E_ABORT;
    if (FAILED(core.failure)) return core.failure;
    if (!core.top) return E_UNEXPECTED;
    ComPtr<IInMemoryData> memory;
    if (FAILED(core.top->QueryInterface(IID_IInMemoryData, memory.OutVoid()))) {
      return E_NOTIMPL;
    }
    core.read_started = true;
    HRESULT hr = memory->PeekData(data, size);
    if (hr != E_PENDING) return hr;
    HRESULT waited = Wait();
    if (FAILED(waited)) return waited;
    if (waited == S_FALSE) {
      hr = memory->PeekData(data, size);
      return hr == E_PENDING ? INET_E_DATA_NOT_AVAILABLE : hr;
    }
  }
}

HRESULT Binding::SkipRead(ULONG count) {
  Core& core = *core_;
  ComPtr<IInMemoryData> memory;
  if (!core.top ||
      FAILED(core.top->QueryInterface(IID_IInMemoryData, memory.OutVoid()))) {
    return E_NOTIMPL;
  }
  return memory->SkipData(count);
}

HRESULT Binding::ReadAll(std::string* body) {
  char buffer[16384];
  for (;;) {
    ULONG n = 0;
    HRESULT hr = ReadSome(buffer, sizeof buffer, &n);
    if (n > 0) body->append(buffer, n);
    if (hr == S_FALSE) return S_OK;
    if (FAILED(hr)) return hr;
  }
}

bool Binding::BypassFilter() {
  Core& core = *core_;
  if (!filtered_) return true;
  if (core.read_started) return false;
  // The filter has read nothing yet. It is released without Terminate,
  // which it would pass on to the source that goes on serving the reader.
  ComPtr<IInternetProtocol> filter = std::move(core.top);
  core.top = core.source;
  core.forward = core.browser_sink;
  filtered_ = false;
  filter.Reset();
  return true;
}

uint64_t Binding::data_notifications() const { return core_->reader_data_notes.load(); }

namespace {

// From a thread other than the binding's: the binding thread stops the
// transfer at its next step; a fetch or a wait in progress is woken now.
void RequestAbort(Binding::Core& core) {
  core.abort_requested.store(true);
  std::lock_guard<std::mutex> lock(core.mutex);
  if (core.wake_target) core.wake_target->Wakeup();
  core.cv.notify_all();
}

}  // namespace

void Binding::Abort() {
  Core& core = *core_;
  if (!core.OnOwnerThread()) return RequestAbort(core);
  core.abort_requested.store(true);
  if (core.aborted) return;
  core.aborted = true;
  if (core.top) core.top->Abort(E_ABORT, 0);
  if (core.pump && core.top.Get() != core.source.Get()) core.pump->Abort(E_ABORT, 0);
}

void BindCancel::Cancel() {
  std::shared_ptr<Binding::Core> core;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    core = core_.lock();
  }
  if (core) RequestAbort(*core);
}

bool BindCancel::cancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

bool BindCancel::Attach(const std::shared_ptr<Binding::Core>& core) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_) return false;
  core_ = core;
  return true;
}

}  // namespace cvie
