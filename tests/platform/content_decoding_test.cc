// ContentDecoder: codings undone in the right order, a piece at a time and
// never more than the caller's room, broken data reported.

#include "platform/content_decoding.h"

#include <zlib.h>
#include <zstd.h>

#include <string>

#include <gtest/gtest.h>

namespace cvie {
namespace {

std::string Zlib(const std::string& text, int window_bits) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}
std::string Gzip(const std::string& text) { return Zlib(text, 15 + 16); }
std::string Zstd(const std::string& text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  out.resize(ZSTD_compress(&out[0], out.size(), text.data(), text.size(), 3));
  return out;
}

// Feeds `encoded` in pieces of `piece` bytes and drains with `room` bytes
// at a time, as the HTTP binding does; the decoded text, or "ERROR: ...".
std::string DecodeAll(platform::ContentDecoder* d, const std::string& encoded,
                      size_t piece, size_t room) {
  std::string out;
  std::string buffer(room, '\0');
  for (size_t at = 0; at < encoded.size(); at += piece) {
    d->Feed(encoded.data() + at, std::min(piece, encoded.size() - at));
    while (size_t made = d->Drain(&buffer[0], room)) {
      EXPECT_LE(made, room);
      out.append(buffer, 0, made);
    }
    if (d->failed()) return "ERROR: " + d->error();
    EXPECT_FALSE(d->HasPending());
  }
  return out;
}

TEST(ContentDecoding, UndoesEachCodingAndChainsInReverseOrder) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  struct Case {
    const char* header;
    std::string encoded;
  };
  const Case kCases[] = {
      {"gzip", Gzip(text)},
      {"x-gzip", Gzip(text)},
      {"deflate", Zlib(text, 15)},
      {"deflate", Zlib(text, -15)},  // raw deflate, as some servers send
      {"deflate, gzip", Gzip(Zlib(text, 15))},
      {"identity, GZIP", Gzip(text)},
  };
  for (const Case& c : kCases) {
    std::string error;
    auto decoder = platform::ContentDecoder::ForEncoding(c.header, &error);
    ASSERT_TRUE(decoder) << c.header << ": " << error;
    std::string out = DecodeAll(decoder.get(), c.encoded, 1000, 777);
    EXPECT_TRUE(out == text) << c.header << ": " << out.substr(0, 60);
  }
}

TEST(ContentDecoding, NoDecoderForIdentityAndAnErrorForUnknownCodings) {
  std::string error;
  EXPECT_FALSE(platform::ContentDecoder::ForEncoding("identity", &error));
  EXPECT_EQ(error, "");
  EXPECT_FALSE(platform::ContentDecoder::ForEncoding("gzip, compress", &error));
  EXPECT_EQ(error, "unknown content coding \"compress\"");
}

TEST(ContentDecoding, HoldsBackWhatDoesNotFitUntilDrained) {
  const std::string text(8 << 20, 'z');  // 8 MiB from a few KiB
  const std::string encoded = Gzip(text);
  std::string error;
  auto decoder = platform::ContentDecoder::ForEncoding("gzip", &error);
  ASSERT_TRUE(decoder);
  decoder->Feed(encoded.data(), encoded.size());
  char buffer[4096];
  EXPECT_EQ(decoder->Drain(buffer, sizeof buffer), sizeof buffer);
  EXPECT_TRUE(decoder->HasPending());
  size_t total = sizeof buffer;
  while (size_t made = decoder->Drain(buffer, sizeof buffer)) total += made;
  EXPECT_EQ(total, text.size());
  EXPECT_FALSE(decoder->HasPending());
  // Bytes after the end of the stream are ignored.
  decoder->Feed("trailing", 8);
  EXPECT_EQ(decoder->Drain(buffer, sizeof buffer), 0u);
  EXPECT_FALSE(decoder->failed());
}

TEST(ContentDecoding, BrokenDataIsReported) {
  std::string encoded = Gzip(std::string(100000, 'q') + "tail");
  encoded[12] ^= 0x55;
  encoded[13] ^= 0x55;
  std::string error;
  auto decoder = platform::ContentDecoder::ForEncoding("gzip", &error);
  ASSERT_TRUE(decoder);
  std::string out = DecodeAll(decoder.get(), encoded, 4096, 4096);
  EXPECT_EQ(out.rfind("ERROR: ", 0), 0u) << out.substr(0, 80);
  EXPECT_TRUE(decoder->failed());
  EXPECT_FALSE(decoder->HasPending());
}

TEST(ContentDecoding, CompleteOnlyOnceEveryCodedStreamEnded) {
  const std::string text(50000, 'w');
  struct Case {
    const char* header;
    std::string encoded;
    bool complete;
  };
  const std::string gzip = Gzip(text), zstd = Zstd(text);
  const Case kCases[] = {
      {"gzip", gzip, true},
      {"gzip", gzip.substr(0, gzip.size() - 4), false},
      {"deflate", Zlib(text, 15), true},
      {"deflate, gzip", Gzip(Zlib(text, 15)), true},
      {"deflate, gzip", Gzip(Zlib(text, 15).substr(0, 20)), false},
      {"zstd", zstd, true},
      {"zstd", zstd + Zstd("second frame"), true},
      {"zstd", zstd.substr(0, zstd.size() - 1), false},
      {"zstd", zstd + Zstd("second frame").substr(0, 5), false},
  };
  for (const Case& c : kCases) {
    std::string error;
    auto decoder = platform::ContentDecoder::ForEncoding(c.header, &error);
    ASSERT_TRUE(decoder) << c.header;
    EXPECT_FALSE(decoder->Complete()) << c.header << ": nothing fed yet";
    DecodeAll(decoder.get(), c.encoded, 999, 4096);
    EXPECT_EQ(decoder->Complete(), c.complete) << c.header << " of " << c.encoded.size();
  }
}

}  // namespace
}  // namespace cvie
