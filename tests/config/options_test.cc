#include "config/options.h"

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/registry.h"

using namespace cvie;
using namespace cvie::platform;

namespace {

// A clock the test moves by hand.
struct FakeClock {
  std::atomic<int64_t> now{1000000};
  CVCfg::Clock fn() {
    return [this] { return now.load(); };
  }
};

void Store(const wchar_t* name, DWORD value) {
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, kOptionsKeyPath, name, value), ERROR_SUCCESS);
}

DWORD Stored(const wchar_t* name) {
  DWORD value = 0xDEADBEEF;
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kOptionsKeyPath, name, &value), ERROR_SUCCESS)
      << name;
  return value;
}

// The sixteen options as the product defines them, in their order: registry
// value, parameter name and default. Written here once, by hand, so that a
// wrong entry in the program's own table cannot also be the expected one.
struct ExpectedOption {
  const wchar_t* value_name;
  const wchar_t* label;
  int default_value;
};
const ExpectedOption kExpectedOptions[] = {
    {L"Enable Corvane", L"Enable Corvane Option", 1},
    {L"ShowTabsForFlash", L"ShowTabsForFlash Option", 0},
    {L"CollapseBlockedElements", L"CollapseBlockedElements Option", 1},
    {L"BlockAdsOnLocalPage", L"BlockAdsOnLocalPage Option", 1},
    {L"FilterScript", L"FilterScript Option", 1},
    {L"FilterImage", L"FilterImage Option", 1},
    {L"CheckBannerLink", L"CheckBannerLink Option", 1},
    {L"FilterMarquee", L"FilterMarquee Option", 1},
    {L"EnableLogging", L"EnableLogging Option", 1},
    {L"FilterFrame", L"FilterFrame Option", 1},
    {L"FilterFlash", L"FilterFlash Option", 1},
    {L"FilterCSS", L"FilterCSS Option", 0},
    {L"FilterBackground", L"FilterBackground Option", 0},
    {L"MinImageWidthToCheck", L"MinImageWidthToCheck Option", 10},
    {L"MinImageHeightToCheck", L"MinImageHeightToCheck Option", 10},
    {L"WhiteListTS", L"WhiteListTS Option", 0},
};

TEST(CVCfg, OptionTableHasTheSixteenOptionsWithTheirDefaults) {
  ASSERT_EQ(std::size(kExpectedOptions), static_cast<size_t>(OPTION_COUNT));
  for (int i = 0; i < OPTION_COUNT; ++i) {
    const ExpectedOption& want = kExpectedOptions[i];
    const OptionDefinition& have = kOptionDefinitions[i];
    EXPECT_EQ(std::wstring(have.value_name), want.value_name) << i;
    EXPECT_EQ(std::wstring(have.label), want.label) << i;
    EXPECT_EQ(have.default_value, want.default_value) << i;
  }
}

TEST(CVCfg, FirstStartWritesAllSixteenDefaults) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  FakeClock clock;
  CVCfg cfg(clock.fn());
  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, kOptionsKeyPath, &key), ERROR_SUCCESS);
  int count = 0;
  std::wstring name;
  DWORD type;
  std::vector<uint8_t> data;
  while (RegEnumValue(key, count, &name, &type, &data) == ERROR_SUCCESS) {
    EXPECT_EQ(type, REG_DWORD) << count;
    ++count;
  }
  RegCloseKey(key);
  EXPECT_EQ(count, OPTION_COUNT);
  for (int i = 0; i < OPTION_COUNT; ++i) {
    const ExpectedOption& r = kExpectedOptions[i];
    std::string row = std::to_string(i);
    EXPECT_EQ(Stored(r.value_name), static_cast<DWORD>(r.default_value)) << row;
    EXPECT_EQ(cfg.GetOption(i), r.default_value) << row;
    EXPECT_EQ(cfg.OptionParam(i)->GetName(), r.label) << row;
    EXPECT_EQ(cfg.OptionParam(i)->value_name(), r.value_name) << row;
    EXPECT_EQ(FindOption(r.value_name), i) << row;
  }
  EditorOptions o = cfg.GetEditorOptions();
  const uint8_t want_bytes[12] = {1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 0};
  for (int b = 0; b < 12; ++b) EXPECT_EQ(o.Byte(b), want_bytes[b]) << "byte " << b;
  EXPECT_EQ(o.min_image_width, 10);
  EXPECT_EQ(o.min_image_height, 10);
}

