// The guided HTTPS setup: `cvie https status` in its three states, the control
// panel's "Secure sites" page creating the local CA and handing out its
// certificate, and the self-test address answered by the proxy only when it
// opens secure sites with a CA the client trusts.

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "common/child_process.h"
#include "common/test_support.h"
#include "lists/list_set.h"
#include "platform/text.h"
#include "proxy_test_support.h"
#include "tls_test_support.h"

namespace cvie::tlstest {
namespace {

using proxy::testing::ParsedResponse;
using proxy::testing::RequestText;
using proxy::testing::TestClient;

std::string Cvie() { return cvie::testing::CvieExecutable().string(); }

std::string RunCvie(const std::string& args) {
  std::string out;
  EXPECT_EQ(cvie::testing::RunCommand(Cvie() + " " + args, &out, true), 0) << out;
  return out;
}

TEST(SecureSites, StatusSaysHowSecureSitesAreTreated) {
  cvie::testing::ScopedCvieRoot root;
  EXPECT_NE(RunCvie("https status").find("Secure sites: tunnelled."), std::string::npos);
  std::filesystem::path lists = platform::ToNarrow(cvie::lists::ListsFolderPath());
  std::filesystem::create_directories(lists);
  cvie::testing::WriteFile(lists / "a.txt", "||ads.example^\n");
  EXPECT_NE(RunCvie("https status").find("Secure sites: host blocking only."),
            std::string::npos);
  RunCvie("ca create");
  RunCvie("https on");
  std::string out = RunCvie("https status");
  EXPECT_NE(out.find("Secure sites: filtered."), std::string::npos) << out;
  // The plain state line stays as it was.
  EXPECT_NE(out.find("\nHTTPS filtering is on.\n"), std::string::npos) << out;
  EXPECT_EQ(RunCvie("https"), "HTTPS filtering is on.\n");
}

ParsedResponse PanelRequest(uint16_t port, const std::string& method,
                            const std::string& path, const std::string& body = "") {
  TestClient client;
  ParsedResponse response;
  std::vector<std::string> headers = {"Host: 127.0.0.1:" + std::to_string(port)};
  if (!body.empty()) {
    headers.push_back("Content-Type: application/x-www-form-urlencoded");
    headers.push_back("Content-Length: " + std::to_string(body.size()));
  }
  EXPECT_TRUE(client.Connect(port));
  EXPECT_TRUE(client.Send(RequestText(method, path, headers, body)));
  EXPECT_TRUE(client.ReadResponse(&response));
  return response;
}

TEST(SecureSites, PanelCreatesTheCaAndTheSelfTestAnswersOnlyWhenTrusted) {
  cvie::testing::ScopedCvieRoot root;
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  cvie::testing::ChildProcess proxy;
  std::string error;
  uint16_t port = cvie::testing::StartCvieProxy(&proxy, {"--no-update-check"}, &error);
  ASSERT_NE(port, 0) << error;

  ParsedResponse page = PanelRequest(port, "GET", "/secure-sites");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("State: <span class=\"state\">tunnelled</span>"),
            std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("can impersonate any web site"), std::string::npos);
  EXPECT_NE(page.body.find("action=\"/local-ca\""), std::string::npos);
  EXPECT_EQ(PanelRequest(port, "GET", "/local-ca.pem").status, 404);

  // Without the panel's token nothing is created.
  EXPECT_EQ(PanelRequest(port, "POST", "/local-ca", "x=1").status, 403);
  ParsedResponse menu = PanelRequest(port, "GET", "/");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      menu.body, m, std::regex("name=\"cvie-token\" content=\"([0-9a-f]+)\"")));
  std::string token = m[1];
  ParsedResponse created = PanelRequest(port, "POST", "/local-ca", "token=" + token);
  EXPECT_EQ(created.status, 303);
  ParsedResponse pem = PanelRequest(port, "GET", "/local-ca.pem");
  ASSERT_EQ(pem.status, 200);
  EXPECT_EQ(pem.body.find("-----BEGIN CERTIFICATE-----"), 0u);
  EXPECT_EQ(pem.body.find("PRIVATE KEY"), std::string::npos);
  std::string ca_file = WritePem(root.path() / "trusted.pem", pem.body);
  page = PanelRequest(port, "GET", "/secure-sites");
  EXPECT_NE(page.body.find("Chromium: Settings"), std::string::npos);
  EXPECT_NE(page.body.find("href=\"/local-ca.pem\""), std::string::npos);

  // Secure sites still tunnelled: the self-test address reaches no one.
  CurlResult before = CurlGet("https://cvie-selftest.invalid/", port, ca_file);
  EXPECT_NE(before.code, 0) << before.body;

  // Switched on from the page: the proxy answers it, under the local CA.
  EXPECT_EQ(
      PanelRequest(port, "POST", "/https", "token=" + token + "&on=1&back=secure-sites")
          .status,
      303);
  CurlResult after;
  for (int i = 0; i < 50; ++i) {  // the switch is read every 2 s
    after = CurlGet("https://cvie-selftest.invalid/", port, ca_file);
    if (after.code == 0) break;
    usleep(100 * 1000);
  }
  EXPECT_EQ(after.code, 0) << after.error;
  EXPECT_EQ(after.status, 200);
  EXPECT_NE(after.body.find("this browser trusts the local CA"), std::string::npos);
  // A client that does not trust the CA sees no such answer.
  std::string other = WritePem(root.path() / "other.pem", MakeCa("Other").CertPem());
  EXPECT_NE(CurlGet("https://cvie-selftest.invalid/", port, other).code, 0);

  EXPECT_EQ(proxy.Stop(SIGTERM), 0) << proxy.err();
}

}  // namespace
}  // namespace cvie::tlstest
