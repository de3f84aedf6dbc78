// The default protocol for "http" and "https": one libcurl transfer driven
// on the binding thread through a multi handle of its own.

#include <curl/curl.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "platform/content_decoding.h"
#include "platform/own_listeners.h"
#include "platform/upstream_trust.h"
#include "platform/urlmon_internal.h"

namespace cvie {

namespace {
std::mutex upstream_ca_mutex;
std::string upstream_ca_file;  // guarded by upstream_ca_mutex
}  // namespace

void platform::SetUpstreamCaFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(upstream_ca_mutex);
  upstream_ca_file = path;
}

std::string platform::UpstreamCaFile() {
  std::lock_guard<std::mutex> lock(upstream_ca_mutex);
  return upstream_ca_file;
}

void EnsureCurlInitialized() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

namespace {

// What every transfer of the process shares: resolved names and TLS
// sessions. libcurl asks for a lock around each use. Open connections are
// not shared here: libcurl does not support one connection cache used by
// concurrent threads. Each thread's multi handle (MultiSlot) keeps its own,
// so successive requests of a thread to a server reuse one connection, as a
// browser does.
class SharedState {
 public:
  static CURLSH* Get() {
    static SharedState* state = new SharedState();
    return state->share_;
  }

 private:
  SharedState() {
    EnsureCurlInitialized();
    share_ = curl_share_init();
    if (!share_) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &SharedState::Lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &SharedState::Unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<SharedState*>(self)->MutexFor(data).lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<SharedState*>(self)->MutexFor(data).unlock();
  }
  std::mutex& MutexFor(curl_lock_data data) {
    size_t i = static_cast<size_t>(data);
    return mutexes_[i < kLocks ? i : 0];
  }

  static constexpr size_t kLocks = CURL_LOCK_DATA_LAST;
  CURLSH* share_ = nullptr;
  std::mutex mutexes_[kLocks];
};

// One multi handle per thread, lent to one transfer at a time: a new handle
// costs a socketpair (for curl_multi_wakeup) and its set-up on every request.
// The slot is shared by the thread and the transfer that borrowed it, so a
// transfer closed on another thread, or one that outlives its thread, still
// finds the handle; the last owner cleans it up.
class MultiSlot {
 public:
  ~MultiSlot() {
    if (multi_) curl_multi_cleanup(multi_);
  }
  // This thread's slot, made on first use.
  static std::shared_ptr<MultiSlot> ForThisThread() {
    thread_local std::shared_ptr<MultiSlot> slot = std::make_shared<MultiSlot>();
    return slot;
  }
  // The handle for one transfer; null when another transfer of this thread
  // holds it or it cannot be made.
  CURLM* Borrow() {
    if (busy_.exchange(true)) return nullptr;
    if (!multi_) multi_ = curl_multi_init();
    if (!multi_) busy_.store(false);
    return multi_;
  }
  // Makes the handle when there is none yet.
  void Prepare() {
    if (busy_.exchange(true)) return;
    if (!multi_) multi_ = curl_multi_init();
    busy_.store(false);
  }
  // The transfer has removed its easy handle: the next one may borrow it.
  void GiveBack() { busy_.store(false); }