TEST(CVCfg, StoredValuesWinOverDefaultsAndOnlyOneCountsAsOn) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  struct Case {
    const wchar_t* option;
    DWORD stored;
    int byte;
    uint8_t want;
  };
  const Case cases[] = {
      {L"CheckBannerLink", 2, 0, 0}, {L"FilterImage", 1, 1, 1},
      {L"FilterImage", 2, 1, 0},     {L"FilterBackground", 1, 2, 1},
      {L"FilterFlash", 0, 3, 0},     {L"FilterScript", 0xFFFFFFFF, 4, 0},
      {L"FilterFrame", 7, 5, 0},     {L"FilterCSS", 1, 6, 1},
      {L"FilterMarquee", 0, 7, 0},   {L"CollapseBlockedElements", 0, 10, 0},
  };
  for (const auto& c : cases) {
    Store(c.option, c.stored);
    FakeClock clock;
    CVCfg cfg(clock.fn());
    EditorOptions o = cfg.GetEditorOptions();
    EXPECT_EQ(o.Byte(c.byte), c.want) << c.option << "=" << c.stored;
    EXPECT_EQ(o.check_div, 1);
    EXPECT_EQ(o.remove_blocked, 1);
    EXPECT_EQ(o.highlight, 0);
    EXPECT_EQ(cfg.GetOption(FindOption(c.option)), static_cast<int32_t>(c.stored))
        << c.option;
    // The value found is written back unchanged.
    EXPECT_EQ(Stored(c.option), c.stored) << c.option;
  }
  Store(L"MinImageWidthToCheck", 150);
  Store(L"MinImageHeightToCheck", 0xFFFFFFFF);
  FakeClock clock;
  CVCfg cfg(clock.fn());
  EXPECT_EQ(cfg.GetEditorOptions().min_image_width, 150);
  EXPECT_EQ(cfg.GetEditorOptions().min_image_height, -1);
}

TEST(CVCfg, RecordFollowsTheRegistryAfterTenSeconds) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  FakeClock clock;
  const int64_t start = clock.now;
  CVCfg cfg(clock.fn());
  EXPECT_EQ(cfg.GetEditorOptions().filter_image,
            1);  // same second as the start: no rebuild

  // Each step: move the clock to start + at, optionally store FilterImage,
  // then read the getter and the record.
  struct Step {
    int at;
    int store;  // -1: leave the registry alone
    bool forced;
    int want_getter;
    uint8_t want_byte;
  };
  const Step steps[] = {
      {0, 0, false, 0, 1},    // getter sees it at once, record unchanged
      {1, -1, false, 0, 0},   // a second later: rebuilt (expiry was the start)
      {5, 1, false, 1, 0},    // next rebuild not before start + 11
      {11, -1, false, 1, 0},  // exactly 10 seconds later: not yet
      {12, -1, false, 1, 1},  // more than 10 seconds: rebuilt
      {13, 0, true, 0, 0},    // a forced refresh rebuilds at once
      {14, 2, false, 2, 0},   // 2 is not on, also after rebuilding
      {30, -1, false, 2, 0},
  };
  for (const auto& s : steps) {
    clock.now = start + s.at;
    if (s.store >= 0) Store(L"FilterImage", static_cast<DWORD>(s.store));
    if (s.forced) cfg.Refresh(true);
    EXPECT_EQ(cfg.GetFilterImage(), s.want_getter) << "at +" << s.at;
    EXPECT_EQ(cfg.GetEditorOptions().filter_image, s.want_byte) << "at +" << s.at;
  }
}

// Writes `value` of option `name` through a connection of its own, as another
// process does: this process's registry layer does not see the write.
void StoreAsAnotherProcess(const cvie::testing::ScopedCvieRoot& root, const char* name,
                           uint32_t value) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((root.path() / "config" / "registry.db").c_str(), &other),
            SQLITE_OK);
  sqlite3_busy_timeout(other, 5000);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(other, "UPDATE vals SET data = ? WHERE folded = ?", -1,
                               &stmt, nullptr),
            SQLITE_OK);
  sqlite3_bind_blob(stmt, 1, &value, sizeof value, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, name, -1, SQLITE_TRANSIENT);
  EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
  EXPECT_EQ(sqlite3_changes(other), 1) << name;
  sqlite3_finalize(stmt);
  sqlite3_close(other);
}

