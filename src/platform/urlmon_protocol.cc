// The common part of the default protocols: the buffer between the transfer
// and the reader, pieces and their data notifications, the response head.

#include <string.h>

#include <algorithm>
#include <atomic>

#include "platform/urlmon_internal.h"

namespace cvie {

namespace {

// Consumed bytes are dropped from the front of the buffer once this many
// have gathered.
constexpr size_t kCompactAt = 64 * 1024;

// A transfer's buffer is kept by the thread that ended it for its next
// transfer, so that a page arrives into memory already in place instead of
// growing a new buffer through fresh pages on every request. One buffer a
// thread, of at most kKeptBytes, and at most kKeptProcessBytes in all.
constexpr size_t kKeptBytes = size_t{2} << 20;
constexpr size_t kKeptProcessBytes = size_t{32} << 20;
std::atomic<size_t> g_kept_bytes{0};

class KeptBuffer {
 public:
  ~KeptBuffer() { g_kept_bytes.fetch_sub(buffer_.capacity()); }
  // Swaps the kept buffer (empty when none) into `*buffer`.
  void Take(std::string* buffer) {
    g_kept_bytes.fetch_sub(buffer_.capacity());
    buffer->swap(buffer_);
    std::string().swap(buffer_);
  }
  // Keeps `*buffer`'s memory when it is larger than the one kept and the
  // bounds allow; `*buffer` is left empty either way.
  void Give(std::string* buffer) {
    const size_t capacity = buffer->capacity();
    buffer->clear();
    if (capacity <= buffer_.capacity() || capacity > kKeptBytes) return;
    if (g_kept_bytes.fetch_add(capacity) + capacity - buffer_.capacity() >
        kKeptProcessBytes) {
      g_kept_bytes.fetch_sub(capacity);
      return;
    }
    g_kept_bytes.fetch_sub(buffer_.capacity());
    buffer_.swap(*buffer);
  }

 private:
  std::string buffer_;
};

KeptBuffer& ThreadKeptBuffer() {
  thread_local KeptBuffer kept;
  return kept;
}

}  // namespace

DefaultProtocol::DefaultProtocol(const BindRequest& request)
    : ComObject(false), request_(request) {
  ThreadKeptBuffer().Take(&data_);
}

DefaultProtocol::~DefaultProtocol() { ThreadKeptBuffer().Give(&data_); }

void* DefaultProtocol::FindInterface(REFIID iid) {
  if (iid == IID_IInternetProtocol) return static_cast<IInternetProtocol*>(this);
  if (iid == IID_IInternetProtocolRoot) return static_cast<IInternetProtocolRoot*>(this);
  return nullptr;
}

HRESULT DefaultProtocol::Start(LPCWSTR url, IInternetProtocolSink* sink,
                               IInternetBindInfo* /*bind_info*/, DWORD /*flags*/,
                               HANDLE_PTR /*reserved*/) {
  if (!url || !sink) return E_INVALIDARG;
  sink_ = sink;
  std::string error;
  HRESULT hr = Open(url, &error);
  if (FAILED(hr)) {
    Finish(hr, error);
    return hr;
  }
  return S_OK;
}

HRESULT DefaultProtocol::Continue(PROTOCOLDATA* /*data*/) {
  // These protocols never call Switch, so nothing comes back here.
  return S_OK;
}

HRESULT DefaultProtocol::Abort(HRESULT reason, DWORD /*options*/) {
  Stop(FAILED(reason) ? reason : E_ABORT, "the binding was aborted");
  return S_OK;
}

HRESULT DefaultProtocol::Terminate(DWORD /*options*/) {
  Close();
  if (!finished_) Finish(E_ABORT, "the binding was terminated");
  sink_.Reset();
  return S_OK;
}

HRESULT DefaultProtocol::Suspend() { return E_NOTIMPL; }
HRESULT DefaultProtocol::Resume() { return E_NOTIMPL; }

HRESULT DefaultProtocol::Read(void* buffer, ULONG count, ULONG* read) {
  if (read) *read = 0;
  if (!buffer && count > 0) return E_POINTER;
  size_t available = visible_ - read_pos_;
  if (available > 0) {
    size_t n = std::min<size_t>(available, count);
    memcpy(buffer, data_.data() + read_pos_, n);
    read_pos_ += n;
    if (read) *read = static_cast<ULONG>(n);
    if (read_pos_ >= kCompactAt && read_pos_ * 2 >= data_.size()) {
      data_.erase(0, read_pos_);
      visible_ -= read_pos_;
      read_pos_ = 0;
    }
    return S_OK;
  }
  if (finished_ && visible_ == data_.size())
    return SUCCEEDED(result_) ? S_FALSE : result_;
  return E_PENDING;
}

HRESULT DefaultProtocol::Seek(LARGE_INTEGER /*move*/, DWORD /*origin*/,
                              ULARGE_INTEGER* /*new_position*/) {
  return E_NOTIMPL;
}

HRESULT DefaultProtocol::LockRequest(DWORD /*options*/) { return S_OK; }
HRESULT DefaultProtocol::UnlockRequest() { return S_OK; }

HRESULT DefaultProtocol::WaitForHead(const std::atomic<bool>* abort) {
  while (!head_known_ && !finished_) {
    if (abort && abort->load()) {
      Stop(E_ABORT, "the request was cancelled");
      break;
    }
    if (!Fetch(request_.idle_timeout_ms)) {
      Stop(INET_E_CONNECTION_TIMEOUT,
           "no response from the server within " +
               std::to_string(request_.idle_timeout_ms / 1000) + " s");
    }
  }
  if (!head_known_) return FAILED(result_) ? result_ : INET_E_DOWNLOAD_FAILURE;
  if (sink_ && !mime_type_.empty()) {
    sink_->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE,
                          platform::WideUtf8(mime_type_).c_str());
  }
  return S_OK;
}

