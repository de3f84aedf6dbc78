#include "config/param_in_registry.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/registry.h"

using namespace cvie;
using namespace cvie::platform;

namespace {

const std::wstring kKey = L"Software\\Corvane\\IE Plugin\\Options";

TEST(ParamInRegistry, ConstructorLoadsButNeverWrites) {
  cvie::testing::ScopedCvieRoot root;
  ParamInRegistry fresh(L"FilterImage Option", 1, HKEY_CURRENT_USER, kKey, L"FilterImage",
                        true);
  EXPECT_EQ(fresh.GetInt(), 1);
  EXPECT_EQ(RegistryDumpForTesting(), "");
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, kKey, L"FilterImage", 0), ERROR_SUCCESS);
  ParamInRegistry stored(L"FilterImage Option", 1, HKEY_CURRENT_USER, kKey,
                         L"FilterImage", true);
  EXPECT_EQ(stored.GetName(), L"FilterImage Option");
  EXPECT_EQ(stored.GetInt(), 0);
}

TEST(ParamInRegistry, EveryReadReloadsEveryChangeSaves) {
  cvie::testing::ScopedCvieRoot root;
  ParamInRegistry p(L"FilterScript Option", 1, HKEY_CURRENT_USER, kKey, L"FilterScript",
                    true);
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, kKey, L"FilterScript", 3), ERROR_SUCCESS);
  EXPECT_EQ(p.GetInt(), 3);
  EXPECT_TRUE(p.SetInt(-5));
  DWORD stored = 0;
  ASSERT_EQ(RegGetDword(HKEY_CURRENT_USER, kKey, L"FilterScript", &stored),
            ERROR_SUCCESS);
  EXPECT_EQ(stored, 0xFFFFFFFBu);
  EXPECT_EQ(p.GetInt(), -5);
  EXPECT_EQ(p.GetString(), ParamText(L"-5"));
  EXPECT_TRUE(p.Clear());  // auto-save: removes the value
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kKey, L"FilterScript", &stored),
            ERROR_FILE_NOT_FOUND);
}

TEST(ParamInRegistry, WithoutAutoSaveOnlySaveWrites) {
  cvie::testing::ScopedCvieRoot root;
  ParamInRegistry p(L"x Option", 4, HKEY_CURRENT_USER, kKey, L"x", false);
  EXPECT_FALSE(p.IsAutoSave());
  EXPECT_TRUE(p.SetInt(9));
  DWORD stored = 0;
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kKey, L"x", &stored), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(p.Save());
  ASSERT_EQ(RegGetDword(HKEY_CURRENT_USER, kKey, L"x", &stored), ERROR_SUCCESS);
  EXPECT_EQ(stored, 9u);
  EXPECT_TRUE(p.Clear());  // no auto-save: the stored value stays
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kKey, L"x", &stored), ERROR_SUCCESS);
  EXPECT_TRUE(p.Remove());
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kKey, L"x", &stored), ERROR_FILE_NOT_FOUND);
}

TEST(ParamInRegistry, LoadReportsAMissingKeyAndKeepsTheValue) {
  cvie::testing::ScopedCvieRoot root;
  ParamInRegistry p(L"y Option", 6, HKEY_CURRENT_USER, L"Software\\Nowhere", L"y", false);
  EXPECT_EQ(p.Load(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(p.GetInt(), 6);
}

TEST(ParamInRegistry, IntegerIgnoresValuesOfAnotherType) {
  cvie::testing::ScopedCvieRoot root;
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, kKey, L"FilterFlash", L""), ERROR_SUCCESS);
  ParamInRegistry p(L"FilterFlash Option", 1, HKEY_CURRENT_USER, kKey, L"FilterFlash",
                    true);
  EXPECT_EQ(p.GetInt(), 1);
}

// The read buffer holds 1023 characters with the terminating zero.
TEST(ParamInRegistry, StringsUpTo1022CharactersLoad) {
  cvie::testing::ScopedCvieRoot root;
  struct Case {
    size_t length;
    bool loads;
  };
  const Case cases[] = {
      {0, true}, {10, true}, {1022, true}, {1023, false}, {5000, false}};
  for (const auto& c : cases) {
    const std::wstring text(c.length, L'u');
    ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, L"Software\\Corvane\\IE Plugin\\User",
                           L"UUID", text),
              ERROR_SUCCESS);
    ParamInRegistry p(L"To Get User Info", ParamText(L"old"), HKEY_CURRENT_USER,
                      L"Software\\Corvane\\IE Plugin\\User", L"UUID", true);
    EXPECT_EQ(p.GetString(), ParamText(c.loads ? text : L"old")) << c.length;
  }
}

TEST(ParamInRegistry, StringSavesWithTerminatorAndNullIsNotWritten) {
  cvie::testing::ScopedCvieRoot root;
  const std::wstring key = L"Software\\Corvane\\IE Plugin\\User";
  ParamInRegistry p(L"To Get User Info", ParamText(L""), HKEY_CURRENT_USER, key, L"UUID",
                    true);
  EXPECT_TRUE(p.SetString(L"abc"));
  HKEY k;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, key, &k), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueEx(k, L"UUID", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 4 * sizeof(wchar_t));
  RegCloseKey(k);
  EXPECT_TRUE(p.SetString(std::nullopt));  // nothing written; the stored text stays
  std::wstring stored;
  ASSERT_EQ(RegGetString(HKEY_CURRENT_USER, key, L"UUID", &stored), ERROR_SUCCESS);
  EXPECT_EQ(stored, L"abc");
}

TEST(ParamInRegistry, ListIsStoredOneValuePerEntry) {
  cvie::testing::ScopedCvieRoot root;
  const std::wstring key = L"Software\\Corvane\\Recent";
  {
    ParamInRegistry list(L"Recent", 3, {}, 0, HKEY_CURRENT_USER, key, true);
    EXPECT_EQ(list.GetList(), std::vector<ParamText>());
    list.AddString(L"one");
    list.AddString(L"two");
  }
  std::wstring text;
  ASSERT_EQ(RegGetString(HKEY_CURRENT_USER, key, L"0", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"two");
  ASSERT_EQ(RegGetString(HKEY_CURRENT_USER, key, L"1", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"one");
  // Reading stops at the first missing index.
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, key, L"3", L"beyond a gap"), ERROR_SUCCESS);
  ParamInRegistry reread(L"Recent", 5, {}, 0, HKEY_CURRENT_USER, key, true);
  EXPECT_EQ(reread.GetList(), (std::vector<ParamText>{L"two", L"one"}));
  EXPECT_TRUE(reread.Clear());
  for (const wchar_t* name : {L"0", L"1", L"3"}) {
    EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key, name, &text), ERROR_FILE_NOT_FOUND)
        << name;
  }
}

}  // namespace
