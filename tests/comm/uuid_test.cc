// Time-based UUIDs and their text form.

#include "platform/uuid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "platform/text.h"

namespace cvie::platform {
namespace {

TEST(Uuid, TextFormIsLowerCaseHexInGroupsOf8_4_4_4_12) {
  UUID uuid;
  for (int i = 0; i < 16; ++i) uuid.bytes[i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_EQ(UuidToString(uuid), L"a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf");
}

TEST(Uuid, SequentialUuidsAreTimeBasedAndDistinct) {
  const std::regex kForm("[0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}");
  std::set<std::wstring> seen;
  for (int i = 0; i < 50; ++i) {
    UUID uuid;
    RPC_STATUS status = UuidCreateSequential(&uuid);
    // Without the uuid daemon the system can only promise local uniqueness.
    EXPECT_TRUE(status == RPC_S_OK || status == RPC_S_UUID_LOCAL_ONLY) << status;
    std::wstring text = UuidToString(uuid);
    EXPECT_TRUE(std::regex_match(ToNarrow(text), kForm)) << ToNarrow(text);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(Uuid, ATestGeneratorReplacesTheSystemOne) {
  SetUuidGeneratorForTesting([](UUID* uuid) {
    for (auto& byte : uuid->bytes) byte = 0x11;
    return RPC_S_UUID_LOCAL_ONLY;
  });
  UUID uuid;
  EXPECT_EQ(UuidCreateSequential(&uuid), RPC_S_UUID_LOCAL_ONLY);
  EXPECT_EQ(UuidToString(uuid), L"11111111-1111-1111-1111-111111111111");
  SetUuidGeneratorForTesting(nullptr);
  EXPECT_NE(UuidToString((UuidCreateSequential(&uuid), uuid)),
            L"11111111-1111-1111-1111-111111111111");
}

}  // namespace
}  // namespace cvie::platform
