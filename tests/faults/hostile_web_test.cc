// A web page turning `cvie proxy` against its user: a page on a name that
// resolves to the proxy (DNS rebinding) must not read the control panel or the
// log, a plain GET must not change what the panel shows, CONNECT must not
// reach any port of any host, and the files that hold secrets (the log of
// every address visited, the local CA's key) stay private.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "fault_origin.h"
#include "https/local_ca.h"
#include "platform/text.h"
#include "proxy_child.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

namespace fs = std::filesystem;
using proxy::testing::ParsedResponse;
using proxy::testing::RequestText;
using proxy::testing::TestClient;

// One request on a fresh connection; false when no response came.
bool Ask(uint16_t port, const std::string& request, ParsedResponse* response) {
  TestClient client(5000);
  return client.Connect(port) && client.Send(request) && client.ReadResponse(response);
}

// A proxy child under its own CVIE_ROOT, with its stderr kept.
class HostileWeb : public ::testing::Test {
 protected:
  void SetUp() override {
    update_ = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
    setenv("CVIE_UPDATE_SERVER", update_.c_str(), 1);
  }
  void StartProxy(std::vector<std::string> extra = {}) {
    std::string error;
    ASSERT_TRUE(proxy_.Start(extra, Err().string(), &error)) << error;
  }
  fs::path Err() const { return root_.path() / "proxy.err"; }
  std::string Cvie() const { return cvie::testing::CvieExecutable().string(); }
  std::string Own() const { return "127.0.0.1:" + std::to_string(proxy_.port()); }

  cvie::testing::ScopedCvieRoot root_;
  std::string update_;
  ProxyChild proxy_;
};

TEST_F(HostileWeb, PanelAndLogAnswerOnlyUnderTheProxysOwnName) {
  StartProxy();
  const std::string port = std::to_string(proxy_.port());
  struct Case {
    std::string host;
    bool served;
  } cases[] = {
      {"127.0.0.1:" + port, true},
      {"localhost:" + port, true},
      {"LOCALHOST:" + port, true},
      {"[::1]:" + port, true},
      {"127.0.0.1", true},  // no port: the name is still only ours
      {"evil.example:" + port, false},
      {"evil.example", false},
      {"127.0.0.1.evil.example:" + port, false},
      {"localhost.evil.example:" + port, false},
      {"127.0.0.1:" + std::to_string(proxy_.port() == 1 ? 2 : 1), false},
      {"", false},
  };
  for (const Case& c : cases) {
    for (const char* path : {"/", "/log", "/menu.json"}) {
      ParsedResponse r;
      ASSERT_TRUE(Ask(proxy_.port(), RequestText("GET", path, {"Host: " + c.host}), &r))
          << c.host << path;
      if (c.served) {
        EXPECT_EQ(r.status, 200) << c.host << path;
      } else {
        EXPECT_TRUE(r.status == 421 || r.status == 403 || r.status == 400)
            << c.host << path << ": " << r.status;
        EXPECT_EQ(r.body.find("cvie-token"), std::string::npos) << c.host << path;
        EXPECT_EQ(r.body.find("Corvane"), std::string::npos) << c.host << path;
      }
    }
  }
  // A POST under a foreign name is refused before the token is even looked at.
  ParsedResponse menu;
  ASSERT_TRUE(Ask(proxy_.port(), RequestText("GET", "/", {"Host: " + Own()}), &menu));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      menu.body, m, std::regex("name=\"cvie-token\" content=\"([0-9a-f]+)\"")));
  std::string form = "token=" + m[1].str() + "&url=http://moved.example/";
  ParsedResponse post;
  ASSERT_TRUE(Ask(proxy_.port(),
                  RequestText("POST", "/location",
                              {"Host: evil.example:" + port,
                               "Content-Type: application/x-www-form-urlencoded",
                               "Content-Length: " + std::to_string(form.size())},
                              form),
                  &post));
  EXPECT_EQ(post.status, 421);
  ParsedResponse after;
  ASSERT_TRUE(
      Ask(proxy_.port(), RequestText("GET", "/menu.json", {"Host: " + Own()}), &after));
  EXPECT_EQ(after.body.find("moved.example"), std::string::npos) << after.body;
  EXPECT_EQ(proxy_.Stop(SIGTERM), 0);
}

