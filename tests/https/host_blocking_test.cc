// `cvie proxy` refusing tunnels to the subscribed lists' advertising hosts:
// listed hosts and the names under them get 403, other hosts their tunnel;
// host-level exceptions and whitelisted hosts open, page-dependent rules
// block nothing, and a new list generation is taken without a restart.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/child_process.h"
#include "common/test_support.h"
#include "https/host_blocker.h"
#include "lists/list_set.h"
#include "platform/text.h"
#include "proxy/proxy_test_support.h"

namespace cvie::https {
namespace {

using cvie::proxy::testing::EchoServer;
using cvie::proxy::testing::ParsedResponse;
using cvie::proxy::testing::RequestText;
using cvie::proxy::testing::TestClient;
using cvie::testing::ChildProcess;

// Writes the list and a new generation, as the list updater does.
void InstallList(const std::string& text, int generation) {
  std::filesystem::path folder = platform::ToNarrow(lists::ListsFolderPath());
  std::filesystem::create_directories(folder);
  cvie::testing::WriteFile(folder / "0123456789abcdef.txt", text);
  cvie::testing::WriteFile(folder / "generation", std::to_string(generation) + "\n");
}

// The status of a CONNECT to host:port through the proxy; on 200, checks that
// bytes go through the tunnel.
int ConnectStatus(uint16_t proxy_port, const std::string& host, uint16_t port) {
  TestClient client;
  if (!client.Connect(proxy_port)) return -1;
  std::string target = host + ":" + std::to_string(port);
  if (!client.Send(RequestText("CONNECT", target, {"Host: " + target}))) return -1;
  ParsedResponse response;
  if (!client.ReadResponse(&response, /*head=*/true)) return -1;
  if (response.status == 200) {
    std::string echoed;
    if (!client.Send("ping") || !client.ReadExactly(4, &echoed) || echoed != "ping") {
      return -2;
    }
  }
  return response.status;
}

class HostBlocking : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(cvie::testing::CvieExecutable())) {
      GTEST_SKIP() << "build the cvie program first";
    }
  }
  uint16_t StartProxy(ChildProcess* child, uint16_t origin_port) {
    std::string exe = cvie::testing::CvieExecutable().string();
    EXPECT_TRUE(child->Spawn({exe, "proxy", "--listen", "127.0.0.1:0", "--workers", "2",
                              "--no-update-check", "--lists-refresh-ms", "100",
                              "--connect-ports", "443," + std::to_string(origin_port)}));
    std::smatch match;
    std::regex listening("^cvie proxy listening on http://127\\.0\\.0\\.1:([0-9]+)/$");
    if (!child->WaitForLine(listening, &match, 15000)) {
      ADD_FAILURE() << child->out() << child->err();
      return 0;
    }
    return static_cast<uint16_t>(std::stoi(match[1].str()));
  }
};

// With HTTPS filtering on, a listed host is refused before its connection
// would be opened with the local CA: inside it only pages are edited, so a
// script a page adds at run time would otherwise still reach the host.
TEST_F(HostBlocking, RefusesListedHostsWhenSecureSitesAreFilteredToo) {
  InstallList("! Title: Test ads\n||ads.example^\n", 1);
  const std::string exe = cvie::testing::CvieExecutable().string();
  std::string out;
  ASSERT_EQ(cvie::testing::RunCommand(exe + " ca create", &out, true), 0) << out;
  ASSERT_EQ(cvie::testing::RunCommand(exe + " https on", &out, true), 0) << out;
  EchoServer origin;
  ChildProcess child;
  uint16_t proxy = StartProxy(&child, origin.port());
  ASSERT_NE(proxy, 0);

  struct Case {
    const char* host;
    int status;  // 200: the proxy takes the connection to filter it
  } cases[] = {{"ads.example", 403}, {"cdn.ads.example", 403}, {"127.0.0.1", 200}};
  for (const Case& c : cases) {
    TestClient client;
    ASSERT_TRUE(client.Connect(proxy));
    const std::string target = std::string(c.host) + ":" + std::to_string(origin.port());
    ASSERT_TRUE(client.Send(RequestText("CONNECT", target, {"Host: " + target})));
    ParsedResponse response;
    ASSERT_TRUE(client.ReadResponse(&response, /*head=*/true)) << c.host;
    EXPECT_EQ(response.status, c.status) << c.host;
  }
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(15000), 0) << child.err();
}

