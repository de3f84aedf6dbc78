// rules/rule_loading.h
//
// Where the rules of a process come from: verifying a rule file, building the
// process-wide RulesHolder from the installed rule file once per process, and
// installing a newly downloaded rule file in place of the installed one.
//
// The process-wide holder is published once and never replaced or destroyed
// while the process runs, so a pointer obtained from ProcessRules() stays valid.
// A rule file installed later is not seen here: a running filter takes it
// through CurrentRules (rules/current_rules.h), other processes at their start.

#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "rules/rules_holder.h"

namespace cvie {

// 0 when the file at `path` exists and its magic and checksum are good, -1
// otherwise (a missing file is not logged). Stores the file's version text
// (RuleFileVersion in rules/rule_file.h) whenever a header was read.
int CheckRuleFile(const std::wstring& path);

// Reads every rule of the rule file at `path` into a new holder, after checking
// the file. Null when the check fails. The holder returned is marked loaded.
std::unique_ptr<RulesHolder> LoadRuleFile(const std::wstring& path);

// One published holder, built at most once: the check and the build form one
// step under a lock, so threads racing into Prepare build one holder between
// them. Readers (Get) take no lock.
class RulesSlot {
 public:
  RulesSlot() = default;
  RulesSlot(const RulesSlot&) = delete;
  RulesSlot& operator=(const RulesSlot&) = delete;

  // Loads the rule file at `path` and publishes the holder, unless a holder is
  // published already (then returns at once, logging nothing). When the file
  // fails its check nothing is published and a later call tries again.
  // Returns 0.
  int Prepare(const std::wstring& path);

  // The published holder, or null. Safe from any thread.
  RulesHolder* Get() const { return published_.load(std::memory_order_acquire); }

 private:
  std::mutex mutex_;                     // serialises Prepare
  std::unique_ptr<RulesHolder> holder_;  // owns what published_ points to
  std::atomic<RulesHolder*> published_{nullptr};
};

// Prepares the process-wide rules from `path`, or from RuleFilePath() when
// `path` is null. Returns 0. Safe when several threads call it at once.
int PrepareRules(const wchar_t* path = nullptr);

// The process-wide rules, or null until a PrepareRules call has loaded them.
RulesHolder* ProcessRules();

// Replaces `installed` by `downloaded` after checking `downloaded`. Returns 0
// when installed, -1 when not: a file that fails its check is left where it is
// and `installed` stays exactly as it was. The replacement is one atomic rename,
// so `installed` is never missing or half written, also when it fails. Never
// touches the rules in memory. Safe from any thread.
int InstallDownloadedRuleFile(const std::wstring& installed,
                              const std::wstring& downloaded);

// Installs the rule file whose bytes are `contents` as `installed`: writes them
// to the download path beside it (installed + ".new") and installs that with
// InstallDownloadedRuleFile. On failure the ".new" file is removed again and
// `installed` is unchanged. Returns 0 or -1.
int InstallRuleFileContents(std::string_view contents, const std::wstring& installed);

}  // namespace cvie
