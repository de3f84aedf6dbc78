// `cvie proxy` as a user runs it: it prints where it listens, serves, and stops
// cleanly on SIGTERM or SIGINT.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "proxy_test_support.h"

namespace cvie::proxy {
namespace {

using testing::ParsedResponse;
using testing::RequestText;
using testing::TestClient;

// A child process with its stdout and stderr captured.
class Child {
 public:
  bool Spawn(const std::vector<std::string>& args) {
    // Built before fork: the child of a threaded process only calls
    // async-signal-safe functions until exec.
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    return true;
  }

  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  // Reads stdout until it holds a full line matching `pattern` (or timeout).
  bool WaitForLine(const std::regex& pattern, std::smatch* match, int timeout_ms) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t start = 0;
      for (size_t nl; (nl = stdout_.find('\n', start)) != std::string::npos;
           start = nl + 1) {
        line_ = stdout_.substr(start, nl - start);
        if (std::regex_search(line_, *match, pattern)) return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 ||
          !ReadSome(out_, &stdout_, static_cast<int>(left.count()))) {
        return false;
      }
    }
  }

  // Waits for the exit; returns the exit status, -1 on timeout or a signal death.
  int Wait(int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
      int status;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        while (ReadSome(out_, &stdout_, 0)) {
        }
        while (ReadSome(err_, &stderr_, 0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  void Signal(int sig) { kill(pid_, sig); }
  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  static bool ReadSome(int fd, std::string* into, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return false;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into->append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int out_ = -1;
  int err_ = -1;
  std::string stdout_;
  std::string stderr_;
  std::string line_;
};

class CvieProxyCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(cvie::testing::CvieExecutable())) {
      GTEST_SKIP() << "build the cvie program first: " << cvie::testing::CvieExecutable();
    }
  }
  std::string exe() const { return cvie::testing::CvieExecutable().string(); }
};

TEST_F(CvieProxyCommand, ServesThePanelAndStopsCleanlyOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    Child child;
    ASSERT_TRUE(
        child.Spawn({exe(), "proxy", "--listen", "127.0.0.1:0", "--workers", "2"}));
    std::smatch match;
    std::regex listening("^cvie proxy listening on http://127\\.0\\.0\\.1:([0-9]+)/$");
    ASSERT_TRUE(child.WaitForLine(listening, &match, 10000)) << child.out();
    uint16_t port = static_cast<uint16_t>(std::stoi(match[1].str()));
    ASSERT_NE(port, 0);

    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Send(RequestText("GET", "/", {"Host: 127.0.0.1"})));
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response));
    EXPECT_EQ(response.status, 200);
    EXPECT_NE(response.body.find("Corvane Filter"), std::string::npos);

    child.Signal(sig);
    EXPECT_EQ(child.Wait(15000), 0) << "signal " << sig << "\n" << child.err();
    EXPECT_NE(child.out().find("cvie proxy stopped"), std::string::npos) << child.out();
    EXPECT_TRUE(child.err().empty()) << child.err();
  }
}

TEST_F(CvieProxyCommand, RefusesBadArgumentsWithOneLine) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--listen", "nowhere:80"},
       "cvie: listen address 'nowhere' is not a numeric IP address"},
      {{"--listen", "127.0.0.1:99999"},
       "cvie: listen port must be a number from 0 to 65535"},
      {{"--workers", "0"}, "cvie: --workers must be a number from 1 to 1024"},
      {{"--workers", "5000"}, "cvie: --workers must be a number from 1 to 1024"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {exe(), "proxy"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Child child;
    ASSERT_TRUE(child.Spawn(args));
    EXPECT_EQ(child.Wait(10000), 1) << c.message;
    EXPECT_EQ(child.err(), std::string(c.message) + "\n");
  }
}

TEST_F(CvieProxyCommand, ReportsAPortInUse) {
  testing::RunningProxy taken;
  ASSERT_TRUE(taken.Start());
  Child child;
  std::string where = "127.0.0.1:" + std::to_string(taken.port());
  ASSERT_TRUE(child.Spawn({exe(), "proxy", "--listen", where}));
  EXPECT_EQ(child.Wait(10000), 1);
  EXPECT_EQ(child.err().rfind("cvie: cannot listen on " + where + ": ", 0), 0u)
      << child.err();
}

}  // namespace
}  // namespace cvie::proxy
