// The block cipher and the body checksum against values computed by a separate
// implementation of both (the check string's CRC is the published value).

#include "rules/rule_cipher.h"

#include <string.h>

#include <algorithm>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace cvie {
namespace {

std::string Hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

struct ChecksumCase {
  const char* name;
  std::string data;
  uint32_t value;
  const char* text;
};

TEST(RuleChecksum, MatchesKnownValues) {
  const ChecksumCase kCases[] = {
      {"empty", "", 0xFFFFFFFFu, "4294967295"},
      {"check string", "123456789", 0x765E7680u, "1985902208"},
      {"one letter", "a", 1469785311u, "1469785311"},
      {"one zero byte", std::string(1, '\0'), 0xFFFFFFFFu, "4294967295"},
      {"header-like text", "!CVR rules\n", 1083116720u, "1083116720"},
  };
  for (const ChecksumCase& c : kCases) {
    RuleChecksum sum;
    sum.Update(c.data.data(), c.data.size());
    EXPECT_EQ(sum.Value(), c.value) << c.name;
    EXPECT_EQ(ChecksumText(sum.Value()), c.text) << c.name;
  }
}

TEST(RuleChecksum, SameValueWhateverTheChunking) {
  std::string data;
  std::mt19937 random(7);
  for (int i = 0; i < 10000; ++i) data += static_cast<char>(random());
  RuleChecksum whole;
  whole.Update(data.data(), data.size());
  for (size_t chunk : {1u, 7u, 8u, 4096u, 9999u}) {
    RuleChecksum pieces;
    for (size_t at = 0; at < data.size(); at += chunk) {
      pieces.Update(data.data() + at, std::min(chunk, data.size() - at));
    }
    EXPECT_EQ(pieces.Value(), whole.Value()) << "chunk " << chunk;
  }
}

struct BlockCase {
  const char* name;
  XteaKey key;
  std::string plain;  // 8 bytes
  const char* cipher_hex;
};

TEST(Xtea, EnciphersAndDeciphersKnownBlocks) {
  const BlockCase kCases[] = {
      {"zero key, zero block", {0, 0, 0, 0}, std::string(8, '\0'), "124d92fc50edd04a"},
      {"counting block",
       {0x01234567u, 0x89ABCDEFu, 0xFEDCBA98u, 0x76543210u},
       std::string("\x00\x01\x02\x03\x04\x05\x06\x07", 8),
       "57585527a026448d"},
      {"program key, header start", RuleFileKey(), "!CVR1.0 ", "519b084e531a9beb"},
      {"program key, rule text", RuleFileKey(), "/ads/*.g", "9c53c5406be5b20c"},
  };
  for (const BlockCase& c : kCases) {
    uint8_t block[8];
    memcpy(block, c.plain.data(), 8);
    XteaEncipher(block, c.key);
    EXPECT_EQ(Hex(block, 8), c.cipher_hex) << c.name;
    XteaDecipher(block, c.key);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 8), c.plain) << c.name;
  }
}

TEST(Xtea, RuleFileBlocksUseTheProgramKey) {
  uint8_t block[8];
  memcpy(block, "!CVR1.0 ", 8);
  EncipherBlock(block);
  EXPECT_EQ(Hex(block, 8), "519b084e531a9beb");
  DecipherBlock(block);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 8), "!CVR1.0 ");
}

TEST(Xtea, DecipheringUndoesEncipheringForRandomBlocks) {
  std::mt19937 random(11);
  for (int i = 0; i < 2000; ++i) {
    XteaKey key = {static_cast<uint32_t>(random()), static_cast<uint32_t>(random()),
                   static_cast<uint32_t>(random()), static_cast<uint32_t>(random())};
    uint8_t block[8], original[8];
    for (uint8_t& b : original) b = static_cast<uint8_t>(random());
    memcpy(block, original, 8);
    XteaEncipher(block, key);
    EXPECT_NE(memcmp(block, original, 8), 0) << "block " << i;
    XteaDecipher(block, key);
    ASSERT_EQ(memcmp(block, original, 8), 0) << "block " << i;
  }
}

}  // namespace
}  // namespace cvie
