// The user's identifier and its registry entries.

#include "comm/user_identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "common/test_support.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace cvie {
namespace {

using namespace platform;

std::wstring Stored(const std::wstring& name) {
  std::wstring value;
  return RegGetString(HKEY_CURRENT_USER, kUserInfoKey, name, &value) == ERROR_SUCCESS
             ? value
             : L"<missing>";
}

const std::regex kUuidForm(
    "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
const std::regex kFallbackForm("([0-9]+)-([0-9]{1,3})-([0-9]+)-([0-9]+)-([0-9]+)");

// Makes the system's UUID call answer `status`.
class UuidStatus {
 public:
  explicit UuidStatus(RPC_STATUS status) {
    SetUuidGeneratorForTesting([status](UUID* uuid) {
      for (int i = 0; i < 16; ++i) uuid->bytes[i] = static_cast<uint8_t>(i * 17);
      return status;
    });
  }
  ~UuidStatus() { SetUuidGeneratorForTesting(nullptr); }
};

// Seconds on the clock the identity is made from. time() reads a coarser
// clock that may lag it by a tick, so it cannot bound the identifier's seconds.
long long SystemClockSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(UserIdentity, FirstStartWritesTheThreeValuesAndASecondChangesNothing) {
  cvie::testing::ScopedCvieRoot root;
  long long before = SystemClockSeconds();
  EXPECT_TRUE(EnsureUserIdentity());
  EXPECT_EQ(Stored(L""), L"User Info");
  std::wstring id = Stored(L"UUID");
  EXPECT_GT(id.size(), kMinStoredIdentifierLength);
  long long date = std::stoll(platform::ToNarrow(Stored(L"Date")));
  EXPECT_GE(date, before);
  EXPECT_LE(date, SystemClockSeconds());

  std::string dump = RegistryDumpForTesting();
  EXPECT_FALSE(EnsureUserIdentity());
  EXPECT_EQ(RegistryDumpForTesting(), dump);
}

TEST(UserIdentity, ShortStoredIdentifiersAreReplaced) {
  struct Case {
    const wchar_t* stored;
    bool replaced;
  };
  const Case kCases[] = {
      {L"", true},
      {L"0123456789", true},    // 10 characters count as missing
      {L"0123456789A", false},  // 11 are kept
  };
  for (const auto& c : kCases) {
    cvie::testing::ScopedCvieRoot root;
    ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, kUserInfoKey, L"UUID", c.stored),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, kUserInfoKey, L"Date", L"5"),
              ERROR_SUCCESS);
    EXPECT_EQ(EnsureUserIdentity(), c.replaced) << platform::ToNarrow(c.stored);
    if (c.replaced) {
      EXPECT_NE(Stored(L"UUID"), c.stored);
      EXPECT_NE(Stored(L"Date"), L"5");
      EXPECT_EQ(Stored(L""), L"User Info");
    } else {
      EXPECT_EQ(Stored(L"UUID"), c.stored);
      EXPECT_EQ(Stored(L"Date"), L"5");
    }
  }
}

TEST(UserIdentity, AGuaranteedUuidIsUsedInItsTextForm) {
  UuidStatus ok(RPC_S_OK);
  std::wstring id = MakeUserIdentifier();
  EXPECT_EQ(id, L"00112233-4455-6677-8899-aabbccddeeff");
}

TEST(UserIdentity, ALocallyUniqueUuidGivesTheFiveNumberForm) {
  for (RPC_STATUS status : {RPC_S_UUID_LOCAL_ONLY, RPC_S_UUID_NO_ADDRESS}) {
    UuidStatus local(status);
    long long before = SystemClockSeconds();
    std::string id = platform::ToNarrow(MakeUserIdentifier());
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(id, parts, kFallbackForm)) << id;
    EXPECT_GE(std::stoll(parts[1]), before);
    EXPECT_LE(std::stoll(parts[1]), SystemClockSeconds());
    EXPECT_LT(std::stoi(parts[2]), 1000);
    EXPECT_EQ(std::stoll(parts[3]), static_cast<long long>(getpid()));
    // The generator is seeded with the seconds: its first draw is predictable.
    srand(static_cast<unsigned>(std::stoll(parts[1])));
    EXPECT_EQ(std::stoul(parts[4]), static_cast<unsigned long>(rand()));
  }
}

TEST(UserIdentity, TheSystemUuidHasOneOfTheTwoForms) {
  std::string id = platform::ToNarrow(MakeUserIdentifier());
  EXPECT_TRUE(std::regex_match(id, kUuidForm) || std::regex_match(id, kFallbackForm))
      << id;
}

TEST(UserIdentityThreads, ConcurrentFirstStartsMakeOneIdentity) {
  cvie::testing::ScopedCvieRoot root;
  std::atomic<int> made{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] { made += EnsureUserIdentity() ? 1 : 0; });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(made.load(), 1);
  EXPECT_GT(Stored(L"UUID").size(), kMinStoredIdentifierLength);
}

}  // namespace
}  // namespace cvie
