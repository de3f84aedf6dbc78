#include "platform/registry.h"

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"

using namespace cvie;
using namespace cvie::platform;
namespace fs = std::filesystem;

namespace {

const std::wstring kOptions = L"Software\\Corvane\\IE Plugin\\Options";

DWORD SzBytes(const std::wstring& s) {
  return static_cast<DWORD>((s.size() + 1) * sizeof(wchar_t));
}

TEST(Registry, StoreIsOneFileUnderTheConfigFolder) {
  cvie::testing::ScopedCvieRoot root;
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, kOptions, L"FilterImage", 1), ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(root.path() / "config" / "registry.db"));
}

TEST(Registry, CreateOpenAndDisposition) {
  cvie::testing::ScopedCvieRoot root;
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, kOptions, &key), ERROR_FILE_NOT_FOUND);
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, kOptions, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, kOptions, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  // Intermediate levels exist too; other roots are separate trees.
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, L"Software\\Corvane", &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kOptions, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, kOptions, &key), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  cvie::testing::ScopedCvieRoot root;
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, kOptions, L"FilterImage", 7), ERROR_SUCCESS);
  DWORD value = 0;
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, L"SOFTWARE\\corvane\\ie plugin\\OPTIONS",
                        L"filterimage", &value),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, L"software\\CORVANE\\IE PLUGIN\\options",
                        L"FILTERIMAGE", 8),
            ERROR_SUCCESS);
  EXPECT_EQ(RegistryDumpForTesting(),
            "HKEY_CURRENT_USER\\Software\n"
            "HKEY_CURRENT_USER\\Software\\Corvane\n"
            "HKEY_CURRENT_USER\\Software\\Corvane\\IE Plugin\n"
            "HKEY_CURRENT_USER\\Software\\Corvane\\IE Plugin\\Options\n"
            "  \"FilterImage\" REG_DWORD 0x00000008\n");
}

TEST(Registry, QueryReportsSizesAndMoreData) {
  cvie::testing::ScopedCvieRoot root;
  HKEY key;
  ASSERT_EQ(
      RegCreateKeyEx(HKEY_CURRENT_USER, L"Software\\Corvane\\IE Plugin\\User", &key),
      ERROR_SUCCESS);
  const std::wstring uuid = L"0f8fad5b-d9cb-469f-a165-70867728950e";
  ASSERT_EQ(RegSetValueEx(key, L"UUID", REG_SZ, uuid.c_str(), SzBytes(uuid)),
            ERROR_SUCCESS);
  const DWORD needed = SzBytes(uuid);

  struct Case {
    const char* name;
    bool with_buffer;
    DWORD buffer_bytes;
    LONG want_rc;
    DWORD want_size;
    bool want_text;
  };
  const Case cases[] = {
      {"size only", false, 0, ERROR_SUCCESS, needed, false},
      {"one byte short", true, needed - 1, ERROR_MORE_DATA, needed, false},
      {"exact", true, needed, ERROR_SUCCESS, needed, true},
      {"larger", true, needed + 64, ERROR_SUCCESS, needed, true},
      {"empty buffer", true, 0, ERROR_MORE_DATA, needed, false},
  };
  for (const auto& c : cases) {
    std::vector<wchar_t> buffer(64, L'#');
    DWORD type = 99, size = c.buffer_bytes;
    LONG rc = RegQueryValueEx(key, L"UUID", &type,
                              c.with_buffer ? buffer.data() : nullptr, &size);
    EXPECT_EQ(rc, c.want_rc) << c.name;
    EXPECT_EQ(size, c.want_size) << c.name;
    EXPECT_EQ(type, REG_SZ) << c.name;
    if (c.want_text) {
      EXPECT_EQ(std::wstring(buffer.data()), uuid) << c.name;
    } else {
      EXPECT_EQ(buffer[0], L'#') << c.name << ": buffer touched";
    }
  }
  DWORD type;
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueEx(key, L"Date", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(Registry, DwordAndStringValues) {
  cvie::testing::ScopedCvieRoot root;
  HKEY key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, kOptions, &key), ERROR_SUCCESS);
  DWORD minus_five = 0xFFFFFFFB;
  EXPECT_EQ(RegSetValueEx(key, L"MinImageWidthToCheck", REG_DWORD, &minus_five, 4),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueEx(key, L"Bad", REG_DWORD, &minus_five, 2),
            ERROR_INVALID_PARAMETER);
  DWORD value = 0, type = 0, size = 4;
  EXPECT_EQ(RegQueryValueEx(key, L"MinImageWidthToCheck", &type, &value, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(value, 0xFFFFFFFBu);
  EXPECT_EQ(size, 4u);
  // The default value has the empty name.
  const std::wstring text = L"User Info \u00E9";
  EXPECT_EQ(RegSetValueEx(key, L"", REG_SZ, text.c_str(), SzBytes(text)), ERROR_SUCCESS);
  std::wstring read;
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kOptions, L"", &read), ERROR_SUCCESS);
  EXPECT_EQ(read, text);
  // Typed getters refuse the other type.
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kOptions, L"MinImageWidthToCheck", &read),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kOptions, L"", &value), ERROR_FILE_NOT_FOUND);
  // A value is replaced whole, type included.
  EXPECT_EQ(RegSetString(HKEY_CURRENT_USER, kOptions, L"MinImageWidthToCheck", L"ten"),
            ERROR_SUCCESS);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kOptions, L"minimagewidthtocheck", &read),
            ERROR_SUCCESS);
  EXPECT_EQ(read, L"ten");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(Registry, DeletingValuesAndKeys) {
  cvie::testing::ScopedCvieRoot root;
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, kOptions, L"FirstOpen", 1), ERROR_SUCCESS);
  HKEY options;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, kOptions, &options), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(options, L"firstopen"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(options, L"FirstOpen"), ERROR_FILE_NOT_FOUND);

  HKEY plugin;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, L"Software\\Corvane\\IE Plugin", &plugin),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(plugin, L""), ERROR_ACCESS_DENIED);  // has a subkey
  EXPECT_EQ(RegDeleteKey(plugin, L"Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKey(plugin, L"OPTIONS"), ERROR_SUCCESS);
  // The handle on the deleted key is dead, also after a key of the same name
  // is made again.
  DWORD value;
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueEx(options, L"FirstOpen", nullptr, &value, &size),
            ERROR_KEY_DELETED);
  HKEY again;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, kOptions, &again), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueEx(options, L"X", REG_DWORD, &value, 4), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(options), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(plugin, L"Options"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(plugin, L""), ERROR_SUCCESS);  // the key itself, now a leaf
  EXPECT_EQ(RegCloseKey(plugin), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, L""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegistryDumpForTesting(),
            "HKEY_CURRENT_USER\\Software\n"
            "HKEY_CURRENT_USER\\Software\\Corvane\n");
}

