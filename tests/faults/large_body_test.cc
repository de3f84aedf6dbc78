// Very large bodies through the proxy. A non-HTML body streams through at any
// size; an HTML page too big to hold for filtering goes through unfiltered
// and whole, whether it declares its length or not, and the proxy's memory
// stays bounded while it passes.

#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "case_name.h"
#include "common/test_support.h"
#include "fault_origin.h"
#include "ie/mime_filter.h"
#include "platform/text.h"
#include "platform/urlmon_binding.h"
#include "proxy/proxy_server.h"
#include "proxy_child.h"
#include "proxy_test_support.h"
#include "road/browser_window.h"
#include "road/plugin_host.h"
#include "road/road_handler.h"

namespace cvie::faults {
namespace {

constexpr uint64_t kMiB = 1u << 20;

const char* FramingName(Framing f) {
  switch (f) {
    case Framing::kLength:
      return "with a length";
    case Framing::kChunked:
      return "chunked";
    case Framing::kClose:
      return "ended by close";
  }
  return "?";
}

// ---- The road in this process, with a small filtering limit -----------------

class LargePageRoad : public ::testing::Test {
 protected:
  static constexpr size_t kLimit = 256 * 1024;

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(host_.Open(false, &error)) << error;
    road::RoadOptions options;
    options.max_filtered_bytes = kLimit;
    options.idle_timeout_ms = 10000;
    handler_ = std::make_unique<road::RoadHandler>(&window_, options);
    proxy::ProxyServerOptions server_options;
    server_options.address = "127.0.0.1";
    server_options.port = 0;
    server_options.workers = 4;
    server_ =
        std::make_unique<proxy::ProxyServer>(server_options, handler_.get(), &panel_);
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void TearDown() override {
    if (server_) server_->Stop();
    server_.reset();
    host_.Close();
  }
  std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(origin_.port()) + path;
  }