TEST_F(HostileWeb, OnlyAPostWithTheTokenChangesThePanelsLocation) {
  StartProxy();
  auto location = [&] {
    ParsedResponse r;
    EXPECT_TRUE(
        Ask(proxy_.port(), RequestText("GET", "/menu.json", {"Host: " + Own()}), &r));
    return r.body;
  };
  ParsedResponse get;
  ASSERT_TRUE(
      Ask(proxy_.port(),
          RequestText("GET", "/?url=http%3A%2F%2Fby-get.example%2F", {"Host: " + Own()}),
          &get));
  EXPECT_EQ(get.status, 200);
  EXPECT_EQ(location().find("by-get.example"), std::string::npos) << location();

  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      get.body, m, std::regex("name=\"cvie-token\" content=\"([0-9a-f]+)\"")));
  for (const std::string& token : {std::string("wrong"), m[1].str()}) {
    std::string form = "token=" + token + "&url=http%3A%2F%2Fby-post.example%2F";
    ParsedResponse post;
    ASSERT_TRUE(Ask(proxy_.port(),
                    RequestText("POST", "/location",
                                {"Host: " + Own(), "Accept: application/json",
                                 "Content-Type: application/x-www-form-urlencoded",
                                 "Content-Length: " + std::to_string(form.size())},
                                form),
                    &post));
    bool good = token != "wrong";
    EXPECT_EQ(post.status, good ? 200 : 403) << token;
    EXPECT_EQ(location().find("by-post.example") != std::string::npos, good) << token;
  }
  EXPECT_EQ(proxy_.Stop(SIGTERM), 0);
}

TEST_F(HostileWeb, ConnectReachesOnlyTheAllowedPorts) {
  proxy::testing::EchoServer echo;
  const std::string echo_at = "127.0.0.1:" + std::to_string(echo.port());
  struct Case {
    std::vector<std::string> args;
    std::string target;
    int status;
  } cases[] = {
      {{}, echo_at, 403},
      {{}, "127.0.0.1:22", 403},
      {{}, "localhost:" + std::to_string(echo.port()), 403},
      {{"--connect-ports", "443," + std::to_string(echo.port())}, echo_at, 200},
      {{"--connect-ports", "443," + std::to_string(echo.port())}, "127.0.0.1:8443", 403},
  };
  for (const Case& c : cases) {
    ProxyChild proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start(c.args, Err().string(), &error)) << error;
    TestClient client(5000);
    ASSERT_TRUE(client.Connect(proxy.port()));
    ASSERT_TRUE(client.Send(RequestText("CONNECT", c.target, {"Host: " + c.target})));
    if (c.status == 200) {
      std::string established;
      ASSERT_TRUE(client.ReadExactly(39, &established)) << c.target;
      EXPECT_EQ(established.substr(0, 12), "HTTP/1.1 200") << established;
      ASSERT_TRUE(client.Send("ping"));
      std::string pong;
      ASSERT_TRUE(client.ReadExactly(4, &pong));
      EXPECT_EQ(pong, "ping");
    } else {
      ParsedResponse r;
      ASSERT_TRUE(client.ReadResponse(&r)) << c.target;
      EXPECT_EQ(r.status, c.status) << c.target;
      EXPECT_TRUE(client.ServerClosed()) << c.target;
    }
    client.Close();
    EXPECT_EQ(proxy.Stop(SIGTERM), 0);
  }
  // A list that is not one of ports is refused at start.
  for (const char* bad : {"", "0", "443,", "65536", "https", "443;8443"}) {
    std::string out;
    EXPECT_NE(cvie::testing::RunCommand(Cvie() +
                                            " proxy --no-update-check --listen "
                                            "127.0.0.1:0 --connect-ports '" +
                                            bad + "'",
                                        &out, true),
              0)
        << bad;
    EXPECT_NE(out.find("--connect-ports"), std::string::npos) << bad << ": " << out;
  }
}