 private:
  CURLM* multi_ = nullptr;
  std::atomic<bool> busy_{false};
};

// The transfer pauses while this much is buffered and unread.
constexpr size_t kPauseAt = 1024 * 1024;
// Bytes libcurl reads from the socket at once.
constexpr long kReceiveBufferBytes = 256 * 1024;
// Header fields of one response; an answer with more fails like a broken one
// (the proxy's request limit is 200).
constexpr size_t kMaxResponseHeaders = 256;

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

bool EqualsNoCase(const std::string& a, const char* b) { return LowerAscii(a) == b; }

// Request headers that are not passed upstream: they belong to the one
// connection between client and proxy, or libcurl sets them itself.
bool IsDroppedRequestHeader(const std::string& lower_name) {
  static const char* const kDropped[] = {"host",
                                         "content-length",
                                         "transfer-encoding",
                                         "connection",
                                         "proxy-connection",
                                         "keep-alive",
                                         "proxy-authorization",
                                         "te",
                                         "trailer",
                                         "upgrade",
                                         "expect",
                                         "accept-encoding"};
  for (const char* d : kDropped) {
    if (lower_name == d) return true;
  }
  return false;
}

// The lower-case header names a Connection header lists.
std::vector<std::string> ConnectionTokens(const std::vector<HttpHeader>& headers) {
  std::vector<std::string> tokens;
  for (const HttpHeader& h : headers) {
    if (!EqualsNoCase(h.name, "connection")) continue;
    size_t start = 0;
    while (start <= h.value.size()) {
      size_t comma = h.value.find(',', start);
      if (comma == std::string::npos) comma = h.value.size();
      std::string token = LowerAscii(Trim(h.value.substr(start, comma - start)));
      if (!token.empty()) tokens.push_back(token);
      start = comma + 1;
    }
  }
  return tokens;
}

HRESULT MapCurlError(CURLcode code, bool connected) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return INET_E_RESOURCE_NOT_FOUND;
    case CURLE_COULDNT_CONNECT:
      return INET_E_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return connected ? INET_E_CONNECTION_TIMEOUT : INET_E_CANNOT_CONNECT;
    case CURLE_URL_MALFORMAT:
      return INET_E_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return INET_E_UNKNOWN_PROTOCOL;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return INET_E_SECURITY_PROBLEM;
    default:
      return INET_E_DOWNLOAD_FAILURE;
  }
}

class HttpProtocol : public DefaultProtocol {
 public:
  explicit HttpProtocol(const BindRequest& request) : DefaultProtocol(request) {
    error_buffer_[0] = '\0';
  }

  void Wakeup() override {
    woken_.store(true);
    std::lock_guard<std::mutex> lock(wakeup_mutex_);
    if (multi_) curl_multi_wakeup(multi_);
  }

 protected:
  ~HttpProtocol() override { Close(); }

