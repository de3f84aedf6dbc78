// `cvie proxy` with the user's HTTPS switch, as a user runs it: after `cvie ca
// create` and `cvie https on` secure pages come out filtered and signed by the
// local CA; with the switch off, or on without a CA (one line says so), secure
// sites are tunnelled untouched.

#include <signal.h>
#include <stdlib.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "common/child_process.h"
#include "common/test_support.h"
#include "proxy_test_support.h"
#include "tls_test_support.h"

namespace cvie::tlstest {
namespace {

const char kAdPage[] =
    "<html><body><p>Story text</p><img src=\"/ads/top.gif\"><p>More</p></body></html>";

TEST(CmdProxyTls, FiltersSecurePagesOnlyWhenSwitchedOnWithACa) {
  KeyAndCert origin_ca = MakeCa("Test Origin CA");
  std::string origin_ca_file =
      WritePem(cvie::testing::TestRoot() / "origin-ca.pem", origin_ca.CertPem());
  TlsOrigin origin(ServerContext(MakeLeaf(origin_ca, {"localhost", "127.0.0.1"})));
  origin.Set("/story.html", "text/html", kAdPage);
  setenv("CVIE_UPSTREAM_CA_FILE", origin_ca_file.c_str(), 1);
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  std::string cvie = cvie::testing::CvieExecutable().string();

  struct Case {
    const char* name;
    bool create_ca;
    const char* https;   // the argument of `cvie https`
    bool filtered;       // the page comes out filtered, signed by the local CA
    const char* logged;  // a line the proxy writes at the first secure site
  } cases[] = {
      {"on with a CA", true, "on", true, ""},
      {"off", true, "off", false, ""},
      {"on without a CA", false, "on", false, "local CA cannot be loaded"},
  };
  for (const Case& c : cases) {
    cvie::testing::ScopedCvieRoot root;
    std::string out, ca_file;
    if (c.create_ca) {
      ASSERT_EQ(cvie::testing::RunCommand(cvie + " ca create", &out, true), 0)
          << c.name << ": " << out;
      std::smatch m;
      ASSERT_TRUE(std::regex_search(out, m, std::regex("Certificate: (\\S+)"))) << out;
      ca_file = m[1];
    }
    ASSERT_EQ(cvie::testing::RunCommand(cvie + " https " + c.https, &out, true), 0)
        << c.name << ": " << out;

    cvie::testing::ChildProcess proxy;
    std::string error;
    uint16_t port = cvie::testing::StartCvieProxy(
        &proxy,
        {"--no-update-check", "--connect-ports", "443," + std::to_string(origin.port())},
        &error);
    ASSERT_NE(port, 0) << c.name << ": " << error;
    std::string url =
        "https://localhost:" + std::to_string(origin.port()) + "/story.html";
    int requests = origin.requests();
    CurlResult r = CurlGet(url, port, c.filtered ? ca_file : origin_ca_file);
    EXPECT_EQ(r.code, 0) << c.name << ": " << r.error;
    EXPECT_EQ(r.status, 200) << c.name;
    EXPECT_EQ(r.body.find("/ads/top.gif") == std::string::npos, c.filtered)
        << c.name << ": " << r.body;
    EXPECT_NE(r.body.find("Story text"), std::string::npos) << c.name << ": " << r.body;
    EXPECT_EQ(origin.requests(), requests + 1) << c.name;
    EXPECT_EQ(proxy.Stop(SIGTERM), 0) << c.name << ": " << proxy.err();
    EXPECT_NE(proxy.err().find(c.logged), std::string::npos)
        << c.name << ": " << proxy.err();
  }
  unsetenv("CVIE_UPSTREAM_CA_FILE");
}

}  // namespace
}  // namespace cvie::tlstest
