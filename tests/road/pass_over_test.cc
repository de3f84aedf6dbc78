// The road's pass-over handler registers for all of its schemes or for none.

#include "road/pass_over.h"

#include <gtest/gtest.h>

#include "platform/urlmon.h"
#include "platform/urlmon_testing.h"

namespace cvie::road {
namespace {

const wchar_t* const kSchemes[] = {L"http", L"https", L"file"};

size_t Registered(const wchar_t* scheme) { return CountNameSpaceRegistrations(scheme); }

TEST(PassOverRegistration, ASchemeRefusedPartWayLeavesNoSchemeRegistered) {
  ClearInternetSessionForTesting();
  // "http" goes in first, then the session refuses "https".
  RefuseNameSpaceRegistrationForTesting(L"https");
  EXPECT_TRUE(FAILED(RegisterPassOver()));
  for (const wchar_t* scheme : kSchemes) EXPECT_EQ(Registered(scheme), 0u) << scheme;
  EXPECT_EQ(PassOverRegistrationCount(), 0);
  UnregisterPassOver();  // nothing to undo
  EXPECT_EQ(PassOverRegistrationCount(), 0);

  // Once the session accepts every scheme, registration and withdrawal are whole.
  RefuseNameSpaceRegistrationForTesting(L"");
  ASSERT_EQ(RegisterPassOver(), S_OK);
  ASSERT_EQ(RegisterPassOver(), S_OK);
  for (const wchar_t* scheme : kSchemes) EXPECT_EQ(Registered(scheme), 1u) << scheme;
  EXPECT_EQ(PassOverRegistrationCount(), 2);
  UnregisterPassOver();
  for (const wchar_t* scheme : kSchemes) EXPECT_EQ(Registered(scheme), 1u) << scheme;
  UnregisterPassOver();
  for (const wchar_t* scheme : kSchemes) EXPECT_EQ(Registered(scheme), 0u) << scheme;
  EXPECT_EQ(PassOverRegistrationCount(), 0);
}

TEST(PassOverRegistration, TheLastSchemeRefusedWithdrawsTheFirstTwo) {
  ClearInternetSessionForTesting();
  RefuseNameSpaceRegistrationForTesting(L"file");
  EXPECT_TRUE(FAILED(RegisterPassOver()));
  for (const wchar_t* scheme : kSchemes) EXPECT_EQ(Registered(scheme), 0u) << scheme;
  EXPECT_EQ(PassOverRegistrationCount(), 0);
  RefuseNameSpaceRegistrationForTesting(L"");
}

}  // namespace
}  // namespace cvie::road
