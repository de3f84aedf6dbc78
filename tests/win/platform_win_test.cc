// The Windows implementations of the platform layers, run under Wine: the
// registry through advapi32, the named mutex and lock file, files, folders,
// text conversions and UUIDs.

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/uuid.h"

using namespace cvie;
using namespace cvie::platform;

namespace {

std::wstring Root() { return _wgetenv(L"CVIE_ROOT"); }

// A key of its own for each test, removed at the end.
class WinRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device device;
    base_ = L"Software\\Corvane\\WinTest" + std::to_wstring(device());
  }
  void TearDown() override {
    for (const wchar_t* sub : {L"\\A\\B", L"\\A", L""}) {
      RegDeleteKey(HKEY_CURRENT_USER, base_ + sub);
    }
  }
  std::wstring base_;
};

TEST_F(WinRegistry, ValuesRoundTripWithTheirTypes) {
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, base_, L"Name", L"Corvane \u00e9\u4e2d"),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, base_, L"Count", 0x12345678), ERROR_SUCCESS);
  std::wstring text;
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, base_, L"name", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"Corvane \u00e9\u4e2d");
  DWORD number = 0;
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, base_, L"COUNT", &number), ERROR_SUCCESS);
  EXPECT_EQ(number, 0x12345678u);
  // A getter of the wrong type, and a missing value, give 2.
  EXPECT_EQ(RegGetDword(HKEY_CURRENT_USER, base_, L"Name", &number),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, base_, L"Count", &text),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, base_, L"Missing", &text),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, base_ + L"\\Nowhere", L"Name", &text),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(WinRegistry, ShortBufferGivesMoreDataAndLeavesItAlone) {
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, base_, L"", L"default value"), ERROR_SUCCESS);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, base_, &key), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueEx(key, L"", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 14 * sizeof(wchar_t));
  wchar_t small[4] = {L'x', L'x', L'x', L'\0'};
  DWORD small_size = sizeof small;
  EXPECT_EQ(RegQueryValueEx(key, L"", &type, small, &small_size), ERROR_MORE_DATA);
  EXPECT_EQ(small_size, 14 * sizeof(wchar_t));
  EXPECT_EQ(std::wstring(small), L"xxx");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(WinRegistry, CreateTellsNewFromExistingAndDeleteRefusesKeysWithSubkeys) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, base_ + L"\\A\\B", &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, base_ + L"\\A\\B", &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);

  EXPECT_NE(RegDeleteKey(HKEY_CURRENT_USER, base_ + L"\\A"), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, base_ + L"\\A", &key), ERROR_SUCCESS);
  std::wstring name;
  EXPECT_EQ(RegEnumKeyEx(key, 0, &name), ERROR_SUCCESS);
  EXPECT_EQ(name, L"B");
  EXPECT_EQ(RegEnumKeyEx(key, 1, &name), ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, base_ + L"\\A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, base_ + L"\\A"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, base_ + L"\\A", &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(WinRegistry, ValuesEnumerateAndChangesAreCounted) {
  uint64_t before = RegistryChangeCount();
  ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, base_, L"First", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, base_, L"Second", L"two"), ERROR_SUCCESS);
  EXPECT_GT(RegistryChangeCount(), before);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, base_, &key), ERROR_SUCCESS);
  std::vector<std::wstring> names;
  for (DWORD i = 0;; ++i) {
    std::wstring name;
    DWORD type = 0;
    std::vector<uint8_t> data;
    if (RegEnumValue(key, i, &name, &type, &data) != ERROR_SUCCESS) break;
    names.push_back(name);
    if (name == L"First") {
      EXPECT_EQ(type, REG_DWORD);
      EXPECT_EQ(data.size(), 4u);
    }
  }
  EXPECT_EQ(names.size(), 2u);
  EXPECT_EQ(RegDeleteValue(key, L"First"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(key, L"First"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);

  std::string dump = RegistryDumpForTesting();
  std::string path = "HKEY_CURRENT_USER\\" + platform::ToNarrow(base_) + "\n";
  EXPECT_NE(dump.find(path + "  \"Second\" REG_SZ \"two\"\n"), std::string::npos) << dump;
}

TEST(WinSync, NamedMutexIsRecursiveAndExcludesOtherThreads) {
  auto mutex = NamedMutex::Open(L"CvieWinTestMutex");
  ASSERT_TRUE(mutex);
  EXPECT_TRUE(mutex->cross_process());
  mutex->Lock();
  EXPECT_TRUE(mutex->TryLock());  // the holder may lock again
  std::atomic<int> other{-1};
  std::thread([&] { other = mutex->TryLock() ? 1 : 0; }).join();
  EXPECT_EQ(other.load(), 0);
  mutex->Unlock();
  mutex->Unlock();
  std::thread([&] {
    other = mutex->TryLock() ? 1 : 0;
    if (other == 1) mutex->Unlock();
  }).join();
  EXPECT_EQ(other.load(), 1);
}

TEST(WinSync, ExclusiveFileLockHasOneHolderAndDeletesItsFile) {
  std::wstring path = Root() + L"\\background.lck";
  auto first = ExclusiveFileLock::Acquire(path);
  ASSERT_TRUE(first);
  EXPECT_TRUE(PathExists(path));
  EXPECT_FALSE(ExclusiveFileLock::Acquire(path));
  first.reset();
  EXPECT_FALSE(PathExists(path));
  EXPECT_TRUE(ExclusiveFileLock::Acquire(path));
  EXPECT_FALSE(ExclusiveFileLock::Acquire(Root() + L"\\no such folder\\x.lck"));
}

TEST(WinFiles, WholeFilesRenamesAndListings) {
  const std::wstring folder = Root() + L"\\files";
  ASSERT_TRUE(CreateFolderWithParents(folder + L"\\deeper\\still"));
  const std::wstring a = folder + L"\\a.txt", b = folder + L"\\b.txt";
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(a, std::string("one\0two", 7), &error)) << error;
  std::string contents;
  ASSERT_TRUE(ReadWholeFile(a, &contents));
  EXPECT_EQ(contents, std::string("one\0two", 7));
  uint64_t size = 0;
  EXPECT_TRUE(GetFileSize(a, &size));
  EXPECT_EQ(size, 7u);
  EXPECT_FALSE(GetFileSize(folder, &size));
  ASSERT_TRUE(WriteFileAtomically(b, "bee", &error));
  EXPECT_FALSE(RenameFile(a, b, false));  // an existing target is kept
  ASSERT_TRUE(ReadWholeFile(b, &contents));
  EXPECT_EQ(contents, "bee");
  EXPECT_TRUE(RenameFile(a, b, true));
  EXPECT_FALSE(PathExists(a));
  std::string stamp = FileVersionStamp(b);
  EXPECT_FALSE(stamp.empty());
  ASSERT_TRUE(WriteFileAtomically(b, "changed", &error));
  EXPECT_NE(FileVersionStamp(b), stamp);

  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(folder, &entries));
  ASSERT_EQ(entries.size(), 2u);
  for (const FolderEntry& entry : entries) {
    EXPECT_EQ(entry.is_folder, entry.name == L"deeper") << platform::ToNarrow(entry.name);
  }
  EXPECT_FALSE(ListFolder(folder + L"\\missing", &entries));
  EXPECT_TRUE(DeleteFileAt(b));
  EXPECT_FALSE(ReadWholeFile(b, &contents));
}

