// Downloads on Windows: the system's URL monikers (URLOpenBlockingStreamW on
// a transfer thread of the binding's own), with the same delivery as on
// Linux: every callback runs on the starting thread through its message
// queue (thread.h). The transfer's bind status callback passes the bind
// flags to urlmon, learns the expected size, and answers E_ABORT once the
// binding is aborted, which ends the transfer at urlmon's next notification
// (a blocking read already under way finishes first).

#include "platform/download.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/thread.h"
#include "platform/win/win32.h"

#include <urlmon.h>

namespace {

// The bind status callback urlmon calls on the transfer thread. It lives on
// that thread's stack for the one blocking call.
class TransferStatus final : public ::IBindStatusCallback {
 public:
  TransferStatus(std::atomic<bool>* aborted, std::atomic<uint64_t>* expected,
                 ::DWORD flags)
      : aborted_(aborted), expected_(expected), flags_(flags) {}

  STDMETHODIMP QueryInterface(const ::IID& iid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, ::IID_IUnknown) || IsEqualIID(iid, ::IID_IBindStatusCallback)) {
      *object = static_cast<::IBindStatusCallback*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // Not counted: the object outlives the call that hands it out.
  STDMETHODIMP_(::ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(::ULONG) Release() override { return 1; }

  STDMETHODIMP OnStartBinding(::DWORD, ::IBinding*) override { return S_OK; }
  STDMETHODIMP GetPriority(::LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(::DWORD) override { return S_OK; }
  STDMETHODIMP OnProgress(::ULONG, ::ULONG progress_max, ::ULONG, ::LPCWSTR) override {
    if (aborted_->load()) return E_ABORT;
    if (progress_max > 0) expected_->store(progress_max);
    return S_OK;
  }
  STDMETHODIMP OnStopBinding(::HRESULT, ::LPCWSTR) override { return S_OK; }
  STDMETHODIMP GetBindInfo(::DWORD* flags, ::BINDINFO* info) override {
    if (!flags || !info) return E_INVALIDARG;
    // Only the flags that ask for a fresh copy are passed on; the stream
    // itself is read synchronously here.
    *flags = flags_;
    return S_OK;
  }
  STDMETHODIMP OnDataAvailable(::DWORD, ::DWORD, ::FORMATETC*, ::STGMEDIUM*) override {
    return S_OK;
  }
  STDMETHODIMP OnObjectAvailable(const ::IID&, ::IUnknown*) override { return S_OK; }

 private:
  std::atomic<bool>* aborted_;
  std::atomic<uint64_t>* expected_;
  ::DWORD flags_;
};

}  // namespace

namespace cvie::platform {

struct DownloadBinding::State {
  std::wstring url;
  std::shared_ptr<DownloadCallback> callback;
  DownloadBinding* owner = nullptr;  // cleared when the binding is destroyed
  cvie::DWORD target = 0;            // thread whose queue receives the callbacks
  cvie::DWORD bind_flags = 0;

  // Held while a callback runs and while Abort marks the binding, so that no
  // callback starts after Abort has returned.
  std::recursive_mutex dispatch;
  std::atomic<bool> aborted{false};
  std::atomic<bool> ended{false};
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> expected{0};
  std::thread thread;
};

namespace {

using State = DownloadBinding::State;

// Runs `call` on the target thread unless the binding has been aborted by then.
bool Deliver(const std::shared_ptr<State>& state, std::function<void(State*)> call) {
  return PostThreadTask(state->target, [state, call = std::move(call)] {
    std::lock_guard<std::recursive_mutex> lock(state->dispatch);
    if (state->aborted.load()) return;
    call(state.get());
  });
}

void Transfer(std::shared_ptr<State> state) {
  ::HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  TransferStatus status(&state->aborted, &state->expected,
                        state->bind_flags & BINDF_GETNEWESTVERSION);
  ::IStream* stream = nullptr;
  ::HRESULT hr = URLOpenBlockingStreamW(nullptr, state->url.c_str(), &stream, 0, &status);
  bool first = true;
  char buffer[16384];
  while (SUCCEEDED(hr) && stream && !state->aborted.load()) {
    ::ULONG read = 0;
    ::HRESULT rc = stream->Read(buffer, sizeof(buffer), &read);
    if (FAILED(rc)) {
      hr = rc;
      break;
    }
    if (read == 0) break;
    uint64_t total = state->received.fetch_add(read) + read;
    cvie::DWORD flags = first ? cvie::BSCF_FIRSTDATANOTIFICATION
                              : cvie::BSCF_INTERMEDIATEDATANOTIFICATION;
    first = false;
    uint64_t expected = state->expected.load();
    std::string piece(buffer, read);
    bool posted = Deliver(state, [piece = std::move(piece), flags, total,
                                  expected](State* s) {
      s->callback->OnProgress(total, expected, cvie::BINDSTATUS_DOWNLOADINGDATA);
      if (s->aborted.load()) return;
      s->callback->OnDataAvailable(flags, piece.data(), static_cast<ULONG>(piece.size()));
    });
    if (!posted) state->aborted.store(true);  // nobody is left to receive the data
  }
  if (stream) stream->Release();
  if (SUCCEEDED(com)) CoUninitialize();

  state->ended.store(true);
  if (state->aborted.load()) return;
  cvie::HRESULT result = SUCCEEDED(hr) ? 0 : static_cast<cvie::HRESULT>(hr);
  std::wstring text;
  if (FAILED(hr)) text = L"download failed";
  uint64_t total = state->received.load();
  Deliver(state, [result, text, total](State* s) {
    s->callback->OnProgress(total, total, cvie::BINDSTATUS_ENDDOWNLOADDATA);
    if (s->aborted.load()) return;
    s->callback->OnStopBinding(result, text);
  });
}

bool HasWebScheme(const std::wstring& url) {
  size_t colon = url.find(L"://");
  if (colon == std::wstring::npos || colon == 0) return false;
  std::wstring scheme = url.substr(0, colon);
  for (wchar_t& c : scheme) c = static_cast<wchar_t>(towlower(c));
  return scheme == L"http" || scheme == L"https";
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

cvie::HRESULT DownloadBinding::Abort() {
  std::lock_guard<std::recursive_mutex> lock(state_->dispatch);
  if (state_->aborted.exchange(true)) return S_FALSE;
  return state_->ended.load() ? S_FALSE : S_OK;
}

uint64_t DownloadBinding::BytesReceived() const { return state_->received.load(); }

cvie::HRESULT StartDownload(const std::wstring& url,
                            std::shared_ptr<DownloadCallback> callback,
                            std::shared_ptr<DownloadBinding>* binding) {
  if (!callback || !binding) return E_POINTER;
  if (url.find(L"://") == std::wstring::npos) return INET_E_INVALID_URL;
  if (!HasWebScheme(url)) return INET_E_UNKNOWN_PROTOCOL;

  EnsureMessageQueue();
  std::shared_ptr<DownloadBinding> result(new DownloadBinding());
  auto state = std::make_shared<State>();
  state->url = url;
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
    state->thread = std::thread(Transfer, state);
  } catch (const std::system_error&) {
    state->aborted.store(true);
    return E_FAIL;
  }
  *binding = std::move(result);
  return S_OK;
}

}  // namespace cvie::platform