TEST_F(HostileWeb, TheLogOfVisitedAddressesIsPrivate) {
  std::string out;
  ASSERT_EQ(
      cvie::testing::RunCommand(Cvie() + " options set EnableLogging 1", &out, true), 0)
      << out;
  const fs::path log = root_.path() / "Documents" / "Corvane" / "log1.txt";
  FaultOrigin origin;
  origin.Set("/a.html", WholeHtmlPage("<p>a</p>"));
  const std::string url = "http://127.0.0.1:" + std::to_string(origin.port()) + "/a.html";
  // First made by the proxy, then found open to others and narrowed.
  for (bool existed : {false, true}) {
    if (existed) {
      ASSERT_TRUE(fs::exists(log));
      ASSERT_EQ(chmod(log.c_str(), 0644), 0);
    } else {
      std::error_code ec;
      fs::remove(log, ec);
    }
    ProxyChild proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start({}, Err().string(), &error)) << error;
    StreamedResponse r;
    ASSERT_TRUE(
        StreamGet(proxy.port(), url, {"Sec-Fetch-Dest: document"}, 10000, nullptr, &r));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(proxy.Stop(SIGTERM), 0);
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0) << log;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "existed: " << existed;
    std::string text;
    ASSERT_TRUE(cvie::testing::ReadFile(log, &text));
    EXPECT_NE(text.find("/a.html"), std::string::npos) << text;
  }
}

TEST_F(HostileWeb, ACaKeyOthersCanReadIsNotUsed) {
  std::string out;
  ASSERT_EQ(
      cvie::testing::RunCommand(Cvie() + " options set EnableLogging 1", &out, true), 0)
      << out;
  ASSERT_EQ(cvie::testing::RunCommand(Cvie() + " ca create", &out, true), 0) << out;
  ASSERT_EQ(cvie::testing::RunCommand(Cvie() + " https on", &out, true), 0) << out;
  const std::string key = platform::ToNarrow(https::LocalCaKeyPath());
  struct stat st;
  ASSERT_EQ(stat(key.c_str(), &st), 0);
  ASSERT_EQ(st.st_mode & 077, 0u) << "cvie ca create makes a private key";

  // Nothing listens on `closed`: a tunnel to it fails (502), while an
  // inspected CONNECT is answered at once, before any upstream connection.
  const std::string closed = "127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  const std::vector<std::string> args = {"--connect-ports",
                                         "443," + closed.substr(closed.find(':') + 1)};
  auto connect_status = [&](uint16_t port) {
    TestClient client(5000);
    EXPECT_TRUE(client.Connect(port));
    EXPECT_TRUE(client.Send(RequestText("CONNECT", closed, {"Host: " + closed})));
    ParsedResponse r;
    EXPECT_TRUE(client.ReadResponse(&r, true));
    return r.status;
  };
  {
    ProxyChild proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start(args, Err().string(), &error)) << error;
    EXPECT_EQ(connect_status(proxy.port()), 200) << "a private key is used";
    EXPECT_EQ(proxy.Stop(SIGTERM), 0);
  }
  for (mode_t mode : {0644, 0640, 0604, 0660}) {
    ASSERT_EQ(chmod(key.c_str(), mode), 0);
    ProxyChild proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start(args, Err().string(), &error)) << error;
    EXPECT_EQ(connect_status(proxy.port()), 502) << "tunnelled, mode " << mode;
    const std::string own = "127.0.0.1:" + std::to_string(proxy.port());
    ParsedResponse panel;
    ASSERT_TRUE(Ask(proxy.port(), RequestText("GET", "/", {"Host: " + own}), &panel));
    EXPECT_NE(panel.body.find("local CA key"), std::string::npos) << mode;
    EXPECT_EQ(proxy.Stop(SIGTERM), 0);
    std::string err;
    ASSERT_TRUE(cvie::testing::ReadFile(Err(), &err));
    EXPECT_NE(err.find("local CA key"), std::string::npos) << mode << ": " << err;
    std::string log;
    ASSERT_TRUE(cvie::testing::ReadFile(
        root_.path() / "Documents" / "Corvane" / "log1.txt", &log));
    EXPECT_NE(log.find("local CA key"), std::string::npos) << mode;
  }
}

}  // namespace
}  // namespace cvie::faults