// What log rotation needs: the file written to may be renamed while open,
// IsAt then tells it moved, and Reopen goes on at the old name.
TEST(WinFiles, AppendFileFollowsARenameAndReopens) {
  const std::wstring current = Root() + L"\\log1.txt", previous = Root() + L"\\log2.txt";
  auto file = AppendFile::Open(current);
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->Write("first\n", 6));
  uint64_t size = 0;
  EXPECT_TRUE(file->IsAt(current, &size));
  EXPECT_EQ(size, 6u);
  ASSERT_TRUE(RenameFile(current, previous, false));
  EXPECT_FALSE(file->IsAt(current, &size));
  EXPECT_EQ(size, 0u);
  ASSERT_TRUE(file->Reopen(current));
  ASSERT_TRUE(file->Write("second\n", 7));
  EXPECT_TRUE(file->IsAt(current, &size));
  std::string text;
  ASSERT_TRUE(ReadWholeFile(previous, &text));
  EXPECT_EQ(text, "first\n");
  ASSERT_TRUE(ReadWholeFile(current, &text));
  EXPECT_EQ(text, "second\n");
  EXPECT_FALSE(AppendFile::Open(Root() + L"\\missing\\log1.txt"));
}

TEST(WinShell, FoldersFollowCvieRootWithBackslashes) {
  EXPECT_EQ(kPathSeparator, L'\\');
  std::wstring path;
  ASSERT_TRUE(GetProgramFilesFolder(true, &path));
  EXPECT_EQ(path, Root() + L"\\share");
  EXPECT_TRUE(PathExists(path));
  ASSERT_TRUE(GetDocumentsFolder(false, &path));
  EXPECT_EQ(path, Root() + L"\\Documents");
  EXPECT_EQ(ConfigFolder(), Root() + L"\\config");
  EXPECT_EQ(RuntimeFolder(), Root() + L"\\run");
  EXPECT_EQ(CurrentDriveRoot(), Root());
  std::wstring user;
  EXPECT_TRUE(GetUserName(&user));
  EXPECT_FALSE(user.empty());
}

