// The process-wide log file.
//
// Lines are written as UTF-8 whatever the user's locale, each ending with a
// single "\n" (this platform's line end), in one append to the file so that
// a line is never split. Wide messages are formatted with 8-bit "%s"
// arguments read as UTF-8; the process locale is neither read nor changed.

#include "log/logger.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace cvie {

using platform::AppendFile;
using platform::DeleteFileAt;
using platform::GetCurrentThreadId;
using platform::GetFileSize;
using platform::NamedMutex;
using platform::NamedMutexLock;
using platform::RenameFile;

namespace {

constexpr uint64_t kRotateAboveBytes = 2000000;
// A running process looks at the file's size after each this many bytes of
// its own lines (one stat and one fstat, under the mutex).
constexpr uint64_t kCheckEveryBytes = 64 * 1024;
constexpr size_t kMaxMessageChars = 4095;
constexpr int kThreshold = LOG_NOTICE;

// "mm/dd/yy-hh:mm:ss" in local time.
std::string DateTimeText() {
  time_t now = time(nullptr);
  struct tm local;
  platform::LocalTime(now, &local);
  char date[32], clock[32], both[80];
  snprintf(date, sizeof date, "%02d/%02d/%02d", local.tm_mon + 1, local.tm_mday,
           local.tm_year % 100);
  snprintf(clock, sizeof clock, "%02d:%02d:%02d", local.tm_hour, local.tm_min,
           local.tm_sec);
  snprintf(both, sizeof both, "%s-%s", date, clock);
  return both;
}

std::atomic<Logger*> g_logger{nullptr};

}  // namespace

struct Logger::State {
  std::atomic<int> enabled{0};
  int threshold = 0;
  std::unique_ptr<AppendFile> file;   // null when the log could not be opened
  std::atomic<bool> closed{false};    // set at process exit: nothing more is written
  std::unique_ptr<NamedMutex> mutex;  // "MutexToLog": switching generations
  std::mutex write_mutex;             // one line at a time in this process
  std::wstring path;                  // "log1.txt"
  std::wstring previous_path;         // "log2.txt"
  uint64_t unchecked = 0;  // bytes written since the last look; under write_mutex

  // Called with both mutexes held. When the current file has grown past the
  // limit, it becomes the previous generation and writing goes on in a new
  // current file; when another process did that meanwhile, writing moves to
  // the file now current.
  void SwitchGenerationsIfLarge() {
    uint64_t size = 0;
    const bool ours = file->IsAt(path, &size);
    if (size > kRotateAboveBytes) {
      DeleteFileAt(previous_path);
      if (!RenameFile(path, previous_path, false)) return;
      file->Reopen(path);
    } else if (!ours) {
      file->Reopen(path);
    }
  }

  bool Writes(int level) const {
    return file && !closed.load(std::memory_order_relaxed) &&
           enabled.load(std::memory_order_relaxed) != 0 && level >= threshold;
  }
};

Logger& Logger::Instance() {
  // Function-local static: its initialisation runs once even when several
  // threads make the first call together. The logger is never deleted, so
  // code running during process exit may still call it; at exit it only
  // stops writing.
  static Logger* const logger = [] {
    Logger* created = new Logger();
    g_logger.store(created, std::memory_order_release);
    atexit([] {
      if (Logger* l = g_logger.load(std::memory_order_acquire)) {
        l->state_->closed.store(true, std::memory_order_relaxed);
      }
    });
    return created;
  }();
  return *logger;
}

Logger::Logger() : state_(new State) {
  const std::wstring& path = platform::LogFilePath();
  // Switch generations at creation: a large current log becomes the previous
  // one. While running, Log does the same each time its process has written
  // another kCheckEveryBytes (State::SwitchGenerationsIfLarge). Either step
  // may fail; the log then keeps growing until the next try.
  uint64_t size = 0;
  if (GetFileSize(path, &size) && size > kRotateAboveBytes) {
    const std::wstring& previous = platform::PreviousLogFilePath();
    DeleteFileAt(previous);
    RenameFile(path, previous, false);
  }
  state_->file = AppendFile::Open(path);
  state_->path = path;
  state_->previous_path = platform::PreviousLogFilePath();
  state_->threshold = kThreshold;
  state_->mutex = NamedMutex::Open(L"MutexToLog");
  state_->enabled.store(1);
}

Logger::~Logger() { delete state_; }

int Logger::Log(int level, const wchar_t* format, ...) {
  State& s = *state_;
  // A call that would write nothing returns without the mutex: the check is
  // repeated under it, so the result is the same, and tracing calls below the
  // threshold do not serialise every thread of every process.
  if (!s.Writes(level)) return 0;

  std::wstring message;
  va_list args;
  va_start(args, format);
  bool formatted = platform::FormatWideV(&message, format, args);
  va_end(args);
  // An argument that cannot be converted leaves the format itself, so the
  // event is still recorded.
  if (!formatted) message = format;
  if (message.size() > kMaxMessageChars) message.resize(kMaxMessageChars);

  char prefix[96];
  snprintf(prefix, sizeof prefix, "T%d %s L%d ", static_cast<int>(GetCurrentThreadId()),
           DateTimeText().c_str(), level);
  std::string line = prefix;
  line += platform::ToNarrow(message);
  line += '\n';
  // The line goes to the file in one append, so lines of other processes
  // never cut into it; the threads of this process write one at a time. The
  // processes agree on switching generations under the named mutex, which
  // is taken only for that.
  std::lock_guard<std::mutex> lock(s.write_mutex);
  if (!s.Writes(level)) return 0;
  s.file->Write(line.data(), line.size());
  s.unchecked += line.size();
  if (s.unchecked >= kCheckEveryBytes) {
    s.unchecked = 0;
    NamedMutexLock switching(s.mutex.get());
    s.SwitchGenerationsIfLarge();
  }
  return 0;
}

int Logger::LogA(int level, const char* format, ...) {
  State& s = *state_;
  if (!s.Writes(level)) return 0;
  char buffer[kMaxMessageChars + 2];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, kMaxMessageChars + 1, format, args);
  va_end(args);
  if (n < 0) return 0;
  size_t length = static_cast<size_t>(n) > kMaxMessageChars ? kMaxMessageChars : n;
  buffer[length] = '\n';
  s.file->Write(buffer, length + 1);
  return 0;
}

int Logger::SetEnabled(int enabled) {
  state_->enabled.store(enabled, std::memory_order_relaxed);
  return 0;
}

int Logger::Enable() { return SetEnabled(1); }
int Logger::Disable() { return SetEnabled(0); }

}  // namespace cvie
