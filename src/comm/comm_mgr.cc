#include "comm/comm_mgr.h"

#include <chrono>

#include "comm/list_updater.h"
#include "comm/update_listener.h"
#include "comm/version_info.h"
#include "config/update_server.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "rules/rule_loading.h"

namespace cvie {

using platform::DownloadBinding;
using platform::MSG;

const CLSID CLSID_CommMgr = {
    0x6A1F0C52, 0x3B7E, 0x4D19, {0x9C, 0x2E, 0x51, 0x0B, 0x7D, 0x84, 0xA3, 0x6F}};
const IID IID_ICommMgr = {
    0x6A1F0C53, 0x3B7E, 0x4D19, {0x9C, 0x2E, 0x51, 0x0B, 0x7D, 0x84, 0xA3, 0x6F}};

namespace {

// The bind flags of every download: asynchronous, asynchronous storage, the
// newest version, nothing written to a cache.
constexpr DWORD kDownloadBindFlags =
    BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE;

uint64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Logger& Log() { return Logger::Instance(); }

}  // namespace

// The download callback bound to one download of the manager.
class CCommMgr::Callback : public platform::DownloadCallback {
 public:
  Callback(CCommMgr* manager, uint64_t generation)
      : manager_(manager), generation_(generation) {}

  DWORD GetBindInfo() override { return kDownloadBindFlags; }
  HRESULT OnStartBinding(DownloadBinding*) override { return S_OK; }
  HRESULT OnProgress(uint64_t, uint64_t, ULONG) override { return S_OK; }
  HRESULT OnDataAvailable(DWORD, const char* data, ULONG size) override {
    if (size > 0) manager_->HandleData(generation_, data, size);
    return S_OK;
  }
  HRESULT OnStopBinding(HRESULT result, const std::wstring& error) override {
    manager_->HandleStop(generation_, result, error);
    return S_OK;
  }

 private:
  CCommMgr* manager_;  // outlives every binding: its destructor aborts them
  uint64_t generation_;
};

CCommMgr::CCommMgr() = default;

CCommMgr::~CCommMgr() {
  StopWorkers(-1);
  std::shared_ptr<DownloadBinding> binding;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    binding = std::move(binding_);
    file_.reset();
  }
  if (binding) binding->Abort();
}

HRESULT CCommMgr::CreateInstance(CCommMgr** manager) {
  if (!manager) return E_POINTER;
  *manager = new (std::nothrow) CCommMgr();
  return *manager ? S_OK : E_OUTOFMEMORY;
}

HRESULT CCommMgr::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_ICommMgr) {
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG CCommMgr::AddRef() { return ++references_; }

ULONG CCommMgr::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

int CCommMgr::DownloadFile(const std::wstring& url, const std::wstring& path) {
  Log().Log(LOG_DETAIL, L"in DownloadFile");
  done_.store(false);
  if (url.size() < 6) {
    Log().Log(LOG_NOTICE, L"wrong URL");
    return -1;
  }
  Log().Log(LOG_DETAIL, L"before open");
  std::shared_ptr<DownloadBinding> previous;
  HRESULT started;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Whatever the previous transfer still delivers carries an old number
    // and is dropped; the transfer itself is stopped below, outside the lock
    // (a callback holds its binding's lock while it waits for ours).
    previous = std::move(binding_);
    uint64_t generation = ++generation_;
    byte_count_ = 0;
    last_result_ = S_OK;
    last_error_.clear();
    file_ = std::make_unique<std::ofstream>(
        platform::ToNarrow(path), std::ios::binary | std::ios::out | std::ios::trunc);
    started = platform::StartDownload(url, std::make_shared<Callback>(this, generation),
                                      &binding_);
  }
  if (previous) {
    previous->Abort();
    previous.reset();  // waits for its transfer thread
  }
  if (FAILED(started)) {
    Log().Log(LOG_NOTICE, L"download failed");
  } else {
    Log().Log(LOG_DETAIL, L"start CBindStatusCallback");
  }
  Log().Log(LOG_DETAIL, L"after CBindStatusCallback");
  return 0;
}

void CCommMgr::DataHandler(const char* data, uint32_t size) {
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    generation = generation_;
  }
  HandleData(generation, data, size);
}

void CCommMgr::HandleData(uint64_t generation, const char* data, uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (generation != generation_) return;  // late data of an earlier download
  Log().Log(LOG_DETAIL, L"got data, dw is %d", static_cast<int>(size));
  if (size > 0) {
    byte_count_ += size;
    if (file_ && data) file_->write(data, size);
    return;
  }
  Log().Log(LOG_DETAIL, L"dw is 0, EOF");
  file_.reset();
  done_.store(true);
}

void CCommMgr::HandleStop(uint64_t generation, HRESULT result,
                          const std::wstring& error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    last_result_ = result;
    last_error_ = error;
  }
  if (FAILED(result)) {
    Log().Log(LOG_NOTICE, L"download ended with error 0x%08x %ls",
              static_cast<unsigned>(result), error.c_str());
  }
  HandleData(generation, nullptr, 0);
}

