#include "platform/download.h"

#include <curl/curl.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/text.h"
#include "platform/thread.h"

namespace cvie::platform {

struct DownloadBinding::State {
  std::string url;
  std::shared_ptr<DownloadCallback> callback;
  DownloadBinding* owner = nullptr;  // cleared when the binding is destroyed
  DWORD target = 0;                  // thread whose queue receives the callbacks
  DWORD bind_flags = 0;

  // Held while a callback runs and while Abort marks the binding, so that no
  // callback starts after Abort has returned.
  std::recursive_mutex dispatch;
  std::atomic<bool> aborted{false};
  std::atomic<bool> ended{false};
  std::atomic<uint64_t> received{0};
  uint64_t expected = 0;
  bool first_data = true;  // transfer thread only

  std::mutex multi_mutex;  // guards `multi` for Abort's wake-up call
  CURLM* multi = nullptr;
  std::thread thread;
};

namespace {

using State = DownloadBinding::State;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Runs `call` on the target thread unless the binding has been aborted by then.
bool Deliver(const std::shared_ptr<State>& state, std::function<void(State*)> call) {
  return PostThreadTask(state->target, [state, call = std::move(call)] {
    std::lock_guard<std::recursive_mutex> lock(state->dispatch);
    if (state->aborted.load()) return;
    call(state.get());
  });
}

size_t OnCurlData(char* data, size_t size, size_t count, void* user) {
  auto* holder = static_cast<std::shared_ptr<State>*>(user);
  const std::shared_ptr<State>& state = *holder;
  size_t bytes = size * count;
  if (state->aborted.load()) return 0;  // stops the transfer
  uint64_t total = state->received.fetch_add(bytes) + bytes;
  DWORD flags =
      state->first_data ? BSCF_FIRSTDATANOTIFICATION : BSCF_INTERMEDIATEDATANOTIFICATION;
  state->first_data = false;
  uint64_t expected = state->expected;
  std::string piece(data, bytes);
  bool posted = Deliver(state, [piece = std::move(piece), flags, total,
                                expected](State* s) {
    s->callback->OnProgress(total, expected, BINDSTATUS_DOWNLOADINGDATA);
    if (s->aborted.load()) return;
    s->callback->OnDataAvailable(flags, piece.data(), static_cast<ULONG>(piece.size()));
  });
  if (!posted) {
    state->aborted.store(true);  // nobody is left to receive the data
    return 0;
  }
  return bytes;
}

// Proxies from the environment are used, but never for loopback addresses.
std::string NoProxyList() {
  std::string list = "127.0.0.1,localhost,::1";
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    const char* value = getenv(name);
    if (value && *value) {
      list += ",";
      list += value;
      break;
    }
  }
  return list;
}

HRESULT ResultOf(CURLcode code, long status) {
  if (code == CURLE_OK) return S_OK;
  if (code == CURLE_HTTP_RETURNED_ERROR) {
    return status == 404 ? INET_E_RESOURCE_NOT_FOUND : INET_E_DOWNLOAD_FAILURE;
  }
  if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
      code == CURLE_COULDNT_RESOLVE_PROXY) {
    return INET_E_CANNOT_CONNECT;
  }
  return INET_E_DOWNLOAD_FAILURE;
}