TEST(WinText, Utf16ConversionsReplaceWhatIsMalformed) {
  const std::wstring wide = L"a\u00e9\u4e2d\U0001F600";
  EXPECT_EQ(wide.size(), 5u);  // the last character is a surrogate pair here
  EXPECT_EQ(platform::ToNarrow(wide), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(platform::ToWide(platform::ToNarrow(wide)), wide);
  EXPECT_EQ(platform::ToWide("x\xFFy"), L"x\uFFFDy");
  EXPECT_EQ(platform::FoldCase(L"ABC \u00C4\u00D6"), L"abc \u00E4\u00F6");
}

bool Format(std::wstring* out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = platform::FormatWideV(out, format, args);
  va_end(args);
  return ok;
}

TEST(WinText, FormatTakesEightBitStringsAndGrows) {
  std::wstring out;
  ASSERT_TRUE(Format(&out, L"[%s] %d %ls", "narrow", 42, L"wide"));
  EXPECT_EQ(out, L"[narrow] 42 wide");
  std::string big(5000, 'z');
  ASSERT_TRUE(Format(&out, L"<%s>", big.c_str()));
  EXPECT_EQ(out.size(), 5002u);
}

TEST(WinUuid, SequentialUuidsAreDistinctAndPrintedLowerCase) {
  UUID first, second;
  ASSERT_EQ(UuidCreateSequential(&first), RPC_S_OK);
  ASSERT_EQ(UuidCreateSequential(&second), RPC_S_OK);
  std::wstring a = UuidToString(first), b = UuidToString(second);
  EXPECT_NE(a, b);
  ASSERT_EQ(a.size(), 36u);
  for (size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ(a[i], L'-');
  for (wchar_t ch : a) EXPECT_TRUE(ch == L'-' || iswxdigit(ch)) << platform::ToNarrow(a);
  EXPECT_EQ(a, platform::FoldCase(a));
}

TEST(WinProcess, PathsAreThoseOfTheRunningProgram) {
  std::wstring exe = ExecutablePath();
  EXPECT_EQ(platform::FoldCase(exe.substr(exe.size() - 4)), L".exe");
  EXPECT_EQ(ModuleFilePath(), exe);  // linked into the program itself
  EXPECT_NE(GetCurrentProcessId(), 0u);
  uint64_t total = 0, available = 0;
  EXPECT_TRUE(GetDiskFreeClusters(&total, &available));
  EXPECT_GE(total, available);
}

}  // namespace
