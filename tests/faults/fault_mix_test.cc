// A thousand faulty requests of every kind through `cvie proxy` (a child
// process, watched through /proc): origins that cut pages short, lie about
// lengths, break chunks, answer garbage, or stay silent while the client
// gives up; HTML pages past the filtering limit with and without a length,
// some cut half way; large binary bodies; clients that leave mid-response.
// Afterwards the proxy still serves, no fetch is left open at the origin, and
// the proxy's descriptors, threads and resident memory are back where they
// were.

#include <signal.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "anyhtml/easy_buffer.h"
#include "common/test_support.h"
#include "fault_origin.h"
#include "proxy_child.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

constexpr uint64_t kMiB = 1u << 20;

const char kBinaryHead[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
const char kHtmlHead[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";

// How a kind of request is made and what the client must see.
enum class Check {
  kAnswered,         // any answer: a 502/504, or a response cut short
  kWholePattern,     // 200, complete, exactly `bytes` of the page pattern
  kLeaveMidway,      // the client leaves after some bytes (nothing to check)
  kLeaveWaiting,     // the client gives up on a silent origin after 150 ms
  kNotWholeOrError,  // not a complete 200 (the origin cut it)
};

struct MixCase {
  const char* name;
  FaultScript script;
  Check check;
  uint64_t bytes = 0;
};

std::string HtmlCutAfter(uint64_t bytes) {
  std::string body;
  while (body.size() < bytes) body += AdPagePiece();
  char size_line[32];
  snprintf(size_line, sizeof size_line, "%zx\r\n", body.size());
  return std::string(kHtmlHead) + "Transfer-Encoding: chunked\r\n\r\n" + size_line +
         body + "\r\n";  // and no last chunk
}

std::vector<MixCase> Cases() {
  const uint64_t kPast = 1 * kMiB + 256 * 1024;  // past the 1 MiB limit
  return {
      {"closes mid-page",
       {std::string(kBinaryHead) + "Content-Length: 1000\r\n\r\n" + std::string(100, 'x'),
        AfterSend::kClose},
       Check::kAnswered},
      {"declares less than it sends",
       {std::string(kBinaryHead) + "Content-Length: 5\r\n\r\nhello world, and more",
        AfterSend::kClose},
       Check::kAnswered},
      {"bad chunk size",
       {std::string(kBinaryHead) +
            "Transfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n",
        AfterSend::kClose},
       Check::kAnswered},
      {"chunk larger than the data, then close",
       {std::string(kBinaryHead) + "Transfer-Encoding: chunked\r\n\r\n400\r\nshort",
        AfterSend::kClose},
       Check::kAnswered},
      {"garbage instead of a status line",
       {"\x01\x02 this is not HTTP\r\n\r\n", AfterSend::kClose},
       Check::kAnswered},
      {"closes before answering", {"", AfterSend::kClose}, Check::kAnswered},
      {"HTML page cut half way",
       {std::string(kHtmlHead) + "Content-Length: 50000\r\n\r\n<html><body><p>partial",
        AfterSend::kClose},
       Check::kNotWholeOrError},
      {"HTML past the limit, chunked",
       StreamScript("text/html", kPast, Framing::kChunked), Check::kWholePattern, kPast},
      {"HTML past the limit, ended by close",
       StreamScript("text/html", kPast, Framing::kClose), Check::kWholePattern, kPast},
      {"HTML past the limit, with a length",
       StreamScript("text/html", kPast, Framing::kLength), Check::kWholePattern, kPast},
      {"HTML past the limit, cut by the origin",
       {HtmlCutAfter(kPast), AfterSend::kClose},
       Check::kNotWholeOrError},
      {"binary 2 MiB",
       StreamScript("application/octet-stream", 2 * kMiB, Framing::kLength),
       Check::kWholePattern, 2 * kMiB},
      {"client leaves a binary body",
       StreamScript("application/octet-stream", 8 * kMiB, Framing::kLength),
       Check::kLeaveMidway},
      {"client leaves an HTML page past the limit",
       StreamScript("text/html", 4 * kMiB, Framing::kChunked), Check::kLeaveMidway},
      {"client gives up on an origin that never answers",
       {"", AfterSend::kHold},
       Check::kLeaveWaiting},
      {"client gives up on an HTML page that stalls",
       {std::string(kHtmlHead) + "Content-Length: 5000\r\n\r\n<html><body>only this",
        AfterSend::kHold},
       Check::kLeaveWaiting},
  };
}

std::string PathOf(const char* name) {
  std::string path = name;
  for (char& ch : path) ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '-';
  return "/" + path;
}

// Resident memory the proxy may keep after the run, over its level after a
// first round: allocator caches and pools of a process that served pages of
// up to a few MiB on several threads at once, plus the page blocks its
// workers keep for reuse by design (bounded for the whole process).
constexpr long kRssToleranceKiB =
    8 * 1024 + static_cast<long>(CEasyBuffer::kKeptProcessBytes / 1024);

TEST(FaultMix, AThousandFaultyRequestsLeaveNoDescriptorThreadOrMemoryBehind) {
  cvie::testing::ScopedCvieRoot root;
  std::string update = "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
  setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
  FaultOrigin origin;
  const std::vector<MixCase> cases = Cases();
  for (const MixCase& c : cases) origin.Set(PathOf(c.name), c.script);
  const std::string base = "http://127.0.0.1:" + std::to_string(origin.port());

  ProxyChild proxy;
  std::string error;
  ASSERT_TRUE(proxy.Start({"--max-filtered-mib", "1"},
                          (root.path() / "proxy.err").string(), &error))
      << error;

  int failures = 0;
  auto run = [&](const MixCase& c) {
    const std::string url = base + PathOf(c.name);
    if (c.check == Check::kLeaveMidway) {
      if (!GetAndLeave(proxy.port(), url, 256 * 1024, 20000)) ++failures;
      return;
    }
    if (c.check == Check::kLeaveWaiting) {
      GetAndLeave(proxy.port(), url, 1, 150);  // no answer is expected
      return;
    }
    StreamedResponse r;
    bool answered =
        StreamGet(proxy.port(), url, {}, 20000,
                  c.check == Check::kWholePattern ? &AdPagePiece() : nullptr, &r);
    bool ok = answered;
    switch (c.check) {
      case Check::kAnswered:
        ok = ok && (!r.complete || r.status == 200 || r.status == 502 || r.status == 504);
        break;
      case Check::kWholePattern:
        ok = ok && r.status == 200 && r.complete && r.body_bytes == c.bytes &&
             r.pattern_ok;
        break;
      case Check::kNotWholeOrError:
        ok = ok && !(r.status == 200 && r.complete);
        break;
      case Check::kLeaveMidway:
      case Check::kLeaveWaiting:
        break;
    }
    if (!ok) {
      ++failures;
      ADD_FAILURE() << c.name << ": status " << r.status << ", complete " << r.complete
                    << ", " << r.body_bytes << " bytes\n"
                    << r.head;
    }
  };

  // A first round, so that pools, caches and lazily made threads exist.
  for (const MixCase& c : cases) run(c);
  ASSERT_EQ(failures, 0);
  ASSERT_EQ(SettlesTo([&] { return static_cast<long>(origin.open_connections()); }, 0),
            0);
  const pid_t pid = proxy.pid();
  const int fds = ProcessFdCount(pid);
  const int threads = ProcessThreadCount(pid);
  const long rss = ProcessRssKiB(pid);
  ASSERT_GT(fds, 0);
  ASSERT_GT(rss, 0);

  int requests = 0;
  long rss_peak = rss;
  for (size_t i = 0; requests < 1000; ++i, ++requests) {
    run(cases[i % cases.size()]);
    if (i % 50 == 0) rss_peak = std::max(rss_peak, ProcessRssKiB(pid));
    if (failures > 10) break;
  }
  EXPECT_EQ(failures, 0);

  StreamedResponse fine;
  ASSERT_TRUE(StreamGet(proxy.port(), base + "/fine", {}, 20000, nullptr, &fine));
  EXPECT_EQ(fine.status, 200);
  EXPECT_EQ(fine.body_prefix, "fine");
  EXPECT_EQ(SettlesTo([&] { return static_cast<long>(origin.open_connections()); }, 0), 0)
      << "the proxy left origin connections open";
  const long fds_after =
      SettlesTo([&] { return static_cast<long>(ProcessFdCount(pid)); }, fds);
  const long threads_after =
      SettlesTo([&] { return static_cast<long>(ProcessThreadCount(pid)); }, threads);
  const long rss_after =
      SettlesTo([&] { return ProcessRssKiB(pid); }, rss + kRssToleranceKiB);
  printf(
      "[ figures ] %d faulty requests: fds %d -> %ld, threads %d -> %ld, RSS %ld KiB "
      "-> %ld KiB (peak %ld KiB)\n",
      requests, fds, fds_after, threads, threads_after, rss, rss_after, rss_peak);
  EXPECT_LE(fds_after, fds) << "descriptors leaked";
  EXPECT_LE(threads_after, threads) << "threads leaked";
  if (ResidentMemoryIsMeaningful()) {
    EXPECT_LT(rss_after - rss, kRssToleranceKiB) << "resident memory grew";
  }
  EXPECT_EQ(proxy.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace cvie::faults