HRESULT DefaultProtocol::Pump() {
  if (result_reported_) return S_FALSE;
  if (read_pos_ < visible_ && visible_ == data_.size() && !finished_) {
    // The reader has not taken what was announced: tell it again rather
    // than wait for more (the transfer may be paused until it reads).
    Announce(true);
    return S_OK;
  }
  if (visible_ == data_.size() && !finished_) {
    if (!Fetch(request_.idle_timeout_ms) && visible_ == data_.size() && !finished_) {
      Stop(INET_E_CONNECTION_TIMEOUT,
           "no data from the server within " +
               std::to_string(request_.idle_timeout_ms / 1000) + " s");
      Announce(false);
      return INET_E_CONNECTION_TIMEOUT;
    }
  }
  if (visible_ < data_.size()) {
    size_t rest = data_.size() - visible_;
    size_t step = request_.piece_size ? std::min(rest, request_.piece_size) : rest;
    visible_ += step;
    announced_total_ += step;
    Announce(true);
    return S_OK;
  }
  // Everything buffered has been announced; the transfer may have ended
  // without further data, or a fetch brought only head or nothing.
  if (finished_) {
    Announce(false);
    return S_OK;
  }
  return S_OK;  // the transfer advanced (e.g. header lines) without body bytes
}

// Sends the notifications due now. `piece`: a piece was just made visible. At the end
// (everything visible and the transfer finished) the last data notification and the
// result follow.
void DefaultProtocol::Announce(bool piece) {
  bool all_visible = visible_ == data_.size();
  bool ended = finished_ && all_visible;
  bool success = SUCCEEDED(result_);
  if (sink_ && (piece || (ended && success && !last_announced_))) {
    DWORD flags =
        first_announced_ ? BSCF_INTERMEDIATEDATANOTIFICATION : BSCF_FIRSTDATANOTIFICATION;
    first_announced_ = true;
    ULONG progress = static_cast<ULONG>(std::min<uint64_t>(announced_total_, UINT32_MAX));
    ULONG maximum = 0;
    if (ended && success) {
      flags |= BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE;
      last_announced_ = true;
      maximum = progress;
    } else if (expected_length_ >= 0) {
      maximum = static_cast<ULONG>(std::min<int64_t>(expected_length_, UINT32_MAX));
    } else {
      flags |= BSCF_AVAILABLEDATASIZEUNKNOWN;
    }
    sink_->ReportData(flags, progress, maximum);
  }
  if (ended && !result_reported_) {
    result_reported_ = true;
    if (sink_) {
      std::wstring text = platform::WideUtf8(error_text_);
      sink_->ReportResult(result_, 0, success ? nullptr : text.c_str());
    }
  }
}

void DefaultProtocol::Append(const char* data, size_t size) { data_.append(data, size); }

void DefaultProtocol::SetHead(int status, const std::string& reason,
                              std::vector<HttpHeader> headers,
                              const std::string& mime_type, int64_t expected_length) {
  status_code_ = status;
  reason_ = reason.empty() ? StandardReason(status) : reason;
  headers_ = std::move(headers);
  mime_type_ = mime_type;
  expected_length_ = expected_length;
  head_known_ = true;
}

void DefaultProtocol::Finish(HRESULT result, const std::string& error_text) {
  if (finished_) return;
  finished_ = true;
  result_ = result;
  error_text_ = FAILED(result) ? error_text : "";
}

// Ends the transfer early: what was received and not yet announced is
// dropped, reads then give `reason`.
void DefaultProtocol::Stop(HRESULT reason, const std::string& text) {
  Close();
  data_.resize(visible_);
  if (!finished_) {
    Finish(reason, text);
  } else if (SUCCEEDED(result_)) {
    // Finished but not all read: an abort still ends the reading.
    result_ = reason;
    error_text_ = text;
  }
}

const char* StandardReason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 410:
      return "Gone";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

}  // namespace cvie
