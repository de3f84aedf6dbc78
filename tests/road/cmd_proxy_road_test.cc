// `cvie proxy` as a user runs it: it opens its window (installing the bundled
// rules into an empty data folder), filters pages from a loopback origin,
// and stops cleanly on SIGTERM or SIGINT.

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/child_process.h"
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
    cvie::testing::ChildProcess proxy_process;
    std::string error;
    uint16_t port = cvie::testing::StartCvieProxy(&proxy_process, {}, &error);
    ASSERT_NE(port, 0) << "signal " << sig << ": " << error;
    // The bundled rule file was installed into the empty data folder.
    bool installed = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path()))
      installed |= entry.path().filename() == "cvie.rle";
    EXPECT_TRUE(installed) << "signal " << sig;

    TestClient client;
    ASSERT_TRUE(client.Connect(port));
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