TEST(Registry, EnumeratesSubkeysInNameOrderAndValuesInWriteOrder) {
  cvie::testing::ScopedCvieRoot root;
  HKEY key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CLASSES_ROOT, L"CLSID", &key), ERROR_SUCCESS);
  for (const wchar_t* name : {L"{B}", L"{a}", L"{C}"}) {
    HKEY sub;
    ASSERT_EQ(RegCreateKeyEx(key, name, &sub), ERROR_SUCCESS);
    RegCloseKey(sub);
  }
  std::vector<std::wstring> names;
  std::wstring name;
  DWORD i = 0;
  LONG rc;
  while ((rc = RegEnumKeyEx(key, i++, &name)) == ERROR_SUCCESS) names.push_back(name);
  EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"{a}", L"{B}", L"{C}"}));

  wchar_t small[3];
  DWORD chars = 3;
  EXPECT_EQ(RegEnumKeyEx(key, 0, small, &chars), ERROR_MORE_DATA);
  EXPECT_EQ(chars, 4u);
  wchar_t fits[4];
  chars = 4;
  EXPECT_EQ(RegEnumKeyEx(key, 0, fits, &chars), ERROR_SUCCESS);
  EXPECT_EQ(chars, 3u);
  EXPECT_EQ(std::wstring(fits), L"{a}");

  DWORD one = 1, two = 2;
  ASSERT_EQ(RegSetValueEx(key, L"zeta", REG_DWORD, &one, 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueEx(key, L"alpha", REG_DWORD, &two, 4), ERROR_SUCCESS);
  DWORD type;
  std::vector<uint8_t> data;
  ASSERT_EQ(RegEnumValue(key, 0, &name, &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(name, L"zeta");
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 0, 0, 0}));
  ASSERT_EQ(RegEnumValue(key, 1, &name, &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(name, L"alpha");
  EXPECT_EQ(RegEnumValue(key, 2, &name, &type, &data), ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST(Registry, BadHandles) {
  cvie::testing::ScopedCvieRoot root;
  HKEY key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  HKEY out;
  EXPECT_EQ(RegOpenKeyEx(nullptr, L"x", &out), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, L"x", nullptr), ERROR_INVALID_PARAMETER);
}

TEST(Registry, FollowsCvieRoot) {
  cvie::testing::ScopedCvieRoot first;
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, kOptions, L"FilterImage", 0), ERROR_SUCCESS);
  {
    cvie::testing::ScopedCvieRoot second;
    DWORD value;
    EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kOptions, L"FilterImage", &value),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegistryDumpForTesting(), "");
  }
  DWORD value = 9;
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kOptions, L"FilterImage", &value),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 0u);
}

