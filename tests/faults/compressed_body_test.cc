// Compressed answers through `cvie proxy`: the binding decodes gzip,
// deflate, brotli and zstd before the road sees the body. Decoded bodies larger than
// the binding's read-ahead (1 MiB) must flow on at once, for pages that are
// filtered and for everything else; and a small answer that decodes to a
// gibibyte must cost the proxy no more than its own limits, whatever the
// ratio.

#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <brotli/encode.h>
#include <curl/curl.h>
#include <zlib.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "case_name.h"
#include "common/test_support.h"
#include "fault_origin.h"
#include "proxy_child.h"
#include "proxy_test_support.h"

namespace cvie::faults {
namespace {

constexpr uint64_t kMiB = 1u << 20;

enum class Coding { kGzip, kDeflate, kBrotli, kZstd };

const char* CodingName(Coding c) {
  switch (c) {
    case Coding::kGzip:
      return "gzip";
    case Coding::kDeflate:
      return "deflate";
    case Coding::kBrotli:
      return "br";
    case Coding::kZstd:
      return "zstd";
  }
  return "?";
}

// True when this libcurl decodes `c`.
bool CurlDecodes(Coding c) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  switch (c) {
    case Coding::kGzip:
    case Coding::kDeflate:
      return info->features & CURL_VERSION_LIBZ;
    case Coding::kBrotli:
      return info->features & CURL_VERSION_BROTLI;
    case Coding::kZstd:
      return info->features & CURL_VERSION_ZSTD;
  }
  return false;
}

// `bytes` of `piece` repeated (a shorter last copy), made piece by piece.
template <typename Sink>
void RepeatInto(const std::string& piece, uint64_t bytes, Sink sink) {
  for (uint64_t at = 0; at < bytes; at += piece.size()) {
    sink(piece.data(), static_cast<size_t>(std::min<uint64_t>(piece.size(), bytes - at)));
  }
}

std::string ZlibCompress(const std::string& piece, uint64_t bytes, int window_bits) {
  z_stream z{};
  deflateInit2(&z, 1, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  std::string out;
  char buffer[65536];
  auto pump = [&](const char* data, size_t size, int flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = static_cast<uInt>(size);
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = sizeof buffer;
      deflate(&z, flush);
      out.append(buffer, sizeof buffer - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && z.avail_in > 0));
  };
  RepeatInto(piece, bytes, [&](const char* d, size_t n) { pump(d, n, Z_NO_FLUSH); });
  pump(nullptr, 0, Z_FINISH);
  deflateEnd(&z);
  return out;
}

std::string BrotliCompress(const std::string& piece, uint64_t bytes) {
  BrotliEncoderState* s = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
  BrotliEncoderSetParameter(s, BROTLI_PARAM_QUALITY, 1);
  std::string out;
  auto pump = [&](const char* data, size_t size, BrotliEncoderOperation op) {
    const uint8_t* in = reinterpret_cast<const uint8_t*>(data);
    size_t in_left = size;
    do {
      size_t out_left = 0;
      BrotliEncoderCompressStream(s, op, &in_left, &in, &out_left, nullptr, nullptr);
      size_t produced = 0;
      const uint8_t* made = BrotliEncoderTakeOutput(s, &produced);
      out.append(reinterpret_cast<const char*>(made), produced);
    } while (in_left > 0 || BrotliEncoderHasMoreOutput(s) ||
             (op == BROTLI_OPERATION_FINISH && !BrotliEncoderIsFinished(s)));
  };
  RepeatInto(piece, bytes,
             [&](const char* d, size_t n) { pump(d, n, BROTLI_OPERATION_PROCESS); });
  pump(nullptr, 0, BROTLI_OPERATION_FINISH);
  BrotliEncoderDestroyInstance(s);
  return out;
}

// A zstd frame of stored blocks (the format's uncompressed block type): no
// zstd library is needed to make one, and libcurl's decoder reads it like
// any other frame. With `rle`, each block is one byte repeated 128 KiB
// instead: four bytes that decode to 128 KiB.
std::string ZstdFrame(const std::string& piece, uint64_t bytes, bool rle) {
  std::string out("\x28\xB5\x2F\xFD", 4);
  out += '\0';  // frame header: no content size, no checksum, a window byte follows
  out += static_cast<char>(0x58);  // window of 8 MiB (exponent 13)
  constexpr uint32_t kBlock = 128 * 1024;
  auto put_block = [&](uint32_t size, bool last, const std::string& data) {
    uint32_t header = (size << 3) | ((rle ? 1u : 0u) << 1) | (last ? 1u : 0u);
    out += static_cast<char>(header & 0xFF);
    out += static_cast<char>((header >> 8) & 0xFF);
    out += static_cast<char>((header >> 16) & 0xFF);
    out += data;
  };
  for (uint64_t at = 0; at < bytes; at += kBlock) {
    uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(kBlock, bytes - at));
    std::string data(rle ? 1 : size, 'a');
    for (uint32_t i = 0; !rle && i < size;) {
      size_t from = (at + i) % piece.size();
      size_t n = std::min<size_t>(piece.size() - from, size - i);
      memcpy(&data[i], piece.data() + from, n);
      i += static_cast<uint32_t>(n);
    }
    put_block(size, at + size >= bytes, data);
  }
  return out;
}

