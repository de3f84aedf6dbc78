// comm/version_info.h
//
// The update check: when the local version file must be fetched again, what
// the fetched version file means for this program and its rule file, and the
// messages that tell the user. One object per process (Instance), shared by
// the browser threads that start checks and the update worker that reads the
// version file; every operation is safe from any thread (the rule slots are
// kept under a lock).

#pragma once

#include <stdint.h>

#include <mutex>
#include <string>
#include <vector>

#include "comm/comm_mgr.h"
#include "comm/version_file.h"

namespace cvie {

// Texts shown to the user.
constexpr wchar_t kNetworkBusyText[] = L"Network busy, please try again later.";
constexpr wchar_t kNeedsUpgradeText[] =
    L"Your Corvane Filter needs upgrade, please click OK to continue.";
constexpr wchar_t kNewVersionText[] =
    L"Good news, there's a new and improved version available. Would you like to "
    L"install it?";
constexpr wchar_t kLatestVersionText[] = L"You already have the latest version";
constexpr wchar_t kMessageCaption[] = L"Message";
constexpr wchar_t kCheckUpdateCaption[] = L"Check Update";

// A version file older than this many seconds is fetched again.
constexpr int64_t kVersionFileMaxAge = 604800;
// A version file shorter than this is fetched again.
constexpr uint64_t kVersionFileMinSize = 10;
// Seconds a rule file download may take.
constexpr int kRuleDownloadTimeout = 30;

class VersionInfo {
 public:
  // The process's object, made on first use (safe when threads race to it).
  static VersionInfo& Instance();

  // The running program's version text, "2.2".
  const char* GetProgramVersion() const { return program_version_; }

  // Starts a silent update check when the local version file is unreadable,
  // older than seven days or shorter than 10 bytes. Returns 0.
  int CheckVersionFile();

  // True (after logging why) when the version file at `path` must be fetched
  // again at time `now` (seconds since 1970). The test CheckVersionFile runs.
  bool VersionFileNeedsUpdate(const std::wstring& path, int64_t now) const;

  // Starts the update worker. An interactive check first asks whether a
  // worker is busy and then only shows "Network busy, please try again
  // later.". Returns 0.
  int RunUpdateCheck(bool interactive);

  // Reads the downloaded version file, decides, talks to the user, and
  // appends what must be downloaded to `items`. The installed rule version is
  // read from the installed rule file; a missing file, or one that fails its
  // check, counts as version 0. Returns 0, or -1 when the version file cannot
  // be opened.
  int ProcessVersionFile(bool interactive, std::vector<DownloadItem>* items);
  // The same for the version file at `path`.
  int ProcessVersionFileAt(const std::wstring& path, bool interactive,
                           std::vector<DownloadItem>* items);

  // Opens `url` in a new browser (the user's browser, through the process
  // layer). Returns 0. An empty URL opens nothing.
  int OpenInNewBrowser(const std::string& url);

  // The rule announcement last read for the slot of `tag` (0.0 and an empty
  // URL when none, or when no slot has that tag).
  double AnnouncedRuleVersion(const std::string& tag) const;
  std::string AnnouncedRuleUrl(const std::string& tag) const;

  VersionInfo(const VersionInfo&) = delete;
  VersionInfo& operator=(const VersionInfo&) = delete;

 private:
  VersionInfo();

  // Logs `text` at the notice level and tells the update listener.
  void Decide(const std::wstring& text) const;

  char program_version_[4];   // "%c.%c" of the two version characters
  mutable std::mutex mutex_;  // guards slots_
  RuleSlots slots_;
};

}  // namespace cvie
