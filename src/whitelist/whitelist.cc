// The whitelist store and its file.

#include "whitelist/whitelist.h"

#include <string.h>
#include <time.h>
#include <wchar.h>

#include <algorithm>
#include <fstream>
#include <mutex>

#include "config/options.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/text.h"

namespace cvie {

namespace {

// The UTF-8 form of the longest entry and the carriage return before its line
// feed. A line that grows past this is too long whatever it decodes to, so the
// reader stops keeping its bytes.
constexpr size_t kMaxLineBytes = kMaxWhitelistEntryLength * 4 + 1;

// Splits file bytes into entries, one line at a time, holding at most one
// line of kMaxLineBytes in memory.
class LineSplitter {
 public:
  explicit LineSplitter(std::vector<std::wstring>* entries) : entries_(entries) {}

  void Feed(const char* data, size_t size) {
    while (size > 0) {
      const char* feed = static_cast<const char*>(memchr(data, '\n', size));
      size_t piece = feed ? static_cast<size_t>(feed - data) : size;
      Keep(data, piece);
      if (!feed) return;
      EndLine();
      data += piece + 1;
      size -= piece + 1;
    }
  }

  // The last line, when the file does not end with a line feed.
  void Finish() {
    if (!line_.empty() || too_long_) EndLine();
  }

  int skipped() const { return skipped_; }

 private:
  void Keep(const char* data, size_t size) {
    if (too_long_) return;
    if (line_.size() + size > kMaxLineBytes) {
      too_long_ = true;
      line_.clear();
      return;
    }
    line_.append(data, size);
  }

  void EndLine() {
    if (!too_long_) {
      if (!line_.empty() && line_.back() == '\r') line_.pop_back();
      std::wstring entry = platform::ToWide(line_);
      if (entry.size() > kMaxWhitelistEntryLength) {
        ++skipped_;
      } else {
        // Entries are compared as NUL-terminated text: a NUL ends the entry.
        size_t nul = entry.find(L'\0');
        if (nul != std::wstring::npos) entry.resize(nul);
        if (!entry.empty()) entries_->push_back(std::move(entry));
      }
    } else {
      ++skipped_;
    }
    line_.clear();
    too_long_ = false;
  }

  std::vector<std::wstring>* entries_;
  std::string line_;
  bool too_long_ = false;
  int skipped_ = 0;
};

}  // namespace

std::vector<std::wstring> ParseWhitelistText(const std::string& bytes) {
  std::vector<std::wstring> entries;
  LineSplitter splitter(&entries);
  splitter.Feed(bytes.data(), bytes.size());
  splitter.Finish();
  return entries;
}

Whitelist& Whitelist::Instance() {
  static Whitelist* const instance = new Whitelist();
  return *instance;
}

Whitelist::Whitelist() = default;

Whitelist::Whitelist(std::wstring list_path, std::wstring temp_path, CVCfg* cfg,
                     Clock clock)
    : list_path_(std::move(list_path)),
      temp_path_(std::move(temp_path)),
      cfg_(cfg),
      clock_(std::move(clock)) {}

Whitelist::~Whitelist() = default;

const std::wstring& Whitelist::list_path() const {
  return list_path_.empty() ? platform::WhitelistFilePath() : list_path_;
}

const std::wstring& Whitelist::temp_path() const {
  return temp_path_.empty() ? platform::WhitelistTempPath() : temp_path_;
}

int64_t Whitelist::Now() const {
  return clock_ ? clock_() : static_cast<int64_t>(time(nullptr));
}

CVCfg& Whitelist::Cfg() const { return cfg_ ? *cfg_ : CVCfg::Instance(); }

uint32_t Whitelist::load_time() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return load_time_;
}

int Whitelist::Load() {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  LoadLocked();
  return 0;
}

void Whitelist::LoadLocked() {
  std::ifstream in(platform::ToNarrow(list_path()), std::ios::binary);
  if (!in.is_open()) return;
  Logger::Instance().Log(LOG_DETAIL, L"Before loading whielist");
  std::vector<std::wstring> entries;
  LineSplitter splitter(&entries);
  char chunk[16384];
  while (in) {
    in.read(chunk, sizeof chunk);
    std::streamsize got = in.gcount();
    if (got <= 0) break;
    splitter.Feed(chunk, static_cast<size_t>(got));
  }
  splitter.Finish();
  if (splitter.skipped() > 0) {
    Logger::Instance().Log(
        LOG_WARNING, L"Skipped %d whitelist lines longer than %d characters",
        splitter.skipped(), static_cast<int>(kMaxWhitelistEntryLength));
  }
  entries_ = std::move(entries);
  load_time_ = static_cast<uint32_t>(Now());
}

int Whitelist::Save() {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  const std::wstring& temp = temp_path();
  {
    std::ofstream out(platform::ToNarrow(temp), std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return -1;
    Logger::Instance().Log(LOG_DETAIL, L"Before writing whielist");
    for (const std::wstring& entry : entries_) {
      std::string line = platform::ToNarrow(entry);
      line += "\r\n";
      out.write(line.data(), static_cast<std::streamsize>(line.size()));
    }
    out.flush();
    if (!out.good()) {
      out.close();
      platform::DeleteFileAt(temp);
      return -1;
    }
  }
  // One rename replaces the list: readers in other processes see the old
  // list or the new one, never no list.
  if (!platform::RenameFile(temp, list_path(), true)) {
    platform::DeleteFileAt(temp);
    return -1;
  }
  Cfg().SetWhiteListTS(static_cast<uint32_t>(Now()));
  return 0;
}

bool Whitelist::Contains(const wchar_t* text, bool exact) {
  const uint32_t stamp = Cfg().GetWhiteListTS();
  bool newer;
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    newer = stamp > load_time_;
  }
  if (newer) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    if (stamp > load_time_) LoadLocked();
    const int64_t now = Now();
    if (static_cast<int64_t>(stamp) > now)
      Cfg().SetWhiteListTS(static_cast<uint32_t>(now));
  }
  if (!text) return false;
  std::shared_lock<std::shared_mutex> lock(mutex_);
  for (const std::wstring& entry : entries_) {
    if (exact ? wcscmp(entry.c_str(), text) == 0 : wcsstr(text, entry.c_str()) != nullptr)
      return true;
  }
  return false;
}

int Whitelist::Add(const wchar_t* text) {
  if (!text) return 1;
  std::wstring entry(text, wcsnlen(text, kMaxWhitelistEntryLength));
  if (entry.empty() || entry.find(L'\n') != std::wstring::npos) return 1;
  std::unique_lock<std::shared_mutex> lock(mutex_);
  auto before = std::find_if(
      entries_.begin(), entries_.end(),
      [&entry](const std::wstring& e) { return wcscmp(entry.c_str(), e.c_str()) < 0; });
  entries_.insert(before, std::move(entry));
  return 0;
}

int Whitelist::Remove(const wchar_t* text) {
  if (!text) return 0;
  std::unique_lock<std::shared_mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (wcscmp(it->c_str(), text) == 0) {
      entries_.erase(it);
      return 1;
    }
  }
  return 0;
}

std::vector<std::wstring> Whitelist::Entries() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return entries_;
}

}  // namespace cvie
