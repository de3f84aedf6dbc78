// The UUID layer on Windows: rpcrt4's UuidCreateSequential.

#include "platform/uuid.h"

#include <rpc.h>
#include <string.h>

#include <mutex>

#include "platform/win/win32.h"

// rpc.h names the wide function UuidToString; this layer has its own.
#undef UuidToString

namespace cvie::platform {
namespace {

std::mutex g_mutex;
UuidGenerator& Generator() {
  static auto* generator = new UuidGenerator();
  return *generator;
}

}  // namespace

// The bytes are kept in the text order (big-endian fields), as on Linux.
RPC_STATUS UuidCreateSequential(UUID* uuid) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Generator()) return Generator()(uuid);
  }
  ::UUID raw;
  long status = ::UuidCreateSequential(&raw);
  const uint8_t fields[8] = {
      static_cast<uint8_t>(raw.Data1 >> 24), static_cast<uint8_t>(raw.Data1 >> 16),
      static_cast<uint8_t>(raw.Data1 >> 8),  static_cast<uint8_t>(raw.Data1),
      static_cast<uint8_t>(raw.Data2 >> 8),  static_cast<uint8_t>(raw.Data2),
      static_cast<uint8_t>(raw.Data3 >> 8),  static_cast<uint8_t>(raw.Data3)};
  memcpy(uuid->bytes, fields, 8);
  memcpy(uuid->bytes + 8, raw.Data4, 8);
  if (status == 0) return RPC_S_OK;
  if (status == 1824) return RPC_S_UUID_LOCAL_ONLY;
  return RPC_S_UUID_NO_ADDRESS;
}

std::wstring UuidToString(const UUID& uuid) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back(L'-');
    text.push_back(kHex[uuid.bytes[i] >> 4]);
    text.push_back(kHex[uuid.bytes[i] & 0xF]);
  }
  return text;
}

void SetUuidGeneratorForTesting(UuidGenerator generator) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Generator() = std::move(generator);
}

}  // namespace cvie::platform