void CCommMgr::AbortDownload() {
  std::shared_ptr<DownloadBinding> binding;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    file_.reset();
    binding = std::move(binding_);
    ++generation_;  // whatever is still on its way is dropped
  }
  if (binding) {
    binding->Abort();  // outside the lock, as in DownloadFile
    binding.reset();
  }
}

HRESULT CCommMgr::LastResult() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_result_;
}

uint32_t CCommMgr::ByteCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return byte_count_;
}

void CCommMgr::SetWindow(platform::HWND window) {
  std::lock_guard<std::mutex> lock(mutex_);
  window_ = window;
}

void CCommMgr::SetContainerWindow(platform::HWND window) {
  std::lock_guard<std::mutex> lock(mutex_);
  container_window_ = window;
}

int CCommMgr::ShowMessage(const std::wstring& text, const std::wstring& caption,
                          platform::UINT type) {
  platform::HWND window, container;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    window = window_;
    container = container_window_;
  }
  platform::Ui& ui = platform::ActiveUi();
  platform::HWND owner = nullptr;
  if (ui.IsWindow(window)) {
    owner = window;
  } else if (ui.IsWindow(container)) {
    owner = container;
  }
  return ui.MessageBox(owner, text, caption, type);
}

int CCommMgr::IsUpdateWorkerBusy() {
  // Taking the lock and letting it go at once deletes the file again.
  return platform::ExclusiveFileLock::Acquire(platform::LockFilePath()) ? 0 : 1;
}

void CCommMgr::ReapFinishedWorkers() {
  std::lock_guard<std::mutex> lock(workers_mutex_);
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->Finished()) {
      (*it)->Join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

int CCommMgr::StartUpdateWorker(bool interactive) {
  ReapFinishedWorkers();
  // The argument is released by the worker as soon as it has read it.
  auto argument = std::make_shared<int>(interactive ? 1 : 0);
  AddRef();  // the worker keeps the manager alive
  std::unique_ptr<platform::Thread> thread =
      platform::Thread::Create([this, argument = std::move(argument)]() mutable {
        bool flag = *argument != 0;
        argument.reset();
        DWORD code = RunWorker(flag);
        Release();
        return code;
      });
  if (!thread) {
    Release();
    Log().Log(LOG_NOTICE, L"CreateThread failed.");
    return -1;
  }
  std::lock_guard<std::mutex> lock(workers_mutex_);
  workers_.push_back(std::move(thread));
  return 0;
}

bool CCommMgr::WaitForWorkers(int timeout_ms) {
  uint64_t deadline = NowMs() + (timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    platform::Thread* running = nullptr;
    {
      std::lock_guard<std::mutex> lock(workers_mutex_);
      for (auto& worker : workers_) {
        if (!worker->Finished() && worker->id() != platform::GetCurrentThreadId()) {
          running = worker.get();
          break;
        }
      }
    }
    if (!running) break;
    int wait = -1;
    if (timeout_ms >= 0) {
      uint64_t now = NowMs();
      if (now >= deadline) return false;
      wait = static_cast<int>(deadline - now);
    }
    // The thread object stays in the list (and alive) until reaped, and only
    // StartUpdateWorker and this function reap, never while we wait on it.
    if (!running->Wait(wait)) return false;
  }
  ReapFinishedWorkers();
  return true;
}

bool CCommMgr::StopWorkers(int timeout_ms) {
  stopping_.store(true);
  {
    std::lock_guard<std::mutex> lock(workers_mutex_);
    for (auto& worker : workers_) {
      if (!worker->Finished()) {
        platform::PostThreadMessage(worker->id(), platform::WM_QUIT, 0, 0);
      }
    }
  }
  bool stopped = WaitForWorkers(timeout_ms);
  if (stopped) stopping_.store(false);
  return stopped;
}

void CCommMgr::SetTimeoutsForTesting(int version_file_ms, int item_cap_ms) {
  version_timeout_ms_.store(version_file_ms);
  item_timeout_cap_ms_.store(item_cap_ms);
}

CCommMgr::LoopEnd CCommMgr::RunDownloadLoop(uint64_t start_ms, uint64_t limit) {
  MSG msg;
  for (;;) {
    if (stopping_.load()) return LoopEnd::kStopped;
    if (!platform::GetMessage(&msg)) return LoopEnd::kStopped;
    platform::TranslateMessage(&msg);
    platform::DispatchMessage(&msg);
    if (done_.load()) return LoopEnd::kDone;
    if (NowMs() - start_ms > limit) return LoopEnd::kTimedOut;
  }
}

CCommMgr::LoopEnd CCommMgr::Download(const std::wstring& url, const std::wstring& path,
                                     uint64_t timeout_ms) {
  uint64_t start = NowMs();
  DownloadFile(url, path);
  LoopEnd end = RunDownloadLoop(start, timeout_ms);
  if (end != LoopEnd::kDone) AbortDownload();
  if (UpdateListener* listener = CurrentUpdateListener()) {
    HRESULT result;
    std::wstring error;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result = last_result_;
      error = last_error_;
    }
    listener->OnDownloadEnded(url, path, ByteCount(), end == LoopEnd::kDone, result,
                              error);
  }
  return end;
}

