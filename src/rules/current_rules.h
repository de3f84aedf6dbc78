// rules/current_rules.h
//
// The rules a running filter uses now, replaced when a new rule file is
// installed while it runs (`cvie update`, the panel's "Check Update"). A
// RulesHolder is never changed once loaded: a page takes the current holder
// once when it starts (a shared pointer) and finishes with it, also when a
// newer one is published meanwhile; the old holder goes when its last page
// ends.
//
// ReloadIfChanged compares the rule file's version stamp (inode, size,
// times: platform::FileVersionStamp) with the one its holder was loaded
// from and loads a changed file; RulesWatcher asks it every couple of
// seconds on its own thread, so reading and compiling rules never happen on
// a page's way. A file that fails its check leaves the rules in force.
//
// Threads: every method may be called from any thread at once (a lock
// guards the pointer; loading happens outside it, one reload at a time).

#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "rules/rules_holder.h"

namespace cvie {

class CurrentRules {
 public:
  // What is in force, for showing it: the rule file's version text
  // ("%c.%c"), when it was loaded (seconds since 1970; 0 when nothing was
  // loaded here) and how many reloads found a file that failed its check.
  struct State {
    std::string version;
    long long loaded_at = 0;
    int refused = 0;
  };

  // The process's instance; the page filter takes its rules from it when it
  // holds any (ie/page_filter.h).
  static CurrentRules& Process();

  // The holder pages use now; null when none was loaded here.
  std::shared_ptr<RulesHolder> Get() const;
  State state() const;

  // Makes `holder` (loaded, not null) the one later pages take.
  void Publish(std::shared_ptr<RulesHolder> holder, const std::string& version);

  // Records `stamp` and `version` as those of the rules in force elsewhere
  // (the process-wide holder loaded at start), so that the first check loads
  // the file only when it changed since. Ignored once a holder was loaded
  // here.
  void AssumeLoaded(const std::string& stamp, const std::string& version);

  // Loads the rule file at `path` when its stamp differs from the one last
  // loaded (or assumed) and publishes it. True when a new holder was
  // published; false when the file is unchanged, missing, or fails its
  // check (the holder in force stays; the failing stamp is remembered so
  // the same file is not tried again).
  bool ReloadIfChanged(const std::wstring& path);

 private:
  mutable std::mutex mutex_;  // current_, state_
  std::shared_ptr<RulesHolder> current_;
  State state_;
  std::mutex reload_mutex_;  // one reload at a time; guards stamp_
  std::string stamp_;
  bool stamped_ = false;
};

// Checks a rule file every `interval` on its own thread and reloads it into
// `target` on a change. The first check happens on the thread too, at once.
class RulesWatcher {
 public:
  RulesWatcher(CurrentRules* target, std::wstring path,
               std::chrono::milliseconds interval = std::chrono::seconds(2));
  // Stops the thread and waits for it.
  ~RulesWatcher();
  RulesWatcher(const RulesWatcher&) = delete;
  RulesWatcher& operator=(const RulesWatcher&) = delete;

 private:
  void Run();

  CurrentRules* target_;
  const std::wstring path_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace cvie
