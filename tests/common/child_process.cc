#include "common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/test_support.h"

namespace cvie::testing {

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

bool ChildProcess::Spawn(const std::vector<std::string>& args,
                         const std::string& stderr_path) {
  if (pid_ > 0 || args.empty()) return false;
  static std::atomic<int> next{0};
  stderr_path_ = !stderr_path.empty()
                     ? stderr_path
                     : (TestRoot() / ("child-" + std::to_string(getpid()) + "-" +
                                      std::to_string(++next) + ".err"))
                           .string();
  // Everything the child needs is made before fork: the child of a threaded
  // process only calls async-signal-safe functions until exec.
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (err < 0) return false;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(err);
    return false;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err);
  if (pid_ < 0) {
    close(out[0]);
    return false;
  }
  out_ = out[0];
  return true;
}

bool ChildProcess::ReadOut(int timeout_ms) {
  pollfd p{out_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  char buffer[4096];
  ssize_t n = read(out_, buffer, sizeof buffer);
  if (n <= 0) return false;
  stdout_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool ChildProcess::WaitForLine(const std::regex& pattern, std::smatch* match,
                               int timeout_ms) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t checked = 0;  // lines before this offset did not match
  for (;;) {
    for (size_t nl; (nl = stdout_.find('\n', checked)) != std::string::npos;) {
      line_ = stdout_.substr(checked, nl - checked);
      checked = nl + 1;
      if (std::regex_search(line_, *match, pattern)) return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadOut(static_cast<int>(left.count()))) return false;
  }
}

int ChildProcess::Wait(int timeout_ms) {
  if (pid_ <= 0 || reaped_) return -1;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      while (ReadOut(0)) {
      }
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

int ChildProcess::Stop(int sig, int timeout_ms) {
  Signal(sig);
  return Wait(timeout_ms);
}

bool ChildProcess::running() const {
  return pid_ > 0 && !reaped_ && waitpid(pid_, nullptr, WNOHANG) == 0;
}

std::string ChildProcess::err() const {
  std::string text;
  if (!stderr_path_.empty()) ReadFile(stderr_path_, &text);
  return text;
}

uint16_t StartCvieProxy(ChildProcess* child, const std::vector<std::string>& extra,
                        std::string* error, const std::string& stderr_path) {
  std::vector<std::string> args = {CvieExecutable().string(), "proxy", "--listen",
                                   "127.0.0.1:0"};
  args.insert(args.end(), extra.begin(), extra.end());
  if (!child->Spawn(args, stderr_path)) {
    *error = "cannot start " + args[0];
    return 0;
  }
  static const std::regex kListening("listening on http://127\\.0\\.0\\.1:(\\d+)/");
  std::smatch match;
  if (!child->WaitForLine(kListening, &match, 30000)) {
    *error = "cvie proxy did not start: " + child->out() + child->err();
    return 0;
  }
  return static_cast<uint16_t>(std::stoi(match[1]));
}

}  // namespace cvie::testing