// "Enable Corvane" and "WhiteListTS" are read from the store once per
// 10-second period: a change by another process shows after the period, a
// change made through this process's store at once.
TEST(CVCfg, OwnTimerOptionsComeFromMemoryBetweenPeriods) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  FakeClock clock;
  const int64_t start = clock.now;
  CVCfg cfg(clock.fn());
  ASSERT_EQ(cfg.GetEnableCorvane(), 1);
  ASSERT_EQ(cfg.GetWhiteListTS(), 0u);  // read now: the period runs to start + 10
  struct Step {
    int at;
    int other_enable;  // -1: nothing; else stored by "another process"
    int other_stamp;   // -1: nothing
    int own_enable;    // -1: nothing; else stored through this process
    int want_enable;
    uint32_t want_stamp;
  };
  const Step steps[] = {
      {0, 0, 500, -1, 1, 0},     // another process's change: not yet
      {10, -1, -1, -1, 1, 0},    // exactly 10 seconds: still from memory
      {11, -1, -1, -1, 0, 500},  // past the period: read again
      {12, 1, 600, -1, 0, 500},  // the next period runs to start + 21
      {13, -1, -1, 1, 1, 600},   // a change through this process: at once
      {14, 0, -1, -1, 1, 600},  {22, -1, -1, -1, 0, 600},
  };
  for (const Step& s : steps) {
    clock.now = start + s.at;
    if (s.other_enable >= 0)
      StoreAsAnotherProcess(root, "enable corvane", s.other_enable);
    if (s.other_stamp >= 0) StoreAsAnotherProcess(root, "whitelistts", s.other_stamp);
    if (s.own_enable >= 0) Store(L"Enable Corvane", static_cast<DWORD>(s.own_enable));
    EXPECT_EQ(cfg.GetEnableCorvane(), s.want_enable) << "at +" << s.at;
    EXPECT_EQ(cfg.GetWhiteListTS(), s.want_stamp) << "at +" << s.at;
  }
}

TEST(CVCfg, EnableLoggingIsHandedToTheLogger) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  platform::CreateDataFolders();
  FakeClock clock;
  CVCfg cfg(clock.fn());
  auto lines = [&] {
    std::string content;
    cvie::testing::ReadFile(root.path() / "Documents" / "Corvane" / "log1.txt", &content);
    return std::count(content.begin(), content.end(), '\n');
  };
  Logger::Instance().Log(LOG_NOTICE, L"logging on");
  EXPECT_EQ(lines(), 1);
  Store(L"EnableLogging", 0);
  Logger::Instance().Log(LOG_NOTICE, L"still on: no refresh yet");
  EXPECT_EQ(lines(), 2);
  clock.now += 11;
  EXPECT_EQ(cfg.GetFilterFlash(), 1);  // any getter refreshes
  Logger::Instance().Log(LOG_NOTICE, L"not written");
  EXPECT_EQ(lines(), 2);
  cfg.SetEnableLogging(7);  // stored as 1
  EXPECT_EQ(Stored(L"EnableLogging"), 1u);
  cfg.Refresh(true);
  Logger::Instance().Log(LOG_NOTICE, L"on again");
  EXPECT_EQ(lines(), 3);
}

TEST(CVCfg, SettersStoreZeroOrOneAtOnce) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  FakeClock clock;
  CVCfg cfg(clock.fn());
  struct Case {
    void (CVCfg::*set)(int);
    const wchar_t* option;
  };
  const Case cases[] = {
      {&CVCfg::SetShowTabsForFlash, L"ShowTabsForFlash"},
      {&CVCfg::SetCollapseBlockedElements, L"CollapseBlockedElements"},
      {&CVCfg::SetBlockAdsOnLocalPage, L"BlockAdsOnLocalPage"},
      {&CVCfg::SetFilterScript, L"FilterScript"},
      {&CVCfg::SetFilterImage, L"FilterImage"},
      {&CVCfg::SetCheckBannerLink, L"CheckBannerLink"},
      {&CVCfg::SetFilterMarquee, L"FilterMarquee"},
      {&CVCfg::SetEnableLogging, L"EnableLogging"},
      {&CVCfg::SetFilterFrame, L"FilterFrame"},
      {&CVCfg::SetFilterFlash, L"FilterFlash"},
  };
  for (const auto& c : cases) {
    (cfg.*c.set)(0);
    EXPECT_EQ(Stored(c.option), 0u) << c.option;
    EXPECT_EQ(cfg.GetOption(FindOption(c.option)), 0) << c.option;
    (cfg.*c.set)(-3);
    EXPECT_EQ(Stored(c.option), 1u) << c.option;
  }
  cfg.SetWhiteListTS(0xF0000000u);  // a time past 2038 still reads back
  EXPECT_EQ(Stored(L"WhiteListTS"), 0xF0000000u);
  EXPECT_EQ(cfg.GetWhiteListTS(), 0xF0000000u);
}

