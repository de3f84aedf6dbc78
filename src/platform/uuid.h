// platform/uuid.h
//
// Time-based UUIDs in the shape of the Windows RPC calls. UuidCreateSequential
// returns RPC_S_OK only when the identifier is guaranteed unique (libuuid made
// it through its synchronising daemon); a UUID that is only unique on this
// machine comes with RPC_S_UUID_LOCAL_ONLY, and callers that need a global
// identifier then use their own fallback. Thread-safe.

#pragma once

#include <stdint.h>

#include <functional>
#include <string>

namespace cvie::platform {

typedef long RPC_STATUS;
constexpr RPC_STATUS RPC_S_OK = 0;
constexpr RPC_STATUS RPC_S_UUID_LOCAL_ONLY = 1824;
constexpr RPC_STATUS RPC_S_UUID_NO_ADDRESS = 1739;

struct UUID {
  uint8_t bytes[16];
};

// Makes a time-based UUID in `uuid`; see above for the result.
RPC_STATUS UuidCreateSequential(UUID* uuid);

// The standard text form: 36 characters, lower-case hexadecimal digits in
// groups of 8-4-4-4-12 joined by "-".
std::wstring UuidToString(const UUID& uuid);

// Replaces the generator UuidCreateSequential uses (tests simulate a machine
// without the daemon). An empty function restores libuuid. Returns nothing.
using UuidGenerator = std::function<RPC_STATUS(UUID*)>;
void SetUuidGeneratorForTesting(UuidGenerator generator);

}  // namespace cvie::platform
