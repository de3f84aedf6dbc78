// `cvie proxy` as a user runs it: it opens its window (installing the bundled
// rules into an empty data folder), filters pages from a loopback origin,
// and stops cleanly on SIGTERM or SIGINT.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "origin_server.h"
#include "proxy_test_support.h"

namespace cvie::road {
namespace {

using proxy::testing::ParsedResponse;
using proxy::testing::RequestText;
using proxy::testing::TestClient;
using testing::OriginReply;
using testing::OriginServer;

// `cvie proxy` in a child process, stdout and stderr captured.
class ProxyProcess {
 public:
  bool Start(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {cvie::testing::CvieExecutable().string(), "proxy",
                                     "--listen", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
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
    // The first line says where it listens.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char c[256];
      ssize_t n = read(out_, c, sizeof c);
      if (n <= 0) break;
      line.append(c, static_cast<size_t>(n));
    }
    stdout_ = line;
    std::smatch m;
    if (!std::regex_search(line, m,
                           std::regex("listening on http://127\\.0\\.0\\.1:(\\d+)/")))
      return false;
    port_ = static_cast<uint16_t>(std::stoi(m[1]));
    return true;
  }

  // Sends `sig`, waits for the exit; the exit status, or -1 on timeout.
  int Stop(int sig) {
    kill(pid_, sig);
    for (int i = 0; i < 300; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        Drain(out_, &stdout_);
        Drain(err_, &stderr_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

  ~ProxyProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  uint16_t port() const { return port_; }
  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  static void Drain(int fd, std::string* into) {
    char c[4096];
    ssize_t n;
    while ((n = read(fd, c, sizeof c)) > 0) into->append(c, static_cast<size_t>(n));
  }
  pid_t pid_ = -1;
  bool reaped_ = false;
  int out_ = -1, err_ = -1;
  uint16_t port_ = 0;
  std::string stdout_, stderr_;
};

TEST(CmdProxyRoad, FiltersPagesAndStopsCleanlyOnEachSignal) {
  OriginServer origin;
  OriginReply page;
  page.headers = {{"Content-Type", "text/html"}};
  page.body =
      "<html><body><p>Story text</p><img src=\"/ads/top.gif\"><p>More</p></body></html>";
  origin.Set("/story.html", page);
  // The silent update check must not leave the machine.
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);

  for (int sig : {SIGTERM, SIGINT}) {
    cvie::testing::ScopedCvieRoot root;
    ProxyProcess proxy_process;
    ASSERT_TRUE(proxy_process.Start({}))
        << "signal " << sig << ": " << proxy_process.out();
    // The bundled rule file was installed into the empty data folder.
    bool installed = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path()))
      installed |= entry.path().filename() == "cvie.rle";
    EXPECT_TRUE(installed) << "signal " << sig;

    TestClient client;
    ASSERT_TRUE(client.Connect(proxy_process.port()));
    ASSERT_TRUE(
        client.Send(RequestText("GET", origin.Url("/story.html"),
                                {"Host: 127.0.0.1", "Sec-Fetch-Dest: document"})));
    ParsedResponse r;
    ASSERT_TRUE(client.ReadResponse(&r));
    EXPECT_EQ(r.status, 200) << "signal " << sig;
    EXPECT_EQ(r.body.find("/ads/top.gif"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("Story text"), std::string::npos) << r.body;
    client.Close();

    EXPECT_EQ(proxy_process.Stop(sig), 0)
        << "signal " << sig << ": " << proxy_process.err();
    EXPECT_NE(proxy_process.out().find("cvie proxy stopped"), std::string::npos)
        << proxy_process.out();
  }
}

}  // namespace
}  // namespace cvie::road