  HRESULT Open(const std::wstring& url, std::string* error) override {
    EnsureCurlInitialized();
    easy_ = curl_easy_init();
    // The thread's handle when free; a second transfer driven on the same
    // thread at once gets one of its own, as its messages must not mix.
    std::shared_ptr<MultiSlot> slot = MultiSlot::ForThisThread();
    CURLM* multi = slot->Borrow();
    if (multi) {
      slot_ = std::move(slot);
    } else {
      multi = curl_multi_init();
    }
    {
      std::lock_guard<std::mutex> lock(wakeup_mutex_);
      multi_ = multi;
    }
    if (!easy_ || !multi_) {
      *error = "cannot set up a transfer";
      return E_OUTOFMEMORY;
    }
    url_ = platform::NarrowUtf8(url);
    curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy_, CURLOPT_PROXY, "");  // never a proxy from the environment
    curl_easy_setopt(easy_, CURLOPT_PATH_AS_IS, 1L);
    // Compressed answers are asked for, and decoded here rather than by
    // libcurl, a piece at a time as the reader makes room: libcurl would
    // hold everything a paused piece decodes to, whatever its size.
    curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING,
                     platform::ContentDecoder::AcceptedEncodings());
    curl_easy_setopt(easy_, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    if (CURLSH* share = SharedState::Get()) curl_easy_setopt(easy_, CURLOPT_SHARE, share);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request_.connect_timeout_ms));
    // A server that sends nothing for the idle timeout ends the transfer also
    // while nobody reads it (libcurl's own check; a paused transfer is
    // exempt, as the wait is then ours).
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, static_cast<long>(request_.idle_timeout_ms / 1000)));
    // Every connection is checked where it goes before it is made.
    curl_easy_setopt(easy_, CURLOPT_OPENSOCKETFUNCTION, &HttpProtocol::OnOpenSocket);
    curl_easy_setopt(easy_, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_buffer_);
    // Upstream certificates are always verified, peer and host name (libcurl's
    // defaults, set here so that nothing can have changed them).
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
    ca_file_ = platform::UpstreamCaFile();
    if (!ca_file_.empty()) {
      curl_easy_setopt(easy_, CURLOPT_CAINFO, ca_file_.c_str());
      curl_easy_setopt(easy_, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &HttpProtocol::OnHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &HttpProtocol::OnBody);
    // Large reads: a page that is there at once comes in a few system calls
    // and body callbacks instead of one per 16 KiB.
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);

    std::string method = request_.method.empty() ? "GET" : request_.method;
    head_request_ = method == "HEAD";
    if (head_request_) {
      curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    } else if (!request_.body.empty() || method == "POST") {
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request_.body.size()));
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, request_.body.data());
      if (method != "POST")
        curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method != "GET") {
      curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    std::vector<std::string> connection_tokens = ConnectionTokens(request_.headers);
    bool has_accept = false, has_content_type = false;
    for (const HttpHeader& h : request_.headers) {
      std::string lower = LowerAscii(h.name);
      if (lower.empty() || IsDroppedRequestHeader(lower)) continue;
      bool named_by_connection = false;
      for (const std::string& t : connection_tokens) named_by_connection |= t == lower;
      if (named_by_connection) continue;
      has_accept |= lower == "accept";
      has_content_type |= lower == "content-type";
      // libcurl sends "Name;" as a header with an empty value.
      std::string line = h.value.empty() ? h.name + ";" : h.name + ": " + h.value;
      AppendHeaderLine(line.c_str());
    }
    // Headers libcurl would add on its own are switched off unless the client
    // sent them: the server sees what the client asked for.
    AppendHeaderLine("Expect:");
    if (!has_accept) AppendHeaderLine("Accept:");
    if (!has_content_type) AppendHeaderLine("Content-Type:");
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, header_list_);

    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
      *error = "cannot start the transfer";
      return INET_E_DOWNLOAD_FAILURE;
    }
    added_ = true;
    return S_OK;
  }

  bool Fetch(int timeout_ms) override {
    if (!added_) return finished();
    activity_ = false;
    if (decoder_ && Buffered() < kPauseAt / 2 && DrainDecoder()) activity_ = true;
    if (decoder_ && decoder_->failed()) {
      FailDecoding();
      return true;
    }
    if (done_pending_ && !decoder_->HasPending()) {
      done_pending_ = false;
      Finish(S_OK, "");
    }
    if (activity_ || finished()) return true;
    if (paused_ && Buffered() < kPauseAt / 2 && !(decoder_ && decoder_->HasPending())) {
      // Resuming hands over what libcurl held back at once, from inside this
      // call: that counts as news. The rest of the answer may already be in
      // libcurl's hands, with nothing more to come from the socket, so the
      // mark must not be cleared after it (that waited out the idle timeout).
      paused_ = false;
      curl_easy_pause(easy_, CURLPAUSE_CONT);
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int running = 0;
      curl_multi_perform(multi_, &running);
      CollectDone();
      if (activity_ || finished()) return true;
      if (woken_.exchange(false)) return true;  // the caller has something to check
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      int ready = 0;
      // Wakes for socket activity, libcurl's own timers, or Wakeup().
      curl_multi_poll(multi_, nullptr, 0,
                      static_cast<int>(std::min<long long>(left, 1000)), &ready);
    }
  }

  void Close() override {
    CURLM* multi;
    {
      std::lock_guard<std::mutex> lock(wakeup_mutex_);
      multi = multi_;
      multi_ = nullptr;
    }
    if (multi && easy_ && added_) curl_multi_remove_handle(multi, easy_);
    added_ = false;
    if (easy_) curl_easy_cleanup(easy_);
    easy_ = nullptr;
    if (slot_) {
      // A lent handle goes back with its easy handle removed; it may carry a
      // wakeup meant for this transfer, which only makes the next transfer's
      // first wait return early.
      slot_->GiveBack();
      slot_.reset();
    } else if (multi) {
      curl_multi_cleanup(multi);
    }
    if (header_list_) curl_slist_free_all(header_list_);
    header_list_ = nullptr;
    header_tail_ = nullptr;
  }

 private:
  // Refuses a connection to one of this process's own listeners (a request
  // naming the proxy itself under any spelling), else opens the socket as
  // libcurl would.
  static curl_socket_t OnOpenSocket(void* self, curlsocktype /*purpose*/,
                                    curl_sockaddr* address) {
    if (platform::ReachesOwnListener(&address->addr, address->addrlen)) {
      static_cast<HttpProtocol*>(self)->loop_refused_ = true;
      return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    return static_cast<HttpProtocol*>(self)->HeaderLine(std::string(data, size * count))
               ? size * count
               : 0;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    HttpProtocol* p = static_cast<HttpProtocol*>(self);
    size_t n = size * count;
    p->activity_ = true;
    if (!p->head_known()) p->CompleteHead();
    if (p->decoder_failed_) return 0;
    if (p->Buffered() >= kPauseAt || (p->decoder_ && p->decoder_->HasPending())) {
      p->paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    if (!p->decoder_) {
      p->Append(data, n);
      return n;
    }
    p->decoder_->Feed(data, n);
    p->DrainDecoder();
    return p->decoder_->failed() ? 0 : n;
  }

  // Decodes what was fed until the buffer holds kPauseAt bytes or the
  // decoder needs more input. True when anything was decoded.
  bool DrainDecoder() {
    bool any = false;
    while (!decoder_->failed() && Buffered() < kPauseAt) {
      size_t made = decoder_->Drain(decode_buffer_, sizeof decode_buffer_);
      if (made == 0) break;
      Append(decode_buffer_, made);
      any = true;
    }
    if (decoder_->failed()) decoder_failed_ = true;
    return any;
  }

  // The answer's compressed data is broken: the transfer fails.
  void FailDecoding() {
    decoder_failed_ = true;
    done_pending_ = false;
    if (added_) {
      curl_multi_remove_handle(multi_, easy_);
      added_ = false;
    }
    Finish(INET_E_DOWNLOAD_FAILURE,
           url_ + ": the answer's compressed data is broken (" + decoder_->error() + ")");
  }

  bool HeaderLine(std::string line) {
    activity_ = true;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) {
      // A status line starts a response (a 1xx one is followed by another).
      status_ = 0;
      reason_.clear();
      raw_headers_.clear();
      size_t space = line.find(' ');
      if (space != std::string::npos) {
        status_ = atoi(line.c_str() + space + 1);
        size_t reason_at = line.find(' ', space + 1);
        if (reason_at != std::string::npos) reason_ = Trim(line.substr(reason_at + 1));
      }
      return true;
    }
    if (line.empty()) {
      if (status_ >= 200 || status_ == 0) CompleteHead();
      return true;
    }
    if ((line[0] == ' ' || line[0] == '\t') && !raw_headers_.empty()) {
      raw_headers_.back().value += " " + Trim(line);  // folded continuation
      return true;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) return true;  // not a header: ignored
    // An answer with more fields than any request may have is refused whole.
    if (raw_headers_.size() >= kMaxResponseHeaders) return false;
    raw_headers_.push_back(
        HttpHeader{Trim(line.substr(0, colon)), Trim(line.substr(colon + 1))});
    return true;
  }

  // The head of the final response has arrived: describe it to the caller.
  void CompleteHead() {
    if (head_known()) return;
    std::string content_type, content_encoding;
    int64_t content_length = -1;
    for (const HttpHeader& h : raw_headers_) {
      std::string lower = LowerAscii(h.name);
      if (lower == "content-type" && content_type.empty()) content_type = h.value;
      if (lower == "content-encoding") {
        content_encoding += (content_encoding.empty() ? "" : ",") + LowerAscii(h.value);
      }
      if (lower == "content-length" && content_length < 0) {
        content_length = strtoll(h.value.c_str(), nullptr, 10);
      }
    }
    bool decoded = !content_encoding.empty() && Trim(content_encoding) != "identity";
    if (decoded && !head_request_) {
      decoder_ = platform::ContentDecoder::ForEncoding(content_encoding, &decoder_error_);
      if (!decoder_ && !decoder_error_.empty()) decoder_failed_ = true;
    }
    std::vector<HttpHeader> headers;
    for (HttpHeader& h : raw_headers_) {
      std::string lower = LowerAscii(h.name);
      if (lower == "transfer-encoding") continue;
      if (decoded && (lower == "content-encoding" || lower == "content-length")) continue;
      headers.push_back(std::move(h));
    }
    raw_headers_.clear();
    std::string mime = LowerAscii(Trim(content_type.substr(0, content_type.find(';'))));
    if (decoded || head_request_) content_length = -1;
    SetHead(status_, reason_, std::move(headers), mime, content_length);
  }

  void CollectDone() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE || message->easy_handle != easy_) continue;
      CURLcode code = message->data.result;
      if (decoder_failed_) {
        if (decoder_) {
          FailDecoding();
        } else {
          Finish(INET_E_DOWNLOAD_FAILURE, url_ + ": " + decoder_error_);
        }
      } else if (code == CURLE_OK) {
        if (!head_known()) CompleteHead();
        // Fed bytes still to decode: the end is announced once they are.
        if (decoder_ && decoder_->HasPending()) {
          done_pending_ = true;
        } else {
          Finish(S_OK, "");
        }
      } else {
        curl_off_t connected_us = 0;
        curl_easy_getinfo(easy_, CURLINFO_CONNECT_TIME_T, &connected_us);
        std::string text = error_buffer_[0] ? error_buffer_ : curl_easy_strerror(code);
        if (loop_refused_ && code == CURLE_COULDNT_CONNECT) {
          Finish(CVIE_E_LOOP_DETECTED,
                 url_ + ": the address leads back to this proxy; not fetched");
        } else if (code == CURLE_PEER_FAILED_VERIFICATION) {
          // The browser must see why the site was not trusted, and which site.
          Finish(MapCurlError(code, connected_us > 0),
                 "The secure site " + UrlHost() + " could not be verified: " + text);
        } else {
          Finish(MapCurlError(code, connected_us > 0), url_ + ": " + text);
        }
      }
    }
  }

  // Appends after the last line; curl_slist_append itself walks the whole
  // list each time.
  void AppendHeaderLine(const char* line) {
    curl_slist* added = curl_slist_append(header_tail_, line);
    if (!added) return;
    if (!header_list_) header_list_ = added;
    header_tail_ = header_tail_ ? header_tail_->next : added;
  }

  // The host part of the URL being fetched, for messages.
  std::string UrlHost() const {
    std::string host;
    CURLU* parsed = curl_url();
    char* part = nullptr;
    if (parsed && curl_url_set(parsed, CURLUPART_URL, url_.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) {
      host = part;
    }
    curl_free(part);
    curl_url_cleanup(parsed);
    return host.empty() ? url_ : host;
  }

  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;           // guarded by wakeup_mutex_ against Wakeup()
  std::shared_ptr<MultiSlot> slot_;  // set when multi_ is the thread's handle
  std::mutex wakeup_mutex_;
  std::atomic<bool> woken_{false};
  curl_slist* header_list_ = nullptr;
  curl_slist* header_tail_ = nullptr;  // the last line of header_list_
  bool added_ = false;
  bool paused_ = false;
  bool activity_ = false;
  bool head_request_ = false;
  bool loop_refused_ = false;  // a connection was refused as one to ourselves
  std::string url_;
  std::string ca_file_;  // the trust bundle named for this transfer, if any
  int status_ = 0;
  std::string reason_;
  std::vector<HttpHeader> raw_headers_;
  char error_buffer_[CURL_ERROR_SIZE];
  std::unique_ptr<platform::ContentDecoder> decoder_;  // null: the body is not coded
  std::string decoder_error_;                          // a coding that cannot be undone
  bool decoder_failed_ = false;
  bool done_pending_ = false;  // the transfer ended; decoded bytes still to come
  char decode_buffer_[64 * 1024];
};

}  // namespace

void PrepareThreadForTransfers() {
  EnsureCurlInitialized();
  MultiSlot::ForThisThread()->Prepare();
}

DefaultProtocol* NewHttpProtocol(const BindRequest& request) {
  HttpProtocol* p = new HttpProtocol(request);
  p->AddRef();
  return p;
}

}  // namespace cvie
