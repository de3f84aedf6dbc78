// comm/update_listener.h
//
// What the update worker did, for a caller that tells a person about it
// (`cvie update`). One listener per process, set before a check starts and
// removed after the worker has ended; it must stay alive while it is set.
// Its methods run on the worker's thread.

#pragma once

#include <stdint.h>

#include <string>

#include "platform/com.h"

namespace cvie {

class UpdateListener {
 public:
  virtual ~UpdateListener() = default;

  // A worker holds the lock and begins its pass.
  virtual void OnWorkerStarted(bool interactive) { (void)interactive; }
  // A worker found the lock held by another worker and did nothing.
  virtual void OnWorkerBusy() {}
  // One download has ended. `finished`: the transfer ended by itself (with
  // `result`, S_OK when the whole response arrived); otherwise it was
  // abandoned at its timeout. `bytes` were written to `path`.
  virtual void OnDownloadEnded(const std::wstring& url, const std::wstring& path,
                               uint32_t bytes, bool finished, HRESULT result,
                               const std::wstring& error) {
    (void)url, (void)path, (void)bytes, (void)finished, (void)result, (void)error;
  }
  // A decision taken from the version file (the text of its log line).
  virtual void OnDecision(const std::wstring& text) { (void)text; }
  // A downloaded rule file was handed to the installation: 0 installed,
  // negative refused.
  virtual void OnInstallResult(const std::wstring& path, int result) {
    (void)path, (void)result;
  }
  // A subscribed filter list was refreshed (`ok`) or kept as it was because
  // the download failed or was refused (`detail` says why).
  virtual void OnListUpdated(const std::string& url, bool ok, const std::string& detail) {
    (void)url, (void)ok, (void)detail;
  }
  // The worker's pass is over.
  virtual void OnWorkerEnded() {}
};

// Sets the process's listener (null: none). Returns the previous one.
UpdateListener* SetUpdateListener(UpdateListener* listener);

// The current listener, or null. For the worker and the version file code.
UpdateListener* CurrentUpdateListener();

}  // namespace cvie
