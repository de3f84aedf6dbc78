// app/panel/update_page.h
//
// The control panel's "Updates" page: what the last update check did (when,
// its outcome and the reason: the version file's decision, or why a download
// failed or a rule file was refused), the rule file installed and the rules
// in force in this proxy, the update server's address with a form to change
// it, and "Check Update".
//   GET  /update          the page (refreshes itself while a check runs)
//   POST /update/check    starts an interactive check, as the menu's item does
//   POST /update/server   url=<address>: the server for this proxy's checks;
//                         empty: back to the default
// UpdateStatus hears the update worker (comm/update_listener.h) of the proxy
// process: the silent check at start and every check started from the panel.
//
// Thread safety: UpdateStatus is called on the worker's thread and read on
// panel workers (one mutex); the page functions are pure.

#pragma once

#include <stdint.h>

#include <mutex>
#include <string>
#include <vector>

#include "comm/update_listener.h"

namespace cvie::panel {

class UpdateStatus : public UpdateListener {
 public:
  struct Snapshot {
    bool ran = false;      // a check started since the proxy started
    bool running = false;  // it has not ended yet
    bool interactive = false;
    bool busy = false;       // another check held the lock: nothing was done
    bool installed = false;  // a rule file was installed
    int64_t started = 0;     // seconds since 1970
    int64_t ended = 0;
    std::string failure;                 // the first failure, empty when none
    std::vector<std::string> decisions;  // the version file's decisions
    std::vector<std::string> lists;      // what happened to each filter list
  };

  // The process's status, never destroyed (the worker may outlive the panel).
  static UpdateStatus& Process();

  Snapshot Get() const;

  // UpdateListener
  void OnWorkerStarted(bool interactive) override;
  void OnWorkerBusy() override;
  void OnDownloadEnded(const std::wstring& url, const std::wstring& path, uint32_t bytes,
                       bool finished, HRESULT result, const std::wstring& error) override;
  void OnDecision(const std::wstring& text) override;
  void OnInstallResult(const std::wstring& path, int result) override;
  void OnListUpdated(const std::string& url, bool ok, const std::string& detail) override;
  void OnWorkerEnded() override;

 private:
  void NoteFailure(const std::string& why);  // with mu_ held

  mutable std::mutex mu_;
  Snapshot now_;  // guarded by mu_
};

// The outcome of a check in one sentence, with its reason.
std::string UpdateOutcomeText(const UpdateStatus::Snapshot& status);

// The rules as the page shows them.
struct RulesShown {
  std::string installed_version;  // of the installed file; empty: none or unreadable
  int64_t installed_at = 0;       // when that file was written (0: unknown)
  std::string active_version;     // of the rules pages use now
  int64_t active_since = 0;       // when those were loaded (0: at start)
  int refused = 0;                // installed files that failed their check
};

// The page. `outcome` (may be empty) is the message of the last action
// taken on it; `failed` marks it as an error.
std::string RenderUpdatePage(const UpdateStatus::Snapshot& status,
                             const RulesShown& rules, const std::string& server,
                             const std::string& token, const std::string& outcome,
                             bool failed);

// Checks an update server address typed by the user: http or https, a host,
// no spaces or control characters, at most 300 characters. Empty `url` is
// valid (the default). False with `why` in a few words otherwise.
bool ValidUpdateServer(const std::string& url, std::string* why);

// The version ("1.0") in the header of the rule file at `path`; empty when
// there is no readable rule file.
std::string InstalledRuleFileVersion(const std::wstring& path);

}  // namespace cvie::panel
