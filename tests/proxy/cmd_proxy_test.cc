// `cvie proxy` as a user runs it: it prints where it listens, serves, and stops
// cleanly on SIGTERM or SIGINT.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/child_process.h"
#include "common/loopback.h"
#include "common/test_support.h"
#include "proxy_test_support.h"

namespace cvie::proxy {
namespace {

using cvie::testing::ChildProcess;
using testing::ParsedResponse;
using testing::RequestText;
using testing::TestClient;

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
    ChildProcess child;
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
    ChildProcess child;
    ASSERT_TRUE(child.Spawn(args));
    EXPECT_EQ(child.Wait(10000), 2) << c.message;
    EXPECT_EQ(child.err(), std::string(c.message) + "\n");
  }
}

TEST_F(CvieProxyCommand, ReportsAPortInUse) {
  testing::RunningProxy taken;
  ASSERT_TRUE(taken.Start());
  ChildProcess child;
  std::string where = "127.0.0.1:" + std::to_string(taken.port());
  ASSERT_TRUE(child.Spawn({exe(), "proxy", "--listen", where}));
  EXPECT_EQ(child.Wait(10000), 1);
  EXPECT_EQ(child.err().rfind("cvie: cannot listen on " + where + ": ", 0), 0u)
      << child.err();
}

// Points the update check at a loopback server that takes the connection and
// never answers, so the silent update check started with the window is still
// waiting for its version file (15 s at most) when the proxy ends.
class SilentUpdateServer {
 public:
  SilentUpdateServer() {
    uint16_t port = 0;
    fd_ = cvie::testing::ListenOnLoopback(&port);
    const char* old = getenv("CVIE_UPDATE_SERVER");
    if (old) previous_ = old;
    setenv("CVIE_UPDATE_SERVER", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
  }
  ~SilentUpdateServer() {
    setenv("CVIE_UPDATE_SERVER", previous_.c_str(), 1);
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string previous_;
};

// The proxy ends while its update check is under way: the worker is stopped
// before the objects it uses are destroyed, so the process ends cleanly and
// long before the check's own 15 s limit.
TEST_F(CvieProxyCommand, EndsCleanlyWhileTheUpdateCheckWaits) {
  SilentUpdateServer update;
  ASSERT_TRUE(update.ok());

  // A port in use: the command gives up right after the window opened, at
  // times while the worker is still setting up its download. Each attempt has
  // a folder of its own, so the rule file is installed first as on a new
  // machine.
  testing::RunningProxy taken;
  ASSERT_TRUE(taken.Start());
  std::string where = "127.0.0.1:" + std::to_string(taken.port());
  for (int attempt = 0; attempt < 40; ++attempt) {
    ChildProcess child;
    {
      cvie::testing::ScopedCvieRoot fresh;
      ASSERT_TRUE(child.Spawn({exe(), "proxy", "--listen", where}));
    }
    ASSERT_EQ(child.Wait(12000), 1) << "attempt " << attempt << "\n" << child.err();
    EXPECT_EQ(child.err().rfind("cvie: cannot listen on " + where + ": ", 0), 0u)
        << child.err();
  }

  // A stop signal while the check waits.
  ChildProcess child;
  ASSERT_TRUE(child.Spawn({exe(), "proxy", "--listen", "127.0.0.1:0"}));
  std::smatch match;
  ASSERT_TRUE(
      child.WaitForLine(std::regex("^cvie proxy listening on .*$"), &match, 10000))
      << child.out();
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(12000), 0) << child.err();
  EXPECT_NE(child.out().find("cvie proxy stopped"), std::string::npos) << child.out();
}

}  // namespace
}  // namespace cvie::proxy
