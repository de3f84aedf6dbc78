#include "platform/uuid.h"

#include <string.h>
#include <uuid/uuid.h>

#include <mutex>

namespace cvie::platform {
namespace {

std::mutex g_mutex;
UuidGenerator& Generator() {
  static auto* generator = new UuidGenerator();
  return *generator;
}

}  // namespace

RPC_STATUS UuidCreateSequential(UUID* uuid) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Generator()) return Generator()(uuid);
  }
  uuid_t raw;
  int safe = uuid_generate_time_safe(raw);
  memcpy(uuid->bytes, raw, sizeof uuid->bytes);
  return safe == 0 ? RPC_S_OK : RPC_S_UUID_LOCAL_ONLY;
}

std::wstring UuidToString(const UUID& uuid) {
  uuid_t raw;
  memcpy(raw, uuid.bytes, sizeof raw);
  char text[37];
  uuid_unparse_lower(raw, text);
  return std::wstring(text, text + 36);
}

void SetUuidGeneratorForTesting(UuidGenerator generator) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Generator() = std::move(generator);
}

}  // namespace cvie::platform