TEST_F(HostBlocking, RefusesListedHostsAndOpensTheRest) {
  InstallList(
      "! Title: Test ads\n"
      "||ads.example^\n"
      "||localhost^\n"
      "@@||localhost^\n"
      "||127.0.0.1^$third-party\n"
      "||127.0.0.1^$domain=news.example\n",
      1);
  EchoServer origin;
  ChildProcess child;
  uint16_t proxy = StartProxy(&child, origin.port());
  ASSERT_NE(proxy, 0);

  struct Case {
    const char* host;
    int status;
  } cases[] = {
      {"ads.example", 403},      // listed
      {"cdn.ADS.example", 403},  // under a listed host
      {"127.0.0.1", 200},        // only page-dependent rules name it
      {"localhost", 200},        // a host-level exception undoes the block
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConnectStatus(proxy, c.host, origin.port()), c.status) << c.host;
  }
  // The refusal names the host in one line.
  TestClient client;
  ASSERT_TRUE(client.Connect(proxy));
  ASSERT_TRUE(client.Send(RequestText("CONNECT", "ads.example:443", {})));
  ParsedResponse response;
  ASSERT_TRUE(client.ReadResponse(&response));
  EXPECT_EQ(response.status, 403);
  EXPECT_EQ(response.body, "Blocked: ads.example is an advertising or tracking host.\n");

  // A new generation without the exception: localhost is refused now...
  InstallList("||localhost^\n", 2);
  int status = 0;
  for (int i = 0; i < 100 && status != 403; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    status = ConnectStatus(proxy, "localhost", origin.port());
  }
  EXPECT_EQ(status, 403);

  // ...until the user whitelists it.
  std::string out;
  ASSERT_EQ(cvie::testing::RunCommand(
                cvie::testing::CvieExecutable().string() + " whitelist add localhost",
                &out, true),
            0)
      << out;
  for (int i = 0; i < 100 && status != 200; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    status = ConnectStatus(proxy, "localhost", origin.port());
  }
  EXPECT_EQ(status, 200);

  // The panel's record of blocked pages lists the refused tunnel and its rule.
  TestClient panel;
  ASSERT_TRUE(panel.Connect(proxy));
  ASSERT_TRUE(panel.Send(
      RequestText("GET", "/blocked.json", {"Host: 127.0.0.1:" + std::to_string(proxy)})));
  ParsedResponse record;
  ASSERT_TRUE(panel.ReadResponse(&record));
  EXPECT_EQ(record.status, 200);
  EXPECT_NE(record.body.find("{\"kind\":\"secure-site\",\"text\":\"ads.example\","),
            std::string::npos)
      << record.body;
  EXPECT_NE(record.body.find("\"rule\":\"Test ads:2: ||ads.example^\""),
            std::string::npos)
      << record.body;

  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(15000), 0) << child.err();
  EXPECT_NE(child.err().find("blocked the secure site ads.example (Test ads:2: "
                             "||ads.example^)"),
            std::string::npos)
      << child.err();
}

// As the list updater writes: a whole new file renamed over the old one.
void ReplaceFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::path temp = path;
  temp += ".tmp";
  cvie::testing::WriteFile(temp, text);
  std::filesystem::rename(temp, path);
}

// Proxy threads asking while the blocker's thread reloads the lists and the
// whitelist: every answer comes from one whole generation.
TEST(HostBlockerConcurrency, AnswersWhileListsAreReloaded) {
  std::filesystem::path folder = cvie::testing::TestRoot() / "concurrent-lists";
  std::filesystem::create_directories(folder);
  ReplaceFile(folder / "a.txt", "||ads.example^\n");
  ReplaceFile(folder / "generation", "1");
  lists::CurrentListSet current;
  ASSERT_TRUE(current.ReloadIfChanged(platform::ToWide(folder.string())));
  lists::ListSetWatcher watcher(&current, platform::ToWide(folder.string()),
                                std::chrono::milliseconds(5));
  HostBlocker::Sources sources;
  sources.lists = [&current] { return current.Get(); };
  sources.whitelist = [] { return std::vector<std::wstring>{L"https://open.example/x"}; };
  sources.refresh = std::chrono::milliseconds(5);
  HostBlocker blocker(sources, nullptr);

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> askers;
  for (int t = 0; t < 4; ++t) {
    askers.emplace_back([&] {
      while (!done.load()) {
        if (!blocker.CheckTunnelHost("x.ads.example").blocked) ++wrong;
        if (blocker.CheckTunnelHost("open.example").blocked) ++wrong;
        if (blocker.CheckTunnelHost("a.open.example").blocked) ++wrong;
      }
    });
  }
  for (int g = 2; g < 40; ++g) {
    ReplaceFile(folder / "a.txt", "||ads.example^\n||open.example^\n||g" +
                                      std::to_string(g) + ".example^\n");
    ReplaceFile(folder / "generation", std::to_string(g));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool later = false;
  for (int i = 0; i < 200 && !later; ++i) {
    later = blocker.CheckTunnelHost("g39.example").blocked;
    if (!later) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  done = true;
  for (std::thread& t : askers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(later);
  proxy::HostVerdict verdict = blocker.CheckTunnelHost("ads.example");
  EXPECT_TRUE(verdict.blocked);
  EXPECT_EQ(verdict.list, "a.txt");
  EXPECT_EQ(verdict.line, 1u);
  EXPECT_EQ(blocker.status().lists, 1u);
}

}  // namespace
}  // namespace cvie::https
