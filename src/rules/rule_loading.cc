#include "rules/rule_loading.h"

#include <errno.h>

#include <fstream>
#include <optional>

#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/text.h"
#include "rules/rule_file.h"
#include "rules/rule_index_cache.h"

namespace cvie {
namespace {

Logger& Log() { return Logger::Instance(); }

// The process-wide slot; never destroyed, so threads still filtering while the
// process exits never meet a deleted holder.
RulesSlot& ProcessSlot() {
  static RulesSlot* slot = new RulesSlot;
  return *slot;
}

}  // namespace

int CheckRuleFile(const std::wstring& path) {
  {
    std::ifstream probe(platform::ToNarrow(path), std::ios::binary);
    if (!probe.is_open()) return -1;
  }
  Log().Log(LOG_NOTICE, L"Scanning rule for magic and checksum");
  int result = -1;
  std::optional<std::string> checksum = FileChecksum(path, kRuleFileHeaderSize);
  if (checksum) {
    RuleFileReader reader(path, nullptr);
    result = reader.CheckHeader(*checksum, true);
  }
  if (result < 0) {
    Log().Log(LOG_NOTICE, L"Header problem, rule file no good.");
    return -1;
  }
  Log().Log(LOG_DETAIL, L"Scanning rule: magic and checksum are good!");
  return 0;
}

std::unique_ptr<RulesHolder> LoadRuleFile(const std::wstring& path) {
  if (CheckRuleFile(path) != 0) return nullptr;
  Log().Log(LOG_NOTICE, L"rules are good; let's load them.");
  auto holder = std::make_unique<RulesHolder>();
  RulesHolder* sink = holder.get();
  // Explanations name a rule by the file's name and the rule's line.
  const std::string narrow = platform::ToNarrow(path);
  holder->set_source_name(narrow.substr(narrow.find_last_of('/') + 1));
  const RuleFileReader* reading = nullptr;
  RuleFileReader reader(path, [sink, &reading](std::string line) {
    return sink->ParseRule(std::move(line), reading->line_number());
  });
  reading = &reader;
  while (reader.NextLine() == 1) {
  }
  reader.Close();
  // Candidate index over the rules, from the cache beside the file when valid.
  holder->EnableIndex(RuleIndexCachePath(path));
  holder->set_loaded(true);
  return holder;
}

int RulesSlot::Prepare(const std::wstring& path) {
  if (Get() != nullptr) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (Get() != nullptr) return 0;  // another thread loaded them while we waited
  Log().Log(LOG_DETAIL, L"To prepare rules...");
  std::unique_ptr<RulesHolder> holder = LoadRuleFile(path);
  if (!holder) return 0;  // nothing published; the next caller tries again
  holder_ = std::move(holder);
  published_.store(holder_.get(), std::memory_order_release);
  holder_->LogRuleCount();
  return 0;
}

int PrepareRules(const wchar_t* path) {
  RulesSlot& slot = ProcessSlot();
  if (slot.Get() != nullptr) return 0;
  return slot.Prepare(path != nullptr ? std::wstring(path) : platform::RuleFilePath());
}

RulesHolder* ProcessRules() { return ProcessSlot().Get(); }

int InstallDownloadedRuleFile(const std::wstring& installed,
                              const std::wstring& downloaded) {
  if (CheckRuleFile(downloaded) == -1) {
    Log().Log(LOG_NOTICE, L"The downloaded rule file is corrupted");
    return -1;
  }
  // rename() replaces the installed file in one step: readers that have it
  // open keep the old file, new readers get the new one, and a failed rename
  // leaves the installed file as it was.
  errno = 0;
  if (!platform::RenameFile(downloaded, installed, /*replace_existing=*/true)) {
    int error = errno;
    Log().Log(LOG_NOTICE, L"Rename failed, and errno is %d", error);
    return -1;
  }
  // Compile the new rules' index now, on the installing thread, so that the
  // next start finds it ready.
  RebuildRuleIndexCache(installed);
  return 0;
}

int InstallRuleFileContents(std::string_view contents, const std::wstring& installed) {
  const std::wstring downloaded = platform::DownloadPath(installed);
  {
    std::ofstream out(platform::ToNarrow(downloaded), std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
      Log().Log(LOG_NOTICE, L"Unable to open file");
      return -1;
    }
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    if (out.fail()) {
      Log().Log(LOG_NOTICE, L"Unable to open file");
      platform::DeleteFileAt(downloaded);
      return -1;
    }
  }
  if (InstallDownloadedRuleFile(installed, downloaded) != 0) {
    platform::DeleteFileAt(downloaded);
    return -1;
  }
  return 0;
}

}  // namespace cvie
