#include "comm/version_info.h"

#include <stdarg.h>
#include <stdio.h>
#include <time.h>
#include <wchar.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "comm/update_listener.h"
#include "config/update_server.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/process.h"
#include "platform/text.h"
#include "rules/rule_file.h"
#include "rules/rule_loading.h"

namespace cvie {
namespace {

// The program's version characters.
constexpr char kMajorVersion = '2';
constexpr char kMinorVersion = '2';

int ShowBox(const std::wstring& text, const std::wstring& caption, platform::UINT type) {
  if (CCommMgr* manager = CommMgr()) return manager->ShowMessage(text, caption, type);
  return platform::ActiveUi().MessageBox(nullptr, text, caption, type);
}

// Formats one version number into a decision line. A version file may
// announce any number, 1e300 included, so the text has no fixed length.
std::wstring Format(const wchar_t* format, ...) {
  std::wstring text;
  va_list args;
  va_start(args, format);
  platform::FormatWideV(&text, format, args);
  va_end(args);
  return text;
}

// The version of the installed rule file, or 0 when it is missing or fails its
// check (so that any announced rule file replaces it). Read from the file
// itself: the version text kept by the last header check may belong to a
// downloaded file that was refused.
double InstalledRuleVersion() {
  const std::wstring& path = platform::RuleFilePath();
  if (CheckRuleFile(path) != 0) return 0.0;
  RuleFileReader reader(path, nullptr);
  std::optional<RuleFileHeader> header = reader.ReadHeader();
  if (!header) return 0.0;
  char text[4];
  snprintf(text, sizeof text, "%c.%c", (*header)[4], (*header)[5]);
  return ParseVersionNumber(text);
}

}  // namespace

VersionInfo& VersionInfo::Instance() {
  static VersionInfo info;
  return info;
}

VersionInfo::VersionInfo() {
  snprintf(program_version_, sizeof program_version_, "%c.%c", kMajorVersion,
           kMinorVersion);
}

void VersionInfo::Decide(const std::wstring& text) const {
  Logger::Instance().Log(LOG_NOTICE, L"%ls", text.c_str());
  if (UpdateListener* listener = CurrentUpdateListener()) listener->OnDecision(text);
}

bool VersionInfo::VersionFileNeedsUpdate(const std::wstring& path, int64_t now) const {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path file(platform::ToNarrow(path));
  uint64_t size = fs::file_size(file, error);
  fs::file_time_type modified{};
  if (!error) modified = fs::last_write_time(file, error);
  if (error) {
    Logger::Instance().Log(LOG_NOTICE, L"Problem reading version file");
    return true;
  }
  int64_t modified_seconds =
      std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::file_clock::to_sys(modified).time_since_epoch())
          .count();
  bool needed = false;
  // A modification time in the future gives a negative age, never a stale file.
  if (now - modified_seconds > kVersionFileMaxAge) {
    Logger::Instance().Log(LOG_NOTICE, L"It's been a while, updating version file");
    needed = true;
  }
  if (size < kVersionFileMinSize) {
    Logger::Instance().Log(LOG_NOTICE, L"Version file is corrupted");
    needed = true;
  }
  return needed;
}

int VersionInfo::CheckVersionFile() {
  if (VersionFileNeedsUpdate(platform::VersionFilePath(),
                             static_cast<int64_t>(time(nullptr)))) {
    RunUpdateCheck(false);
  }
  return 0;
}

int VersionInfo::RunUpdateCheck(bool interactive) {
  CCommMgr* manager = CommMgr();
  if (!manager) return 0;
  if (interactive && manager->IsUpdateWorkerBusy()) {
    manager->ShowMessage(kNetworkBusyText, kMessageCaption, platform::MB_OK);
    return 0;
  }
  manager->StartUpdateWorker(interactive);
  return 0;
}

int VersionInfo::ProcessVersionFile(bool interactive, std::vector<DownloadItem>* items) {
  return ProcessVersionFileAt(platform::VersionFilePath(), interactive, items);
}

int VersionInfo::ProcessVersionFileAt(const std::wstring& path, bool interactive,
                                      std::vector<DownloadItem>* items) {
  Logger& log = Logger::Instance();
  std::ifstream in(platform::ToNarrow(path), std::ios::binary);
  if (!in) {
    log.Log(LOG_NOTICE, L"can't open sw_info file");
    return -1;
  }
  VersionFileValues values;
  VersionFileStats stats;
  RuleSlots::Slot announced;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stats = ReadVersionFile(in, &values, &slots_);
    announced = slots_.slot(0);
  }
  in.close();
  if (stats.long_lines > 0) {
    log.Log(LOG_NOTICE, L"Skipped %d version file lines longer than %d characters",
            stats.long_lines, static_cast<int>(kMaxVersionLineLength));
  }
  if (stats.ignored_urls > 0) {
    log.Log(LOG_NOTICE, L"Ignored %d version file addresses longer than %d characters",
            stats.ignored_urls, static_cast<int>(kMaxVersionUrlLength));
  }

  double program = ParseVersionNumber(program_version_);
  if (program < values.minimum) {
    Decide(kNeedsUpgradeText);
    ShowBox(kNeedsUpgradeText, kMessageCaption, platform::MB_SYSTEMMODAL);
    OpenInNewBrowser(values.minimum_url);
    return 0;
  }
  if (program < values.newest) {
    Decide(kNewVersionText);
    if (ShowBox(kNewVersionText, kMessageCaption, platform::MB_YESNO) ==
        platform::IDYES) {
      OpenInNewBrowser(values.newest_url);
    }
    return 0;
  }

  Decide(Format(L"You already have the latest version of DLL: V%1.1f", program));
  double installed = InstalledRuleVersion();
  if (installed < announced.version) {
    Decide(Format(L"To upgrade to rule version %1.1f", announced.version));
    DownloadItem item;
    // Without an announced address the rule file comes from the server's
    // usual place.
    item.url =
        announced.url.empty() ? DefaultRuleFileUrl() : platform::ToWide(announced.url);
    item.path = platform::RuleFilePath();
    item.timeout_seconds = kRuleDownloadTimeout;
    if (item.url.size() > kMaxDownloadItemText ||
        item.path.size() > kMaxDownloadItemText) {
      log.Log(LOG_NOTICE, L"Rule file address or path too long, not downloaded");
    } else {
      items->push_back(std::move(item));
    }
  } else {
    Decide(Format(L"You also have the latest rule file: V%1.1f", installed));
    if (interactive) ShowBox(kLatestVersionText, kCheckUpdateCaption, platform::MB_OK);
  }
  return 0;
}

int VersionInfo::OpenInNewBrowser(const std::string& url) {
  if (url.empty()) {
    Logger::Instance().Log(LOG_NOTICE, L"No address to open in the browser");
    return 0;
  }
  if (platform::OpenUrlInBrowser(platform::ToWide(url)) != 0) {
    Logger::Instance().Log(LOG_NOTICE, L"Cannot start the browser for %s", url.c_str());
  }
  return 0;
}

double VersionInfo::AnnouncedRuleVersion(const std::string& tag) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int index = slots_.Find(tag);
  return index < 0 ? 0.0 : slots_.slot(index).version;
}

std::string VersionInfo::AnnouncedRuleUrl(const std::string& tag) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int index = slots_.Find(tag);
  return index < 0 ? std::string() : slots_.slot(index).url;
}

}  // namespace cvie
