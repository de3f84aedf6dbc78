// platform/download.h
//
// Downloads of one URL with a bind-status-callback shape: StartDownload starts
// the transfer (libcurl, on a transfer thread of its own) and returns at once;
// the callback's methods then run on the thread that started it, through that
// thread's message queue (thread.h), in this order: OnStartBinding once,
// OnProgress and OnDataAvailable for each piece of data in order, and
// OnStopBinding once with the result when the transfer has ended for any
// reason. The starting thread must therefore run a message loop.
//
// Abort stops the transfer: the connection is closed at once, and no callback
// method starts after Abort has returned (on the starting thread: none at all;
// data already queued is dropped). Destroying the last reference to a binding
// aborts it and waits for the transfer thread.
//
// Only "http" and "https" URLs are accepted. Responses with an HTTP status of
// 400 or more deliver no data and stop with INET_E_RESOURCE_NOT_FOUND (404)
// or INET_E_DOWNLOAD_FAILURE. Proxy settings of the environment are honoured,
// except for loopback addresses.

#pragma once

#include <stdint.h>

#include <memory>
#include <string>

#include "platform/com.h"
#include "platform/urlmon.h"

namespace cvie::platform {

// Bind flags (BINDF_), data notification flags (BSCF_), status codes
// (BINDSTATUS_) and results (INET_E_) are those of platform/urlmon.h.

class DownloadBinding;

class DownloadCallback {
 public:
  virtual ~DownloadCallback() = default;
  // The bind flags; BINDF_GETNEWESTVERSION asks servers and caches for a fresh copy.
  virtual DWORD GetBindInfo() { return BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE; }
  virtual HRESULT OnStartBinding(DownloadBinding* binding) = 0;
  // `progress` bytes of `progress_max` (0 when the size is unknown).
  virtual HRESULT OnProgress(uint64_t progress, uint64_t progress_max, ULONG status) = 0;
  // The next `size` bytes; `data` is valid only during the call.
  virtual HRESULT OnDataAvailable(DWORD bscf, const char* data, ULONG size) = 0;
  // S_OK when the whole response arrived, a failure code otherwise.
  virtual HRESULT OnStopBinding(HRESULT result, const std::wstring& error) = 0;
};

class DownloadBinding {
 public:
  ~DownloadBinding();
  DownloadBinding(const DownloadBinding&) = delete;
  DownloadBinding& operator=(const DownloadBinding&) = delete;

  // Stops the transfer (see above). Returns S_OK, or S_FALSE when the transfer
  // had already ended or been aborted. Safe from any thread.
  HRESULT Abort();

  // Bytes received so far (counted on the transfer thread).
  uint64_t BytesReceived() const;

  struct State;

 private:
  friend HRESULT StartDownload(const std::wstring&, std::shared_ptr<DownloadCallback>,
                               std::shared_ptr<DownloadBinding>*);
  DownloadBinding() = default;
  std::shared_ptr<State> state_;
};

// Starts downloading `url`; callbacks run on the calling thread (which gets a
// message queue if it has none). Returns S_OK and sets `*binding` when the
// transfer was started; INET_E_INVALID_URL or INET_E_UNKNOWN_PROTOCOL for a URL
// that is refused, E_OUTOFMEMORY or E_FAIL when the transfer cannot be set up.
// No callback runs for a refused start.
HRESULT StartDownload(const std::wstring& url, std::shared_ptr<DownloadCallback> callback,
                      std::shared_ptr<DownloadBinding>* binding);

}  // namespace cvie::platform
