#include "rules/rule_cipher.h"

#include <stdio.h>

namespace cvie {
namespace {

constexpr XteaKey kRuleFileKey = {0x54269F1Cu, 0xD89F9366u, 0xD576715Au, 0xECD08460u};

uint32_t LoadLittleEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreLittleEndian(uint32_t v, uint8_t* p) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Most-significant-bit-first CRC-32 table for 0x04C11DB7 (table[1] == poly).
constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
    }
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x04C11DB7u);

}  // namespace

const XteaKey& RuleFileKey() { return kRuleFileKey; }

void XteaEncipher(uint8_t block[kCipherBlockSize], const XteaKey& k) {
  uint32_t y = LoadLittleEndian(block);
  uint32_t z = LoadLittleEndian(block + 4);
  uint32_t sum = 0;
  for (int i = 0; i < kXteaCycles; ++i) {
    y += (((z << 4) ^ (z >> 5)) + z) ^ (sum + k[sum & 3]);
    sum += kXteaDelta;
    z += (((y << 4) ^ (y >> 5)) + y) ^ (sum + k[(sum >> 11) & 3]);
  }
  StoreLittleEndian(y, block);
  StoreLittleEndian(z, block + 4);
}

void XteaDecipher(uint8_t block[kCipherBlockSize], const XteaKey& k) {
  uint32_t y = LoadLittleEndian(block);
  uint32_t z = LoadLittleEndian(block + 4);
  uint32_t sum = kXteaDelta * static_cast<uint32_t>(kXteaCycles);
  for (int i = 0; i < kXteaCycles; ++i) {
    z -= (((y << 4) ^ (y >> 5)) + y) ^ (sum + k[(sum >> 11) & 3]);
    sum -= kXteaDelta;
    y -= (((z << 4) ^ (z >> 5)) + z) ^ (sum + k[sum & 3]);
  }
  StoreLittleEndian(y, block);
  StoreLittleEndian(z, block + 4);
}

void EncipherBlock(uint8_t block[kCipherBlockSize]) { XteaEncipher(block, kRuleFileKey); }
void DecipherBlock(uint8_t block[kCipherBlockSize]) { XteaDecipher(block, kRuleFileKey); }

void RuleChecksum::Update(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t crc = crc_;
  for (size_t i = 0; i < size; ++i) {
    crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ p[i]) & 0xFF];
  }
  crc_ = crc;
}

std::string ChecksumText(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(value));
  return text;
}

}  // namespace cvie
