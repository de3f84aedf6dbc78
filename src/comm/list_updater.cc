#include "comm/list_updater.h"

#include <time.h>

#include <chrono>
#include <memory>
#include <mutex>

#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/download.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace cvie {
namespace {

using lists::Subscription;
using lists::SubscriptionStore;

std::atomic<int> g_timeout_for_testing{0};

// Holds the store's lock: the process's own mutex (so threads wait for each
// other even when the lock file cannot be opened), then the lock shared with
// other processes.
class StoreLock {
 public:
  StoreLock() : local_(LocalMutex()), shared_(lists::OpenStoreMutex()) {
    shared_->Lock();
  }
  ~StoreLock() { shared_->Unlock(); }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

 private:
  static std::mutex& LocalMutex() {
    static std::mutex mutex;
    return mutex;
  }
  std::lock_guard<std::mutex> local_;
  std::unique_ptr<platform::NamedMutex> shared_;
};

int ListTimeoutMs() {
  int shortened = g_timeout_for_testing.load();
  return shortened > 0 ? shortened : kListDownloadTimeoutMs;
}

int64_t UnixNow() { return static_cast<int64_t>(time(nullptr)); }

uint64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A library's message as part of a sentence: "Could not ..." -> "could not ...".
std::string Sentence(std::string text) {
  if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' &&
      !(text[1] >= 'A' && text[1] <= 'Z')) {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '.')) text.pop_back();
  return text;
}

// Collects one download in memory. Runs on the thread that started it.
class MemoryCallback : public platform::DownloadCallback {
 public:
  explicit MemoryCallback(size_t max_bytes) : max_bytes_(max_bytes) {}

  DWORD GetBindInfo() override {
    return BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_GETNEWESTVERSION |
           BINDF_NOWRITECACHE;
  }
  HRESULT OnStartBinding(platform::DownloadBinding*) override { return S_OK; }
  HRESULT OnProgress(uint64_t, uint64_t progress_max, ULONG) override {
    if (progress_max > max_bytes_) too_big_ = true;  // announced too big: stop early
    return S_OK;
  }
  HRESULT OnDataAvailable(DWORD, const char* data, ULONG size) override {
    if (too_big_) return S_OK;
    if (body_.size() + size > max_bytes_) {
      too_big_ = true;
      return S_OK;
    }
    body_.append(data, size);
    return S_OK;
  }
  HRESULT OnStopBinding(HRESULT result, const std::wstring& error) override {
    result_ = result;
    error_ = platform::ToNarrow(error);
    done_ = true;
    return S_OK;
  }

  bool done() const { return done_; }
  bool too_big() const { return too_big_; }
  HRESULT result() const { return result_; }
  const std::string& error() const { return error_; }
  std::string& body() { return body_; }

 private:
  // Touched only on the starting thread (callbacks run through its queue).
  const size_t max_bytes_;
  std::string body_;
  bool too_big_ = false;
  bool done_ = false;
  HRESULT result_ = S_OK;
  std::string error_;
};

// A list downloaded and judged, ready to be installed.
struct Fetched {
  bool ok = false;
  std::string body;
  lists::FilterList parsed;
  std::string error;
};

Fetched FetchAndCheck(const std::string& url, const std::atomic<bool>* stop) {
  Fetched fetched;
  if (!FetchListText(url, lists::kMaxListBytes, ListTimeoutMs(), stop, &fetched.body,
                     &fetched.error)) {
    return fetched;
  }
  fetched.error = lists::CheckListBody(fetched.body, &fetched.parsed);
  fetched.ok = fetched.error.empty();
  return fetched;
}

std::string Counts(const Subscription& s) {
  return std::to_string(s.network_rules) + " network rules, " +
         std::to_string(s.hiding_rules) + " hiding rules, " + std::to_string(s.skipped) +
         " skipped";
}

void LogListFailure(const std::string& url, const std::string& error) {
  Logger::Instance().Log(LOG_NOTICE, L"filter list %ls kept as it was: %ls",
                         platform::ToWide(url).c_str(), platform::ToWide(error).c_str());
}

}  // namespace

void SetListDownloadTimeoutForTesting(int timeout_ms) {
  g_timeout_for_testing.store(timeout_ms);
}