  FaultOrigin origin_;
  road::PluginHost host_;
  road::BrowserWindow window_;
  proxy::testing::ScriptedHandler<proxy::PanelHandler> panel_;
  std::unique_ptr<road::RoadHandler> handler_;
  std::unique_ptr<proxy::ProxyServer> server_;
};

struct PageCase {
  const char* name;
  uint64_t bytes;
  Framing framing;
  bool filtered;  // false: the page must arrive exactly as the origin sent it
};

TEST_F(LargePageRoad, PagesPastTheLimitArriveWholeAndUnfilteredSmallerOnesFiltered) {
  const PageCase kCases[] = {
      {"4 MiB chunked, no length", 4 * kMiB, Framing::kChunked, false},
      {"4 MiB ended by close, no length", 4 * kMiB, Framing::kClose, false},
      {"4 MiB declaring its length", 4 * kMiB, Framing::kLength, false},
      {"64 KiB past the limit, chunked", kLimit + 64 * 1024, Framing::kChunked, false},
      {"100 KiB chunked", 100 * 1024, Framing::kChunked, true},
      {"100 KiB with a length", 100 * 1024, Framing::kLength, true},
  };
  for (const PageCase& c : kCases) {
    std::string path =
        std::string("/page-") + FramingName(c.framing) + "-" + std::to_string(c.bytes);
    for (char& ch : path) ch = ch == ' ' ? '-' : ch;
    origin_.Set(path, StreamScript("text/html", c.bytes, c.framing));
    StreamedResponse r;
    ASSERT_TRUE(StreamGet(server_->port(), Url(path), {}, 20000,
                          c.filtered ? nullptr : &AdPagePiece(), &r))
        << c.name;
    EXPECT_EQ(r.status, 200) << c.name << "\n" << r.head;
    EXPECT_TRUE(r.complete) << c.name << ": the response was cut short\n" << r.head;
    if (c.filtered) {
      EXPECT_EQ(r.body_prefix.find("/ads/top.gif"), std::string::npos)
          << c.name << ": a page under the limit must be filtered";
      EXPECT_NE(r.body_prefix.find("Story text"), std::string::npos) << c.name;
    } else {
      EXPECT_EQ(r.body_bytes, c.bytes) << c.name;
      EXPECT_TRUE(r.pattern_ok) << c.name << ": the page was changed or reordered";
    }
  }
}

TEST_F(LargePageRoad, OriginFailingAfterTheLimitCutsTheResponseAndTheRoadKeepsServing) {
  // Chunked HTML that stops half way: past the limit the browser already has
  // part of the page, so the response must end visibly short.
  FaultScript script = StreamScript("text/html", 1 * kMiB, Framing::kChunked);
  script.bytes =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
      "Transfer-Encoding: chunked\r\n\r\n";
  std::string body;
  while (body.size() < kLimit + 64 * 1024) body += AdPagePiece();
  char size_line[32];
  snprintf(size_line, sizeof size_line, "%zx\r\n", body.size());
  script.bytes += size_line + body + "\r\n";
  script.after = AfterSend::kClose;  // no last chunk
  origin_.Set("/cut", script);
  StreamedResponse r;
  ASSERT_TRUE(StreamGet(server_->port(), Url("/cut"), {}, 20000, &AdPagePiece(), &r));
  EXPECT_FALSE(r.complete && r.status == 200)
      << "a page cut by the origin was delivered as complete";
  EXPECT_TRUE(r.pattern_ok);

  origin_.Set("/small", StreamScript("text/html", 8192, Framing::kLength));
  StreamedResponse again;
  ASSERT_TRUE(StreamGet(server_->port(), Url("/small"), {}, 20000, nullptr, &again));
  EXPECT_EQ(again.status, 200);
  EXPECT_TRUE(again.complete);
}

// The filter itself, read through a binding on this thread: past the page
// limit it hands on the page unedited and whole, also when the source hands
// it out in small pieces (each read may then find nothing new yet); without
// a limit it edits the whole page.
TEST_F(LargePageRoad, FilterPassesOnAPageOverItsLimitWholeAndUnedited) {
  struct Case {
    const char* name;
    size_t limit;
    size_t piece_size;
    bool edited;
  };
  const Case kFilterCases[] = {
      {"64 KiB limit", 64 * 1024, 0, false},
      {"64 KiB limit, source in 1000-byte pieces", 64 * 1024, 1000, false},
      {"limit larger than the page", 4 * kMiB, 0, true},
      {"no limit", 0, 0, true},
  };
  origin_.Set("/one-mib", StreamScript("text/html", 1 * kMiB, Framing::kChunked));
  for (const Case& c : kFilterCases) {
    BindRequest request;
    request.page_limit = c.limit;
    request.url = platform::ToWide(Url("/one-mib"));
    request.piece_size = c.piece_size;
    std::unique_ptr<Binding> binding = Binding::Bind(request);
    std::string body;
    HRESULT hr = binding->ReadAll(&body);
    ASSERT_EQ(hr, S_OK) << c.name << ": " << binding->error_text();
    EXPECT_TRUE(binding->filtered()) << c.name;
    if (c.edited) {
      EXPECT_EQ(body.find("/ads/top.gif"), std::string::npos) << c.name;
      EXPECT_NE(body.find("Story text"), std::string::npos) << c.name;
    } else {
      EXPECT_EQ(body.size(), 1 * kMiB) << c.name;
      EXPECT_TRUE(MatchesPattern(AdPagePiece(), 0, body.data(), body.size())) << c.name;
    }
  }
}

// ---- `cvie proxy` as a child, 1 GiB bodies ------------------------------------

struct HugeCase {
  const char* name;
  const char* content_type;
  Framing framing;
};

// Test names and failure messages show the case by its name.
void PrintTo(const HugeCase& c, std::ostream* os) { *os << c.name; }

class HugeBody : public ::testing::TestWithParam<HugeCase> {};

// Resident memory the proxy may gain while a 1 GiB body passes: the HTML
// road holds at most the filtering limit (32 MiB by default) twice, plus
// pieces in flight; a leak or a whole-body buffer would be hundreds of MiB.
constexpr long kRssGrowthLimitKiB = 100 * 1024;

TEST_P(HugeBody, OneGibibytePassesWholeWithBoundedMemory) {
  const HugeCase& c = GetParam();
  cvie::testing::ScopedCvieRoot root;
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  FaultOrigin origin;
  const uint64_t kBytes = 1024 * kMiB;
  origin.Set("/huge", StreamScript(c.content_type, kBytes, c.framing));
  origin.Set("/warm", StreamScript(c.content_type, 2 * kMiB, c.framing));

  ProxyChild proxy;
  std::string error;
  ASSERT_TRUE(proxy.Start({}, (root.path() / "proxy.err").string(), &error)) << error;
  std::string base = "http://127.0.0.1:" + std::to_string(origin.port());
  StreamedResponse warm;
  ASSERT_TRUE(StreamGet(proxy.port(), base + "/warm", {}, 20000, nullptr, &warm));
  ASSERT_EQ(warm.status, 200);
  const long baseline = ProcessRssKiB(proxy.pid());
  ASSERT_GT(baseline, 0);

  std::atomic<bool> done{false};
  std::atomic<long> peak{baseline};
  std::thread sampler([&] {
    while (!done) {
      long rss = ProcessRssKiB(proxy.pid());
      if (rss > peak) peak = rss;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  StreamedResponse r;
  bool answered = StreamGet(proxy.port(), base + "/huge", {}, 30000 * SlowBuildFactor(),
                            &AdPagePiece(), &r);
  done = true;
  sampler.join();

  ASSERT_TRUE(answered) << c.name;
  EXPECT_EQ(r.status, 200) << c.name << "\n" << r.head;
  EXPECT_EQ(r.body_bytes, kBytes) << c.name;
  EXPECT_TRUE(r.complete) << c.name;
  EXPECT_TRUE(r.pattern_ok) << c.name << ": bytes changed on the way";
  if (ResidentMemoryIsMeaningful()) {
    EXPECT_LT(peak - baseline, kRssGrowthLimitKiB)
        << c.name << ": RSS grew from " << baseline << " KiB to " << peak << " KiB";
  }
  printf(
      "[ figures ] %s: 1 GiB in %.1f s (%.0f MiB/s), proxy RSS %ld KiB -> peak %ld "
      "KiB\n",
      c.name, r.seconds, 1024.0 / r.seconds, baseline, peak.load());
  // Still serving afterwards.
  StreamedResponse after;
  ASSERT_TRUE(StreamGet(proxy.port(), base + "/warm", {}, 20000, nullptr, &after));
  EXPECT_EQ(after.status, 200) << c.name;
  EXPECT_EQ(proxy.Stop(SIGTERM), 0) << c.name;
}

const HugeCase kHugeCases[] = {
    {"binary with a length", "application/octet-stream", Framing::kLength},
    {"HTML chunked", "text/html", Framing::kChunked},
    {"HTML ended by close", "text/html; charset=utf-8", Framing::kClose},
};

INSTANTIATE_TEST_SUITE_P(Bodies, HugeBody, ::testing::ValuesIn(kHugeCases),
                         CaseTestName<HugeCase>);

}  // namespace
}  // namespace cvie::faults
