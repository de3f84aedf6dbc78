// rules/rule_cipher.h
//
// The two primitives under the rule file container: the XTEA block cipher with
// 64 cycles over 8-byte blocks, and the CRC-32 checksum of the enciphered body.
// Both are pure computations on memory: no files, no logging, safe from any
// thread.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>

namespace cvie {

// Four 32-bit words: a 128-bit XTEA key.
using XteaKey = std::array<uint32_t, 4>;

constexpr uint32_t kXteaDelta = 0x9E3779B9u;
constexpr int kXteaCycles = 64;
constexpr size_t kCipherBlockSize = 8;

// The key every rule file of this program is enciphered with. A constant: a
// different key makes every existing rule file unreadable.
const XteaKey& RuleFileKey();

// Enciphers or deciphers one 8-byte block in place under `key`. The block is two
// little-endian 32-bit words.
void XteaEncipher(uint8_t block[kCipherBlockSize], const XteaKey& key);
void XteaDecipher(uint8_t block[kCipherBlockSize], const XteaKey& key);

// The same under the rule file key.
void EncipherBlock(uint8_t block[kCipherBlockSize]);
void DecipherBlock(uint8_t block[kCipherBlockSize]);

// The body checksum: a most-significant-bit-first CRC-32 (polynomial 0x04C11DB7)
// starting from 0, with no length step, inverted at the end. Feed bytes with
// Update, read the result with Value (Value does not end the computation).
class RuleChecksum {
 public:
  void Update(const void* data, size_t size);
  uint32_t Value() const { return ~crc_; }

 private:
  uint32_t crc_ = 0;
};

// The checksum as it is written into a rule file header: unsigned decimal.
std::string ChecksumText(uint32_t value);

}  // namespace cvie
