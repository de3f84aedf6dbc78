// tests/common/child_process.h
//
// A program a test runs as a child process, `cvie proxy` most often: its
// stdout is read through a pipe (the proxy says there where it listens), its
// stderr goes to a file, never to a pipe that a chatty child could fill and
// stall on. A child still running when the object goes is killed and reaped.
// Not thread-safe: one test thread drives it.

#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <regex>
#include <string>
#include <vector>

namespace cvie::testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `args` (args[0] is the program's path) with stderr appended to
  // `stderr_path`, or to a new file under TestRoot() when it is empty.
  bool Spawn(const std::vector<std::string>& args, const std::string& stderr_path = "");
  // Reads stdout until a whole line matches `pattern` (true, `*match` set,
  // valid until the next call) or `timeout_ms` passed or the output ended.
  bool WaitForLine(const std::regex& pattern, std::smatch* match, int timeout_ms);
  // Waits for the exit: its status, 128 + the signal that ended it, or -1
  // when it did not end within `timeout_ms`.
  int Wait(int timeout_ms);
  void Signal(int sig);
  // Signal, then Wait.
  int Stop(int sig, int timeout_ms = 30000);
  bool running() const;

  pid_t pid() const { return pid_; }
  // What the child wrote on stdout so far (all of it once Wait returned).
  const std::string& out() const { return stdout_; }
  // What the child wrote on stderr so far.
  std::string err() const;

 private:
  bool ReadOut(int timeout_ms);

  pid_t pid_ = -1;
  bool reaped_ = false;
  int out_ = -1;
  std::string stderr_path_;
  std::string stdout_;
  std::string line_;  // the line a WaitForLine match points into
};

// Starts `cvie proxy --listen 127.0.0.1:0` followed by `extra` in `child` under
// the current CVIE_ROOT and waits (at most 30 s) for the line saying where it
// listens. The port, or 0 with what the proxy printed in `*error`.
uint16_t StartCvieProxy(ChildProcess* child, const std::vector<std::string>& extra,
                        std::string* error, const std::string& stderr_path = "");

}  // namespace cvie::testing