void Transfer(std::shared_ptr<State> state, CURL* easy) {
  std::shared_ptr<State> holder = state;  // the write callback's view of it
  char error[CURL_ERROR_SIZE] = {0};
  std::string no_proxy = NoProxyList();
  curl_slist* headers = nullptr;
  if (state->bind_flags & BINDF_GETNEWESTVERSION) {
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");
  }
  curl_easy_setopt(easy, CURLOPT_URL, state->url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnCurlData);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &holder);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, no_proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "Corvane Filter/2.2");
  if (headers) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

  CURLM* multi = curl_multi_init();
  CURLcode code = CURLE_FAILED_INIT;
  if (multi && curl_multi_add_handle(multi, easy) == CURLM_OK) {
    {
      std::lock_guard<std::mutex> lock(state->multi_mutex);
      state->multi = multi;
    }
    int running = 1;
    while (!state->aborted.load()) {
      if (curl_multi_perform(multi, &running) != CURLM_OK) break;
      if (state->expected == 0) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
                CURLE_OK &&
            length > 0) {
          state->expected = static_cast<uint64_t>(length);
        }
      }
      if (!running) break;
      curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg == CURLMSG_DONE) code = msg->data.result;
    }
    {
      std::lock_guard<std::mutex> lock(state->multi_mutex);
      state->multi = nullptr;
    }
    curl_multi_remove_handle(multi, easy);
  }
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (multi) curl_multi_cleanup(multi);
  curl_easy_cleanup(easy);
  curl_slist_free_all(headers);

  state->ended.store(true);
  if (state->aborted.load()) return;
  HRESULT result = ResultOf(code, status);
  std::wstring text = code == CURLE_OK ? std::wstring()
                      : error[0]       ? ToWide(error)
                                       : ToWide(curl_easy_strerror(code));
  uint64_t total = state->received.load();
  Deliver(state, [result, text, total](State* s) {
    s->callback->OnProgress(total, total, BINDSTATUS_ENDDOWNLOADDATA);
    if (s->aborted.load()) return;
    s->callback->OnStopBinding(result, text);
  });
}

}  // namespace

DownloadBinding::~DownloadBinding() {
  Abort();
  {
    std::lock_guard<std::recursive_mutex> lock(state_->dispatch);
    state_->owner = nullptr;
  }
  if (state_->thread.joinable()) state_->thread.join();
}

HRESULT DownloadBinding::Abort() {
  {
    std::lock_guard<std::recursive_mutex> lock(state_->dispatch);
    if (state_->aborted.exchange(true)) return S_FALSE;
  }
  std::lock_guard<std::mutex> lock(state_->multi_mutex);
  if (state_->multi) curl_multi_wakeup(state_->multi);
  return state_->ended.load() ? S_FALSE : S_OK;
}

uint64_t DownloadBinding::BytesReceived() const { return state_->received.load(); }

HRESULT StartDownload(const std::wstring& url, std::shared_ptr<DownloadCallback> callback,
                      std::shared_ptr<DownloadBinding>* binding) {
  if (!callback || !binding) return E_POINTER;
  InitCurlOnce();
  std::string narrow = ToNarrow(url);
  CURLU* parsed = curl_url();
  if (!parsed) return E_OUTOFMEMORY;
  char* scheme = nullptr;
  bool valid = curl_url_set(parsed, CURLUPART_URL, narrow.c_str(), 0) == CURLUE_OK &&
               curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK;
  std::string scheme_text = scheme ? scheme : "";
  curl_free(scheme);
  curl_url_cleanup(parsed);
  if (!valid) return INET_E_INVALID_URL;
  if (scheme_text != "http" && scheme_text != "https") return INET_E_UNKNOWN_PROTOCOL;

  CURL* easy = curl_easy_init();
  if (!easy) return E_OUTOFMEMORY;
  EnsureMessageQueue();
  std::shared_ptr<DownloadBinding> result(new DownloadBinding());
  auto state = std::make_shared<State>();
  state->url = narrow;
  state->callback = std::move(callback);
  state->owner = result.get();
  state->target = GetCurrentThreadId();
  state->bind_flags = state->callback->GetBindInfo();
  result->state_ = state;

  // OnStartBinding is queued before the transfer can queue anything else.
  Deliver(state, [](State* s) {
    if (s->owner) s->callback->OnStartBinding(s->owner);
  });
  try {
    state->thread = std::thread(Transfer, state, easy);
  } catch (const std::system_error&) {
    state->aborted.store(true);
    curl_easy_cleanup(easy);
    return E_FAIL;
  }
  *binding = std::move(result);
  return S_OK;
}

}  // namespace cvie::platform
