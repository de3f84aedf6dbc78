// The rule file is replaced while the proxy filters pages: `cvie rules
// install` of other rule files, atomic renames of a new file over the
// installed one, even a broken file renamed into place. A running proxy keeps
// the rules in force until a good new file is loaded off the page path: no
// request fails, every page is filtered with one whole rule file (never a
// mix, never the broken one), the running proxy ends with the file installed
// last, and so does the next proxy.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "fault_origin.h"
#include "proxy_child.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

namespace fs = std::filesystem;

const char kPage[] =
    "<html><body><p>Story text</p>\n"
    "<img src=\"/ads/top.gif\" width=\"468\" height=\"60\">\n"
    "<img src=\"/zq-alpha/pic.gif\" width=\"468\" height=\"60\">\n"
    "<img src=\"/zq-beta/pic.gif\" width=\"468\" height=\"60\">\n"
    "<p>More</p></body></html>";

// Which of the three images a page still has.
struct Kept {
  bool ads, alpha, beta;
  bool operator==(const Kept& o) const {
    return ads == o.ads && alpha == o.alpha && beta == o.beta;
  }
};

Kept KeptIn(const std::string& body) {
  return {body.find("/ads/top.gif") != std::string::npos,
          body.find("/zq-alpha/") != std::string::npos,
          body.find("/zq-beta/") != std::string::npos};
}

std::string Describe(const Kept& k) {
  return std::string("ads ") + (k.ads ? "kept" : "removed") + ", alpha " +
         (k.alpha ? "kept" : "removed") + ", beta " + (k.beta ? "kept" : "removed");
}

int Cvie(const std::string& args, std::string* out) {
  return cvie::testing::RunCommand(cvie::testing::CvieExecutable().string() + " " + args,
                                   out, true);
}

TEST(RuleUpdate,
     ReplacingTheRuleFileUnderLoadFailsNoRequestAndTakesEffectWithoutRestart) {
  cvie::testing::ScopedCvieRoot root;
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  const fs::path work = root.path() / "work";
  fs::create_directories(work);
  cvie::testing::WriteFile(work / "alpha.txt", "! alpha list\n/zq-alpha/$image\n");
  cvie::testing::WriteFile(work / "beta.txt", "! beta list\n/zq-beta/$image\n");
  std::string out;
  for (const char* name : {"alpha", "beta"}) {
    ASSERT_EQ(Cvie(std::string("rules encipher ") + (work / name).string() + ".txt " +
                       (work / name).string() + ".rle --version 9.0",
                   &out),
              0)
        << out;
  }

  FaultOrigin origin;
  origin.Set("/story.html", WholeHtmlPage(kPage));
  const std::string url =
      "http://127.0.0.1:" + std::to_string(origin.port()) + "/story.html";

  // The proxy starts with the bundled rules: only the /ads/ image goes.
  ProxyChild proxy;
  std::string error;
  ASSERT_TRUE(proxy.Start({}, (root.path() / "proxy.err").string(), &error)) << error;
  const Kept bundled{false, true, true};
  const Kept alpha_only{true, false, true};
  const Kept beta_only{true, true, false};
  fs::path installed;
  for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
    if (entry.path().filename() == "cvie.rle") installed = entry.path();
  }
  ASSERT_FALSE(installed.empty()) << "no installed rule file";

  std::atomic<bool> stop{false};
  std::atomic<int> requests{0}, failed{0}, unexpected{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t) {
    clients.emplace_back([&] {
      while (!stop) {
        StreamedResponse r;
        bool answered = StreamGet(proxy.port(), url, {}, 20000, nullptr, &r);
        ++requests;
        if (!answered || r.status != 200 || !r.complete) {
          ++failed;
        } else if (const Kept k = KeptIn(r.body_prefix);
                   !(k == bundled || k == alpha_only || k == beta_only) ||
                   r.body_prefix.find("Story text") == std::string::npos) {
          ++unexpected;
        }
      }
    });
  }

  // Replace the file every way there is while the clients run.
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Cvie("rules install " + (work / "alpha.rle").string(), &out), 0) << out;
    fs::copy_file(work / "beta.rle", installed.string() + ".tmp",
                  fs::copy_options::overwrite_existing);
    fs::rename(installed.string() + ".tmp", installed);
    cvie::testing::WriteFile(installed.string() + ".tmp", "this is not a rule file\n");
    fs::rename(installed.string() + ".tmp", installed);
    EXPECT_NE(Cvie("rules install " + (work / "alpha.txt").string(), &out), 0)
        << "a plain text list must be refused: " << out;
  }
  EXPECT_EQ(Cvie("rules install " + (work / "beta.rle").string(), &out), 0) << out;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stop = true;
  for (std::thread& t : clients) t.join();

  printf("[ figures ] %d requests during the replacements\n", requests.load());
  EXPECT_GT(requests.load(), 0);
  // The running proxy takes the file installed last within a few seconds.
  Kept now{};
  for (int i = 0; i < 100; ++i) {
    StreamedResponse latest;
    if (StreamGet(proxy.port(), url, {}, 20000, nullptr, &latest))
      now = KeptIn(latest.body_prefix);
    if (now == beta_only) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(now == beta_only) << "the running proxy has " << Describe(now);
  EXPECT_EQ(failed.load(), 0) << "requests failed while the rule file was replaced";
  EXPECT_EQ(unexpected.load(), 0) << "pages filtered with no whole rule file";
  ASSERT_TRUE(proxy.running());
  ASSERT_EQ(proxy.Stop(SIGTERM), 0);

  // The next proxy filters with the file installed last: only beta goes.
  ProxyChild next;
  ASSERT_TRUE(next.Start({}, (root.path() / "proxy2.err").string(), &error)) << error;
  StreamedResponse r;
  ASSERT_TRUE(StreamGet(next.port(), url, {}, 20000, nullptr, &r));
  ASSERT_EQ(r.status, 200);
  EXPECT_TRUE(KeptIn(r.body_prefix) == beta_only)
      << "expected " << Describe(beta_only) << ", got " << Describe(KeptIn(r.body_prefix))
      << "\n"
      << r.body_prefix;
  EXPECT_EQ(next.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace cvie::faults
