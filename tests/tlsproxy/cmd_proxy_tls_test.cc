// `cvie proxy` with the user's HTTPS switch, as a user runs it: after `cvie ca
// create` and `cvie https on` secure pages come out filtered and signed by the
// local CA; with the switch off, or on without a CA (one line says so), secure
// sites are tunnelled untouched.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "proxy_test_support.h"
#include "tls_test_support.h"

namespace cvie::tlstest {
namespace {

// `cvie proxy --listen 127.0.0.1:0` in a child process, output captured.
class ProxyProcess {
 public:
  bool Start() {
    std::vector<std::string> args = {cvie::testing::CvieExecutable().string(), "proxy",
                                     "--listen", "127.0.0.1:0", "--no-update-check"};
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
    fcntl(err_, F_SETFL, O_NONBLOCK);
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
    std::smatch m;
    if (!std::regex_search(line, m,
                           std::regex("listening on http://127\\.0\\.0\\.1:(\\d+)/")))
      return false;
    port_ = static_cast<uint16_t>(std::stoi(m[1]));
    return true;
  }

  // What the proxy wrote on stderr so far.
  const std::string& err() {
    char c[4096];
    ssize_t n;
    while ((n = read(err_, c, sizeof c)) > 0) err_text_.append(c, static_cast<size_t>(n));
    return err_text_;
  }

  int Stop() {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

  ~ProxyProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  uint16_t port_ = 0;
  std::string err_text_;
};

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

    ProxyProcess proxy;
    ASSERT_TRUE(proxy.Start()) << c.name;
    std::string url =
        "https://localhost:" + std::to_string(origin.port()) + "/story.html";
    int requests = origin.requests();
    CurlResult r = CurlGet(url, proxy.port(), c.filtered ? ca_file : origin_ca_file);
    EXPECT_EQ(r.code, 0) << c.name << ": " << r.error;
    EXPECT_EQ(r.status, 200) << c.name;
    EXPECT_EQ(r.body.find("/ads/top.gif") == std::string::npos, c.filtered)
        << c.name << ": " << r.body;
    EXPECT_NE(r.body.find("Story text"), std::string::npos) << c.name << ": " << r.body;
    EXPECT_EQ(origin.requests(), requests + 1) << c.name;
    EXPECT_EQ(proxy.Stop(), 0) << c.name << ": " << proxy.err();
    EXPECT_NE(proxy.err().find(c.logged), std::string::npos)
        << c.name << ": " << proxy.err();
  }
  unsetenv("CVIE_UPSTREAM_CA_FILE");
}

}  // namespace
}  // namespace cvie::tlstest