std::string Encode(Coding c, const std::string& piece, uint64_t bytes) {
  switch (c) {
    case Coding::kGzip:
      return ZlibCompress(piece, bytes, 15 + 16);
    case Coding::kDeflate:
      return ZlibCompress(piece, bytes, 15);
    case Coding::kBrotli:
      return BrotliCompress(piece, bytes);
    case Coding::kZstd:
      return ZstdFrame(piece, bytes, false);
  }
  return "";
}

// The answer with its length, the connection then kept open (though the
// answer says it will close, so that it is not used again): the transfer
// ends by the length alone, as one on a live connection does.
FaultScript EncodedAnswer(Coding c, const std::string& content_type,
                          const std::string& encoded) {
  return FaultScript("HTTP/1.1 200 OK\r\nContent-Type: " + content_type +
                         "\r\nContent-Encoding: " + CodingName(c) +
                         "\r\nContent-Length: " + std::to_string(encoded.size()) +
                         "\r\nConnection: close\r\n\r\n" + encoded,
                     AfterSend::kHold);
}

class CompressedBody : public ::testing::TestWithParam<Coding> {
 protected:
  void SetUp() override {
    if (!CurlDecodes(GetParam())) {
      GTEST_SKIP() << "this libcurl does not decode it";
    }
    std::string update =
        "http://127.0.0.1:" + std::to_string(proxy::testing::UnusedPort());
    setenv("CVIE_UPDATE_SERVER", update.c_str(), 1);
    std::string error;
    ASSERT_TRUE(proxy_.Start({}, (root_.path() / "proxy.err").string(), &error)) << error;
  }
  void TearDown() override {
    if (proxy_.port() != 0) {
      EXPECT_EQ(proxy_.Stop(SIGTERM), 0);
    }
    if (HasFailure()) {
      std::string log;
      cvie::testing::ReadFile(root_.path() / "proxy.err", &log);
      printf("proxy's stderr:\n%s\n", log.substr(0, 4000).c_str());
    }
  }
  std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(origin_.port()) + path;
  }

  cvie::testing::ScopedCvieRoot root_;
  FaultOrigin origin_;
  ProxyChild proxy_;
};

// Decoded bodies of 1, 4 and 64 MiB arrive whole and at once: HTML under the
// filtering limit (32 MiB) filtered, HTML over it and everything else byte
// for byte. Before, a body past 1 MiB decoded waited for the idle timeout.
TEST_P(CompressedBody, LargeDecodedBodiesArriveWholeWithoutStalling) {
  struct Case {
    const char* content_type;
    uint64_t bytes;
    bool filtered;
  };
  const Case kCases[] = {
      {"application/javascript", 1 * kMiB, false},  {"text/html", 1 * kMiB, true},
      {"application/javascript", 4 * kMiB, false},  {"text/html", 4 * kMiB, true},
      {"application/javascript", 64 * kMiB, false}, {"text/html", 64 * kMiB, false},
  };
  const Coding coding = GetParam();
  std::string encoded;
  uint64_t encoded_bytes = 0;
  for (const Case& c : kCases) {
    if (encoded_bytes != c.bytes) {
      encoded = Encode(coding, AdPagePiece(), c.bytes);
      encoded_bytes = c.bytes;
    }
    std::string name = std::string(CodingName(coding)) + " " + c.content_type + " " +
                       std::to_string(c.bytes / kMiB) + " MiB";
    std::string path = "/" + std::to_string(c.bytes) + "/" + c.content_type;
    origin_.Set(path, EncodedAnswer(coding, c.content_type, encoded));
    StreamedResponse r;
    // Each read may wait 5 s (more in a sanitizer build): far less than the
    // proxy's idle timeout of 60 s that a stalled transfer waits out.
    ASSERT_TRUE(StreamGet(proxy_.port(), Url(path), {}, 5000 * SlowBuildFactor(),
                          c.filtered ? nullptr : &AdPagePiece(), &r))
        << name;
    EXPECT_EQ(r.status, 200) << name << "\n" << r.head;
    EXPECT_TRUE(r.complete) << name << ": cut short after " << r.body_bytes << " bytes\n"
                            << r.head;
    EXPECT_EQ(r.head.find("Content-Encoding"), std::string::npos) << name;
    if (c.filtered) {
      EXPECT_EQ(r.body_prefix.find("/ads/top.gif"), std::string::npos) << name;
      EXPECT_NE(r.body_prefix.find("Story text"), std::string::npos) << name;
      // Ads removed: shorter, but most of the page is story text.
      EXPECT_GT(r.body_bytes, c.bytes / 4) << name;
    } else {
      EXPECT_EQ(r.body_bytes, c.bytes) << name;
      EXPECT_TRUE(r.pattern_ok) << name << ": bytes changed on the way";
    }
    printf("[ figures ] %s in %.2f s\n", name.c_str(), r.seconds);
  }
}