DWORD CCommMgr::RunWorker(bool interactive) {
  std::unique_ptr<platform::ExclusiveFileLock> lock =
      platform::ExclusiveFileLock::Acquire(platform::LockFilePath());
  if (!lock) {
    Log().Log(LOG_NOTICE, L"background thread already running");
    if (UpdateListener* listener = CurrentUpdateListener()) listener->OnWorkerBusy();
    return 0;
  }
  if (UpdateListener* listener = CurrentUpdateListener()) {
    listener->OnWorkerStarted(interactive);
  }
  // Wakes the loop even when a transfer stalls without a message.
  platform::UINT_PTR timer = platform::SetThreadTimer(kWorkerTickMs);

  int version_ms = version_timeout_ms_.load();
  uint64_t version_timeout = version_ms > 0 ? version_ms : kVersionFileTimeout * 1000;
  LoopEnd version_end =
      Download(VersionFileUrl(), platform::VersionFilePath(), version_timeout);
  HRESULT version_result = LastResult();
  if (version_end == LoopEnd::kDone && FAILED(version_result)) {
    // The server could not be reached or refused the file: what the file holds
    // now says nothing about the versions, so no decision is taken from it, and
    // a user who asked is told that the check failed rather than that all is
    // current.
    Log().Log(LOG_NOTICE, L"Version file not retrieved, no update decision");
    if (interactive) {
      ShowMessage(kUpdateFailedText, kUpdateCaption, platform::MB_SYSTEMMODAL);
    }
  } else if (version_end == LoopEnd::kDone) {
    std::vector<DownloadItem> items;
    VersionInfo::Instance().ProcessVersionFile(interactive, &items);
    for (const DownloadItem& item : items) {
      if (stopping_.load()) break;
      std::wstring temporary = platform::DownloadPath(item.path);
      uint64_t timeout =
          static_cast<uint64_t>(item.timeout_seconds < 0 ? 0 : item.timeout_seconds) *
          1000;
      int cap = item_timeout_cap_ms_.load();
      if (cap > 0 && timeout > static_cast<uint64_t>(cap)) timeout = cap;
      // A timed-out item is still handed on: its check refuses the partial file.
      if (Download(item.url, temporary, timeout) == LoopEnd::kStopped) break;
      int result = InstallDownloadedRuleFile(item.path, temporary);
      if (UpdateListener* listener = CurrentUpdateListener()) {
        listener->OnInstallResult(item.path, result);
      }
      if (interactive) {
        ShowMessage(result < 0 ? kUpdateFailedText : kUpdateInstalledText, kUpdateCaption,
                    platform::MB_SYSTEMMODAL);
      }
    }
  }

  // Subscribed filter lists that are due, whatever the version file said.
  if (!stopping_.load()) {
    std::vector<ListRefresh> refreshed;
    std::string error;
    if (!RefreshLists(false, &stopping_, &refreshed, &error)) {
      Log().Log(LOG_NOTICE, L"filter lists not refreshed: %ls",
                platform::ToWide(error).c_str());
    }
    if (UpdateListener* listener = CurrentUpdateListener()) {
      for (const ListRefresh& list : refreshed) {
        listener->OnListUpdated(list.url, list.ok, list.detail);
      }
      if (!error.empty()) listener->OnListUpdated("", false, error);
    }
  }

  platform::KillThreadTimer(timer);
  lock.reset();  // deletes "background.lck"
  if (UpdateListener* listener = CurrentUpdateListener()) listener->OnWorkerEnded();
  return 0;
}

namespace {

// Holds the process's manager until the process ends. Built on first use; the
// logger and the version state are made first so that they outlive it.
class CommMgrHolder {
 public:
  CommMgrHolder() {
    Logger::Instance();
    VersionInfo::Instance();
    if (FAILED(CCommMgr::CreateInstance(&manager_))) {
      manager_ = nullptr;
      Logger::Instance().Log(LOG_NOTICE, L"Create CComObject failed.");
    }
  }
  ~CommMgrHolder() {
    // A worker still busy (for instance waiting for an answer on a terminal)
    // keeps the manager: it is left to the end of the process.
    if (manager_ && manager_->StopWorkers(5000)) manager_->Release();
  }
  CCommMgr* manager() const { return manager_; }

 private:
  CCommMgr* manager_ = nullptr;
};

}  // namespace

CCommMgr* CommMgr() {
  static CommMgrHolder holder;
  return holder.manager();
}

}  // namespace cvie
