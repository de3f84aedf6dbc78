// comm/comm_mgr.h
//
// The communication manager: every download of the system and the update
// worker.
//
// A download fetches one URL into one file. DownloadFile opens (truncating)
// the destination and starts the transfer; the data arrives through the
// message queue of the thread that started it, so that thread must run a
// message loop (the update worker does). The done flag is set when the
// transfer has ended for any reason; a failed transfer leaves what was
// received, which the rule file check then refuses. AbortDownload closes the
// file and stops the transfer: no data of an aborted download ever reaches
// the file of a later one.
//
// The update worker is a thread of its own holding the lock file
// "background.lck" (at most one worker per machine). It downloads the version
// file (15 seconds at most; when the transfer fails nothing is decided, and
// an interactive user is told the check failed), lets VersionInfo decide,
// downloads each item under its path with ".new" appended (the item's timeout
// at most), hands it to the rule file installation and, for an interactive
// check, tells the user the outcome. Then it refreshes the subscribed filter
// lists that are due (comm/list_updater.h), whatever the version file said. A thread
// timer wakes its loop, so a transfer that stalls without delivering anything still ends
// at its timeout. The worker's argument and thread are reclaimed when it ends.
//
// One manager per process (CommMgr()), shared by the threads that start
// checks and the workers; every public operation is safe from any thread.

#pragma once

#include <stdint.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/download.h"
#include "platform/thread.h"
#include "platform/ui.h"

namespace cvie {

// Longest URL and path of a download item, in characters.
constexpr size_t kMaxDownloadItemText = 511;
// Seconds the worker waits for the version file.
constexpr int kVersionFileTimeout = 15;
// How often the worker's loop wakes up to look at its timeout, in milliseconds.
constexpr platform::UINT kWorkerTickMs = 200;

constexpr wchar_t kUpdateCaption[] = L"Corvane Filter";
constexpr wchar_t kUpdateFailedText[] = L"Error retrieving update. Please retry later.";
constexpr wchar_t kUpdateInstalledText[] =
    L"Update has been installed, and it will take effect the next time you start IE";

// One file the worker downloads after the version file.
struct DownloadItem {
  std::wstring url;   // at most kMaxDownloadItemText characters
  std::wstring path;  // destination, at most kMaxDownloadItemText characters
  int timeout_seconds = 0;
};

extern const CLSID CLSID_CommMgr;
extern const IID IID_ICommMgr;

class CCommMgr final : public IUnknown {
 public:
  // Makes a manager with one reference. Returns S_OK or E_OUTOFMEMORY.
  static HRESULT CreateInstance(CCommMgr** manager);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // Starts downloading `url` into `path`. Returns 0 when the download was
  // started or its start failed (both logged), -1 when the URL is refused
  // (empty or shorter than 6 characters).
  int DownloadFile(const std::wstring& url, const std::wstring& path);

  // Receives the current download's data; size 0 ends it (closes the file,
  // sets the done flag).
  void DataHandler(const char* data, uint32_t size);

  // Closes the current download's file and stops its transfer.
  void AbortDownload();

  bool IsDownloadDone() const { return done_.load(); }
  // Bytes written by the current (or last) download.
  uint32_t ByteCount() const;
  // How the last finished transfer ended: S_OK when the whole response arrived.
  HRESULT LastResult() const;

  // Starts an update worker. Returns 0, or -1 when the thread cannot be made
  // (logged "CreateThread failed.").
  int StartUpdateWorker(bool interactive);

  // 1 when another worker holds "background.lck", else 0.
  int IsUpdateWorkerBusy();

  // Shows a message box owned by the manager's window when it is live, else
  // by its container's window, else by none. Returns the box's result.
  int ShowMessage(const std::wstring& text, const std::wstring& caption,
                  platform::UINT type);

  void SetWindow(platform::HWND window);
  void SetContainerWindow(platform::HWND window);

  // Waits up to `timeout_ms` (negative: without limit) for every worker
  // started by this manager to end. True when none is running.
  bool WaitForWorkers(int timeout_ms);

  // Asks running workers to stop at once (their download is aborted, nothing
  // more is processed) and waits up to `timeout_ms` for them. True when none
  // is running afterwards.
  bool StopWorkers(int timeout_ms);

  // Shortens the worker's waits so that tests of its timeouts run quickly:
  // the version file gets `version_file_ms`, every item at most `item_cap_ms`.
  // Zero restores the usual timeouts.
  void SetTimeoutsForTesting(int version_file_ms, int item_cap_ms);

 private:
  class Callback;
  enum class LoopEnd { kDone, kTimedOut, kStopped };

  CCommMgr();
  ~CCommMgr();

  // Data of download number `generation`; data of an older download is dropped.
  void HandleData(uint64_t generation, const char* data, uint32_t size);
  void HandleStop(uint64_t generation, HRESULT result, const std::wstring& error);

  // The worker's pass; returns its exit code.
  DWORD RunWorker(bool interactive);
  // Runs the calling thread's message loop until the current download is done,
  // more than `timeout_ms` have passed since `start_ms`, or the worker is
  // stopped.
  LoopEnd RunDownloadLoop(uint64_t start_ms, uint64_t timeout_ms);
  // Downloads `url` into `path` within `timeout_ms`; tells the listener.
  LoopEnd Download(const std::wstring& url, const std::wstring& path,
                   uint64_t timeout_ms);
  void ReapFinishedWorkers();

  std::atomic<ULONG> references_{1};
  std::atomic<bool> done_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<int> version_timeout_ms_{0};   // 0: kVersionFileTimeout
  std::atomic<int> item_timeout_cap_ms_{0};  // 0: no cap

  mutable std::mutex mutex_;  // guards the fields below
  platform::HWND window_ = nullptr;
  platform::HWND container_window_ = nullptr;
  std::unique_ptr<std::ofstream> file_;  // null when no download is open
  uint32_t byte_count_ = 0;
  uint64_t generation_ = 0;  // number of the current download
  std::shared_ptr<platform::DownloadBinding> binding_;
  HRESULT last_result_ = S_OK;
  std::wstring last_error_;

  std::mutex workers_mutex_;  // guards workers_
  std::vector<std::unique_ptr<platform::Thread>> workers_;
};

// The process's manager (made on first use and kept until the process ends),
// or null when it could not be made ("Create CComObject failed.").
CCommMgr* CommMgr();

}  // namespace cvie