bool FetchListText(const std::string& url, size_t max_bytes, int timeout_ms,
                   const std::atomic<bool>* stop, std::string* body, std::string* error) {
  auto callback = std::make_shared<MemoryCallback>(max_bytes);
  std::shared_ptr<platform::DownloadBinding> binding;
  HRESULT started = platform::StartDownload(platform::ToWide(url), callback, &binding);
  if (FAILED(started)) {
    *error = started == INET_E_UNKNOWN_PROTOCOL ? "only http and https addresses work"
                                                : "the address is not valid";
    return false;
  }
  // Wakes the loop while a transfer stalls without a message.
  platform::UINT_PTR timer = platform::SetThreadTimer(200);
  const uint64_t start = SteadyMs();
  std::string failure;
  for (;;) {
    if (stop && stop->load()) {
      failure = "stopped";
      break;
    }
    platform::MSG msg;
    if (!platform::GetMessage(&msg)) {
      failure = "stopped";
      // The quit request belongs to the thread's own loop: pass it on.
      platform::PostQuitMessage(0);
      break;
    }
    platform::TranslateMessage(&msg);
    platform::DispatchMessage(&msg);
    if (callback->too_big()) {
      failure = "the answer is larger than " + std::to_string(max_bytes >> 20) + " MiB";
      break;
    }
    if (callback->done()) break;
    if (SteadyMs() - start > static_cast<uint64_t>(timeout_ms)) {
      failure = "no complete answer within " + std::to_string(timeout_ms / 1000) + " s";
      break;
    }
  }
  platform::KillThreadTimer(timer);
  binding->Abort();
  binding.reset();  // waits for the transfer thread
  if (failure.empty() && FAILED(callback->result())) {
    failure =
        callback->error().empty() ? "the download failed" : Sentence(callback->error());
  }
  if (!failure.empty()) {
    *error = failure;
    return false;
  }
  *body = std::move(callback->body());
  return true;
}

bool ReadSubscriptions(std::vector<Subscription>* subscriptions, std::string* error) {
  StoreLock lock;
  SubscriptionStore store(lists::ListsFolderPath());
  if (!store.Load(error)) return false;
  *subscriptions = store.subscriptions();
  return true;
}

AddListResult AddList(const std::string& url, const std::string& title,
                      std::string* error) {
  std::string bad = lists::CheckListUrl(url);
  if (!bad.empty()) {
    *error = bad;
    return AddListResult::kBadAddress;
  }
  {
    StoreLock lock;
    SubscriptionStore store(lists::ListsFolderPath());
    if (!store.Load(error)) return AddListResult::kFailed;
    if (store.Find(url)) {
      *error = "already subscribed to " + url;
      return AddListResult::kAlreadySubscribed;
    }
  }
  Fetched fetched = FetchAndCheck(url, nullptr);
  if (!fetched.ok) {
    *error = fetched.error;
    return AddListResult::kFailed;
  }
  StoreLock lock;
  SubscriptionStore store(lists::ListsFolderPath());
  if (!store.Load(error)) return AddListResult::kFailed;
  store.Add(url, title);  // another process may have added it meanwhile: refreshed then
  if (!store.Install(url, fetched.body, fetched.parsed, UnixNow(), error)) {
    return AddListResult::kFailed;
  }
  if (!store.Save(error)) {
    // Readers load every body in the folder: one nobody is subscribed to goes.
    std::string ignored;
    store.Remove(url, &ignored);
    return AddListResult::kFailed;
  }
  Logger::Instance().Log(LOG_NOTICE, L"subscribed to filter list %ls",
                         platform::ToWide(url).c_str());
  return AddListResult::kAdded;
}

lists::RemoveResult RemoveList(const std::string& url, std::string* error) {
  StoreLock lock;
  SubscriptionStore store(lists::ListsFolderPath());
  if (!store.Load(error)) return lists::RemoveResult::kFailed;
  lists::RemoveResult removed = store.Remove(url, error);
  if (removed != lists::RemoveResult::kRemoved) return removed;
  if (!store.Save(error)) return lists::RemoveResult::kFailed;
  Logger::Instance().Log(LOG_NOTICE, L"unsubscribed from filter list %ls",
                         platform::ToWide(url).c_str());
  return lists::RemoveResult::kRemoved;
}

bool RefreshLists(bool force, const std::atomic<bool>* stop,
                  std::vector<ListRefresh>* results, std::string* error) {
  std::vector<std::string> due;
  {
    StoreLock lock;
    SubscriptionStore store(lists::ListsFolderPath());
    if (!store.Load(error)) return false;
    const int64_t now = UnixNow();
    for (const Subscription& s : store.subscriptions()) {
      if (force || s.Due(now)) due.push_back(s.url);
    }
    // A new user's defaults are written down at the first check.
    if (!due.empty() && !store.Save(error)) return false;
  }
  for (const std::string& url : due) {
    if (stop && stop->load()) break;
    Fetched fetched = FetchAndCheck(url, stop);
    if (!fetched.ok && fetched.error == "stopped") break;
    ListRefresh result;
    result.url = url;
    StoreLock lock;
    SubscriptionStore store(lists::ListsFolderPath());
    if (!store.Load(error)) return false;
    if (!store.Find(url)) continue;  // removed while it was downloading
    if (fetched.ok) {
      std::string why;
      if (store.Install(url, fetched.body, fetched.parsed, UnixNow(), &why)) {
        result.ok = true;
        result.detail = Counts(*store.Find(url));
      } else {
        result.detail = why;
      }
    } else {
      store.RecordFailure(url, fetched.error, UnixNow());
      result.detail = fetched.error;
    }
    if (!result.ok) LogListFailure(url, result.detail);
    if (!store.Save(error)) return false;
    if (results) results->push_back(std::move(result));
  }
  return true;
}

}  // namespace cvie
