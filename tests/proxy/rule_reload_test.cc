// `cvie proxy` and a rule file installed while it runs: pages filtered after
// the install use the new rules, without a restart.

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
using testing::RunningProxy;
using testing::TestClient;

constexpr char kPage[] =
    "<html><head></head><body><p>news</p>"
    "<img src=\"/reload-test/banner.gif\" id=\"ad\"></body></html>";

// The page through the proxy; empty when it could not be fetched.
std::string FetchThrough(uint16_t proxy_port, uint16_t origin_port) {
  TestClient client;
  if (!client.Connect(proxy_port)) return "";
  std::string target = "http://127.0.0.1:" + std::to_string(origin_port) + "/page";
  if (!client.Send(RequestText("GET", target,
                               {"Host: 127.0.0.1:" + std::to_string(origin_port)}))) {
    return "";
  }
  ParsedResponse response;
  if (!client.ReadResponse(&response) || response.status != 200) return "";
  return response.body;
}

// The image was blocked: dropped from the page, or hidden by its style.
bool ImageHidden(const std::string& page) {
  if (page.find("news") == std::string::npos) return false;
  size_t img = page.find("<img");
  return img == std::string::npos || page.find("display", img) < page.find('>', img);
}

TEST(ProxyRuleReload, PagesUseARuleFileInstalledWhileTheProxyRuns) {
  const std::string exe = cvie::testing::CvieExecutable().string();
  if (!std::filesystem::exists(exe)) GTEST_SKIP() << "build the cvie program first";

  RunningProxy origin;  // plays the web site: its "panel" answers direct requests
  origin.panel.set_respond([](const ProxyRequest&, ResponseWriter& out) {
    if (out.Start(200, "",
                  {{"Content-Type", "text/html"},
                   {"Content-Length", std::to_string(sizeof kPage - 1)}})) {
      out.Write(kPage);
      out.Finish();
    }
  });
  ASSERT_TRUE(origin.Start());

  ChildProcess child;
  ASSERT_TRUE(child.Spawn({exe, "proxy", "--listen", "127.0.0.1:0", "--workers", "2",
                           "--no-update-check", "--lists-refresh-ms", "100"}));
  std::smatch match;
  std::regex listening("^cvie proxy listening on http://127\\.0\\.0\\.1:([0-9]+)/$");
  ASSERT_TRUE(child.WaitForLine(listening, &match, 15000)) << child.out() << child.err();
  const uint16_t proxy = static_cast<uint16_t>(std::stoi(match[1].str()));

  std::string before = FetchThrough(proxy, origin.port());
  ASSERT_NE(before.find("news"), std::string::npos) << before;
  EXPECT_FALSE(ImageHidden(before)) << before;

  // A rule file that blocks the image, installed as an update would.
  const std::filesystem::path dir = cvie::testing::TestRoot() / "reload";
  std::filesystem::create_directories(dir);
  cvie::testing::WriteFile(dir / "rules.txt", "/reload-test/banner$image\n");
  std::string out;
  ASSERT_EQ(
      cvie::testing::RunCommand(exe + " rules encipher " + (dir / "rules.txt").string() +
                                    " " + (dir / "cvie.rle").string() + " --version 9.1",
                                &out, true),
      0)
      << out;
  ASSERT_EQ(cvie::testing::RunCommand(
                exe + " rules install " + (dir / "cvie.rle").string(), &out, true),
            0)
      << out;

  std::string after;
  for (int i = 0; i < 100 && !ImageHidden(after); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    after = FetchThrough(proxy, origin.port());
  }
  EXPECT_TRUE(ImageHidden(after)) << after;

  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(15000), 0) << child.err();
  origin.Stop();
}

}  // namespace
}  // namespace cvie::proxy