// A small answer that decodes to a gibibyte (an eighth of it in a sanitizer
// build) streams through in pieces: the proxy's memory grows by no more than
// the filtering limit (a page is collected up to 32 MiB before it is found too
// large) and its buffers, whatever the ratio. Before, libcurl decoded each
// paused piece whole and ran out of memory: pages failed with 502 and scripts
// were cut at 1 MiB.
TEST_P(CompressedBody, BombCostsNoMoreThanTheProxysOwnLimits) {
  const uint64_t kBytes = ResidentMemoryIsMeaningful() ? 1024 * kMiB : 128 * kMiB;
  // As for a 1 GiB plain page: the filtering limit (32 MiB) held twice while
  // a page is found too large, plus pieces in flight.
  constexpr long kRssGrowthLimitKiB = 100 * 1024;
  const Coding coding = GetParam();
  const std::string piece(4096, 'a');
  const std::string encoded = coding == Coding::kZstd ? ZstdFrame(piece, kBytes, true)
                                                      : Encode(coding, piece, kBytes);
  ASSERT_LT(encoded.size(), kBytes / 100);
  for (const char* content_type : {"text/html", "application/javascript"}) {
    std::string name = std::string(CodingName(coding)) + " bomb as " + content_type;
    std::string path = std::string("/bomb/") + content_type;
    origin_.Set(path, EncodedAnswer(coding, content_type, encoded));
    const long baseline = ProcessRssKiB(proxy_.pid());
    ASSERT_GT(baseline, 0);
    std::atomic<bool> done{false};
    std::atomic<long> peak{baseline};
    std::thread sampler([&] {
      while (!done) {
        long rss = ProcessRssKiB(proxy_.pid());
        if (rss > peak) peak = rss;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    StreamedResponse r;
    bool answered =
        StreamGet(proxy_.port(), Url(path), {}, 10000 * SlowBuildFactor(), &piece, &r);
    done = true;
    sampler.join();
    ASSERT_TRUE(answered) << name;
    EXPECT_EQ(r.status, 200) << name << "\n" << r.head;
    EXPECT_TRUE(r.complete) << name << ": cut short after " << r.body_bytes << " bytes";
    EXPECT_EQ(r.body_bytes, kBytes) << name;
    EXPECT_TRUE(r.pattern_ok) << name << ": bytes changed on the way";
    if (ResidentMemoryIsMeaningful()) {
      EXPECT_LT(peak - baseline, kRssGrowthLimitKiB)
          << name << ": RSS grew from " << baseline << " KiB to " << peak << " KiB";
    }
    printf(
        "[ figures ] %s: %zu bytes -> %llu MiB in %.1f s, proxy RSS %ld -> peak %ld "
        "KiB\n",
        name.c_str(), encoded.size(), static_cast<unsigned long long>(kBytes / kMiB),
        r.seconds, baseline, peak.load());
  }
}

// Broken compressed data fails the answer rather than passing garbage on as
// a page or a script.
TEST_P(CompressedBody, BrokenCompressedDataFailsTheAnswer) {
  const Coding coding = GetParam();
  std::string encoded = Encode(coding, AdPagePiece(), 256 * 1024);
  // Damage the middle of the stream (a stored zstd block would pass damage
  // through, so its block header is hit instead).
  size_t at = coding == Coding::kZstd ? 6 : encoded.size() / 2;
  for (size_t i = at; i < at + 16 && i < encoded.size(); ++i) encoded[i] ^= 0x5A;
  for (const char* content_type : {"text/html", "application/javascript"}) {
    std::string name = std::string(CodingName(coding)) + " broken as " + content_type;
    std::string path = std::string("/broken/") + content_type;
    origin_.Set(path, EncodedAnswer(coding, content_type, encoded));
    StreamedResponse r;
    ASSERT_TRUE(StreamGet(proxy_.port(), Url(path), {}, 5000 * SlowBuildFactor(),
                          &AdPagePiece(), &r))
        << name;
    // Either refused whole, or cut short: never a complete answer of garbage.
    EXPECT_FALSE(r.status == 200 && r.complete && r.body_bytes == 256 * 1024 &&
                 r.pattern_ok)
        << name << "\n"
        << r.head;
    EXPECT_FALSE(r.status == 200 && r.complete) << name << "\n" << r.head;
  }
}

INSTANTIATE_TEST_SUITE_P(Codings, CompressedBody,
                         ::testing::Values(Coding::kGzip, Coding::kDeflate,
                                           Coding::kBrotli, Coding::kZstd),
                         [](const ::testing::TestParamInfo<Coding>& info) {
                           return std::string(info.param == Coding::kBrotli
                                                  ? "brotli"
                                                  : CodingName(info.param));
                         });

}  // namespace
}  // namespace cvie::faults