// A change whose save waits for another connection's lock on the store
// leaves the new value in memory, and readers take it from there at once
// instead of queueing behind the save; the save lands once the lock is gone.
TEST(CVCfg, ReadersDoNotWaitForAChangeWhoseSaveWaitsForTheStore) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  FakeClock clock;
  CVCfg cfg(clock.fn());
  ASSERT_EQ(cfg.GetEnableCorvane(), 1);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((root.path() / "config" / "registry.db").c_str(), &other),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  std::atomic<bool> saved{false};
  std::thread changer([&] {
    cfg.OptionParam(FindOption(L"Enable Corvane"))->SetInt(0);
    saved = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(saved) << "the save did not wait for the other connection's lock";
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(cfg.GetEnableCorvane(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5))
      << "the reader queued behind the waiting save";

  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  changer.join();
  sqlite3_close(other);
  EXPECT_TRUE(saved);
  EXPECT_EQ(Stored(L"Enable Corvane"), 0u);
}

TEST(CVCfg, FindOptionIgnoresCase) {
  EXPECT_EQ(FindOption(L"enable corvane"), OPTION_ENABLE_CORVANE);
  EXPECT_EQ(FindOption(L"WHITELISTTS"), OPTION_WHITE_LIST_TS);
  EXPECT_EQ(FindOption(L"FirstOpen"), -1);
  EXPECT_EQ(FindOption(L""), -1);
}

TEST(CVCfg, InstanceIsOnePerProcess) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  CVCfg* a = nullptr;
  CVCfg* b = nullptr;
  std::thread t1([&] { a = &CVCfg::Instance(); });
  std::thread t2([&] { b = &CVCfg::Instance(); });
  t1.join();
  t2.join();
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, &CVCfg::Instance());
  EXPECT_EQ(Stored(L"FilterImage"), 1u);
}

TEST(CVCfg, ConcurrentReadersWritersAndRefreshes) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  FakeClock clock;
  CVCfg cfg(clock.fn());
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        EditorOptions o = cfg.GetEditorOptions();
        if (o.filter_image > 1 || o.filter_script > 1 || o.remove_blocked != 1) ++bad;
        int v = cfg.GetFilterImage();
        if (v != 0 && v != 1) ++bad;
        if (cfg.GetEnableCorvane() != 1) ++bad;
        clock.now += 3;  // let refreshes happen
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    cfg.SetFilterImage(i % 2);
    cfg.SetFilterScript((i + 1) % 2);
    if (i % 20 == 0) cfg.Refresh(true);
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(cfg.GetFilterImage(), 1);  // the last write: 199 % 2
  EXPECT_EQ(cfg.GetFilterScript(), 0);
}

// Page threads read the two timer options while another thread stamps the
// whitelist and switches filtering, and the clock runs: every read gives a
// value that was written, and after the writers stop the last one.
TEST(CVCfg, ConcurrentOwnTimerReadsAndWrites) {
  cvie::testing::ScopedCvieRoot root;
  platform::ResetDataFolderCacheForTesting();
  FakeClock clock;
  CVCfg cfg(clock.fn());
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        const uint32_t stamp = cfg.GetWhiteListTS();
        if (stamp != 0 && (stamp < 100 || stamp > 199)) ++bad;
        const int enable = cfg.GetEnableCorvane();
        if (enable != 0 && enable != 1) ++bad;
        clock.now += 2;
      }
    });
  }
  ParamInRegistry* enable = cfg.OptionParam(OPTION_ENABLE_CORVANE);
  for (uint32_t i = 100; i < 200; ++i) {
    cfg.SetWhiteListTS(i);
    enable->SetInt(static_cast<int>(i % 2));
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(cfg.GetWhiteListTS(), 199u);
  EXPECT_EQ(cfg.GetEnableCorvane(), 1);
}

}  // namespace
