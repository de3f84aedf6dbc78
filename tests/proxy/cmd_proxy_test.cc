// `cvie proxy` as a user runs it: it prints where it listens, serves, and stops
// cleanly on SIGTERM or SIGINT.

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/child_process.h"
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
    EXPECT_EQ(child.Wait(10000), 1) << c.message;
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

}  // namespace
}  // namespace cvie::proxy
