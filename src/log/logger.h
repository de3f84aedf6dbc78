// log/logger.h
//
// The process-wide log: one text file "log1.txt" in the per-user folder, with a
// single previous generation "log2.txt" switched when the current file is
// larger than 2,000,000 bytes: at creation, and while running each time the
// process has written another 64 KiB of lines (under "MutexToLog", so one
// process switches and the others follow into the new file at their next
// look). Lines are "T<thread> <mm/dd/yy-hh:mm:ss>
// L<level> <message>"; only lines at or above the threshold (30) are written,
// and only while enabled (the "EnableLogging" option). Each line goes to the
// file in one append, so lines of different threads and processes never mix;
// the threads of a process write one line at a time, and the processes agree
// on switching generations under the named mutex "MutexToLog".
//
// Formats follow this platform's wide printf: %ls for a wide string, %s for an
// 8-bit string, %d/%u/%lu as usual.

#pragma once

#include <stdint.h>

namespace cvie {

constexpr int LOG_DETAIL = 10;
constexpr int LOG_WARNING = 20;
constexpr int LOG_NOTICE = 30;

class Logger {
 public:
  // The one logger of the process, created on first call (safe when several
  // threads make the first call at once).
  static Logger& Instance();

  // Writes one prefixed line, in one append, when enabled and level >= 30.
  // Messages longer than 4095 wide characters are cut. Returns 0.
  int Log(int level, const wchar_t* format, ...);
  // Writes one 8-bit line without prefix and without the mutex (rule tracing).
  int LogA(int level, const char* format, ...);

  int SetEnabled(int enabled);
  int Enable();
  int Disable();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

 private:
  Logger();
  ~Logger();
  struct State;
  State* state_;
};

}  // namespace cvie