TEST(Registry, DumpShowsEveryRootAndValueKind) {
  cvie::testing::ScopedCvieRoot root;
  ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Uninstall\\Corvane Filter",
                         L"DisplayName", L"Corvane Filter"),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, L"CLSID\\{X}", L"", L"Corvane IE BHO"),
            ERROR_SUCCESS);
  HKEY key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, L"", &key), ERROR_SUCCESS);
  const uint8_t raw[] = {0xAB, 0x01};
  ASSERT_EQ(RegSetValueEx(key, L"Raw", REG_BINARY, raw, 2), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegistryDumpForTesting(),
            "HKEY_CLASSES_ROOT\\CLSID\n"
            "HKEY_CLASSES_ROOT\\CLSID\\{X}\n"
            "  \"\" REG_SZ \"Corvane IE BHO\"\n"
            "HKEY_CURRENT_USER\n"
            "  \"Raw\" type 3, 2 bytes: AB 01\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Uninstall\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Uninstall\\Corvane Filter\n"
            "  \"DisplayName\" REG_SZ \"Corvane Filter\"\n");
}

TEST(Registry, TwoProcessesWritingAtOnceLoseNothing) {
  cvie::testing::ScopedCvieRoot root;
  constexpr int kValues = 1000;
  auto writer = [](const wchar_t* prefix) {
    pid_t pid = fork();
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kValues; ++i) {
        std::wstring name = prefix + std::to_wstring(i);
        if (RegSetDword(HKEY_CURRENT_USER, L"Software\\Concurrent", name, i) !=
            ERROR_SUCCESS) {
          ++failures;
        }
      }
      _exit(failures == 0 ? 0 : 1);
    }
    return pid;
  };
  pid_t a = writer(L"a");
  pid_t b = writer(L"b");
  for (pid_t pid : {a, b}) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, L"Software\\Concurrent", &key),
            ERROR_SUCCESS);
  int count = 0;
  std::wstring name;
  DWORD type;
  std::vector<uint8_t> data;
  while (RegEnumValue(key, count, &name, &type, &data) == ERROR_SUCCESS) ++count;
  RegCloseKey(key);
  EXPECT_EQ(count, 2 * kValues);
  for (const wchar_t* prefix : {L"a", L"b"}) {
    for (int i = 0; i < kValues; i += 97) {
      DWORD value = 0;
      EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, L"Software\\Concurrent",
                            prefix + std::to_wstring(i), &value),
                ERROR_SUCCESS);
      EXPECT_EQ(value, static_cast<DWORD>(i));
    }
  }
}

// A write waiting for another connection's lock on the store does not hold up
// this process's readers meanwhile (the store lets readers in during another
// connection's write), and lands once the lock is gone.
TEST(Registry, AWriteWaitingForAnotherLockLetsReadersThrough) {
  cvie::testing::ScopedCvieRoot root;
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, kOptions, L"FilterImage", 1), ERROR_SUCCESS);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((root.path() / "config" / "registry.db").c_str(), &other),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  std::atomic<bool> written{false};
  std::atomic<LONG> write_result{-1};
  std::thread writer([&] {
    write_result = RegSetDword(HKEY_CURRENT_USER, kOptions, L"FilterImage", 0);
    written = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(written) << "the write did not wait for the other connection's lock";
  auto started = std::chrono::steady_clock::now();
  DWORD value = 7;
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kOptions, L"FilterImage", &value),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5))
      << "the read queued behind the waiting write";
  EXPECT_FALSE(written);

  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  writer.join();
  sqlite3_close(other);
  EXPECT_EQ(write_result.load(), ERROR_SUCCESS);
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, kOptions, L"FilterImage", &value),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 0u);
}

TEST(Registry, ConcurrentThreadsShareHandlesAndKeys) {
  cvie::testing::ScopedCvieRoot root;
  HKEY shared;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, L"Software\\Threads", &shared),
            ERROR_SUCCESS);
  constexpr int kThreads = 4, kEach = 100;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        DWORD v = static_cast<DWORD>(t * 1000 + i);
        std::wstring name = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
        if (RegSetValueEx(shared, name, REG_DWORD, &v, 4) != ERROR_SUCCESS) ++failures[t];
        HKEY sub;
        if (RegCreateKeyEx(shared, L"Sub\\" + name, &sub) != ERROR_SUCCESS) {
          ++failures[t];
          continue;
        }
        DWORD read = 0, size = 4;
        if (RegQueryValueEx(shared, name, nullptr, &read, &size) != ERROR_SUCCESS ||
            read != v) {
          ++failures[t];
        }
        RegCloseKey(sub);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  HKEY sub;
  ASSERT_EQ(RegOpenKeyEx(shared, L"Sub", &sub), ERROR_SUCCESS);
  std::wstring name;
  DWORD count = 0;
  while (RegEnumKeyEx(sub, count, &name) == ERROR_SUCCESS) ++count;
  EXPECT_EQ(count, static_cast<DWORD>(kThreads * kEach));
  RegCloseKey(sub);
  RegCloseKey(shared);
}

}  // namespace
