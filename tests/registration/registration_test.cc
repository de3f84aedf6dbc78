// Registration, unregistration, the registry helpers, the module entry and
// the COM exports.

#include "ie/registration.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "comm/comm_mgr.h"
#include "comm/user_identity.h"
#include "config/options.h"
#include "ie/ie_guids.h"
#include "ie/module.h"
#include "platform/com_registry.h"
#include "platform/data_folders.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "registration/registration_fixture.h"

using namespace cvie;
using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;

namespace {

std::wstring Value(platform::HKEY root, const std::wstring& key,
                   const std::wstring& name) {
  std::wstring value;
  if (platform::RegGetString(root, key, name, &value) != platform::ERROR_SUCCESS)
    return L"<missing>";
  return value;
}

bool KeyExists(platform::HKEY root, const std::wstring& key) {
  platform::HKEY handle = nullptr;
  if (platform::RegOpenKeyEx(root, key, &handle) != platform::ERROR_SUCCESS) return false;
  platform::RegCloseKey(handle);
  return true;
}

TEST(Registration, WritesTheBrowserEntriesAndTheClasses) {
  ASSERT_EQ(DllRegisterServer(), S_OK);
  const std::wstring path = RegisteredModulePath();
  ASSERT_FALSE(path.empty());
  const std::wstring bho = CLSID_CVIEBHO.WideText();
  const std::wstring ext = L"Software\\Microsoft\\Internet Explorer\\Extensions\\" +
                           kToolbarExtensionId.WideText();
  const std::wstring uninstall =
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvane Filter";
  struct Case {
    platform::HKEY root;
    std::wstring key, name, value;
  } cases[] = {
      {HKEY_CLASSES_ROOT, L"CLSID\\" + bho, L"", L"CVIEBHO Class"},
      {HKEY_CLASSES_ROOT, L"CLSID\\" + bho + L"\\InprocServer32", L"", path},
      {HKEY_CLASSES_ROOT, L"CLSID\\" + bho + L"\\InprocServer32", L"ThreadingModel",
       L"Apartment"},
      {HKEY_LOCAL_MACHINE,
       L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved", bho,
       L"Corvane IE BHO"},
      {HKEY_LOCAL_MACHINE, uninstall, L"DisplayName", L"Corvane Filter"},
      {HKEY_LOCAL_MACHINE, uninstall, L"DisplayIcon", path + L",-201"},
      {HKEY_LOCAL_MACHINE, uninstall, L"UninstallString", path + L" unregister"},
      {HKEY_LOCAL_MACHINE, ext, L"Default Visible", L"Yes"},
      {HKEY_LOCAL_MACHINE, ext, L"ButtonText", L"Corvane"},
      {HKEY_LOCAL_MACHINE, ext, L"Icon", path + L",201"},
      {HKEY_LOCAL_MACHINE, ext, L"HotIcon", path + L",201"},
      {HKEY_LOCAL_MACHINE, ext, L"CLSID", L"{1FBA04EE-3024-11d2-8F1F-0000F87ABD16}"},
      {HKEY_LOCAL_MACHINE, ext, L"ClsidExtension", CLSID_CVButton.WideText()},
      {HKEY_CLASSES_ROOT, L"cvietb.CVButton\\CurVer", L"", L"cvietb.CVButton.1"},
      {HKEY_CLASSES_ROOT, L"cvie.CommMgr.1\\CLSID", L"", CLSID_CommMgr.WideText()},
      {HKEY_CLASSES_ROOT, L"CLSID\\" + CLSID_CommMgr.WideText() + L"\\InprocServer32",
       L"ThreadingModel", L"<missing>"},
      {HKEY_CLASSES_ROOT, L"CLSID\\" + CLSID_NSHandler.WideText() + L"\\ProgID", L"",
       L"cvietb.NSHandler.1"},
      {HKEY_CLASSES_ROOT, L"CLSID\\" + CLSID_HTMLMimeFilterPP.WideText(), L"AppID",
       APPID_cvie.WideText()},
      {HKEY_CLASSES_ROOT, L"CLSID\\" + CLSID_HTMLMimeFilterPP.WideText() + L"\\TypeLib",
       L"", LIBID_cvieLib.WideText()},
      {HKEY_CLASSES_ROOT, L"AppID\\" + APPID_cvie.WideText(), L"", L"cvie"},
      {HKEY_CLASSES_ROOT, L"AppID\\cvie.DLL", L"AppID", APPID_cvie.WideText()},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Value(c.root, c.key, c.name), c.value)
        << platform::ToNarrow(c.key + L" " + c.name);
  EXPECT_TRUE(
      KeyExists(HKEY_LOCAL_MACHINE,
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser "
                L"Helper Objects\\" +
                    bho));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + bho + L"\\Programmable"));
}

TEST(Registration, RegisteringTwiceEqualsOnce) {
  ASSERT_EQ(DllRegisterServer(), S_OK);
  std::string once = platform::RegistryDumpForTesting();
  ASSERT_EQ(DllRegisterServer(), S_OK);
  EXPECT_EQ(platform::RegistryDumpForTesting(), once);
}

TEST(Registration, ResetsTheFirstOpenMarkerAndKeepsOtherOptions) {
  ASSERT_EQ(platform::RegSetDword(HKEY_CURRENT_USER, kOptionsKeyPath, L"FirstOpen", 2),
            0);
  ASSERT_EQ(platform::RegSetDword(HKEY_CURRENT_USER, kOptionsKeyPath, L"FilterImage", 0),
            0);
  ASSERT_EQ(DllRegisterServer(), S_OK);
  DWORD value = 0;
  EXPECT_EQ(
      platform::RegGetDword(HKEY_CURRENT_USER, kOptionsKeyPath, L"FirstOpen", &value),
      platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(
      platform::RegGetDword(HKEY_CURRENT_USER, kOptionsKeyPath, L"FilterImage", &value),
      platform::ERROR_SUCCESS);
}

TEST(Registration, PrintListsEveryKeyAndValueWritten) {
  std::vector<std::string> written;
  ASSERT_EQ(RegisterModule(&written), S_OK);
  auto has = [&](const std::string& line) {
    return std::find(written.begin(), written.end(), line) != written.end();
  };
  EXPECT_TRUE(
      has("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Internet Explorer\\Extensions\\" +
          kToolbarExtensionId.Text()));
  EXPECT_TRUE(has("  \"ButtonText\" = \"Corvane\""));
  EXPECT_TRUE(has("  \"\" = \"CVIEBHO Class\""));
  // Every value line follows the line of its key.
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written[0].rfind("HKEY_", 0), 0u);
}

TEST(Unregistration, RemovesEntriesOptionsIdentityAndTheSharedFolder) {
  platform::CreateDataFolders();
  std::filesystem::path shared(platform::ToNarrow(platform::SharedFolderPath()));
  cvie::testing::WriteFile(shared / "cvie.ver", "version text\n");
  std::filesystem::create_directories(shared / "nested" / "deeper");
  cvie::testing::WriteFile(shared / "nested" / "deeper" / "file.txt", "x");
  ASSERT_TRUE(EnsureUserIdentity());
  ASSERT_EQ(platform::RegSetDword(HKEY_CURRENT_USER, kOptionsKeyPath, L"FilterImage", 0),
            0);
  ASSERT_EQ(platform::RegSetString(HKEY_CLASSES_ROOT, L"PROTOCOLS\\Filter\\text/html",
                                   L"CLSID", CLSID_HTMLMimeFilterPP.WideText()),
            0);
  ASSERT_EQ(DllRegisterServer(), S_OK);

  ASSERT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kOptionsKeyPath));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserInfoKey));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Corvane\\IE Plugin"));
  EXPECT_FALSE(std::filesystem::exists(shared));
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, L"PROTOCOLS\\Filter\\text/html", L"CLSID"),
            L"<missing>");

  // Nothing of the module is left: no class, ProgID, extension or entry.
  std::string dump = platform::RegistryDumpForTesting();
  for (const ModuleClass& c : ModuleClasses()) {
    EXPECT_EQ(dump.find(c.clsid->Text()), std::string::npos)
        << platform::ToNarrow(c.prog_id);
    EXPECT_EQ(dump.find(platform::ToNarrow(c.independent_prog_id)), std::string::npos)
        << platform::ToNarrow(c.prog_id);
  }
  // Only the empty parent "Software\\Corvane" of the removed tree stays.
  for (const char* text :
       {"IE Plugin", "Corvane Filter", "Corvane IE BHO", "\"Corvane\""})
    EXPECT_EQ(dump.find(text), std::string::npos) << text << "\n" << dump;
  EXPECT_EQ(dump.find(kToolbarExtensionId.Text()), std::string::npos);
  EXPECT_EQ(dump.find(APPID_cvie.Text()), std::string::npos);
  EXPECT_EQ(dump.find(LIBID_cvieLib.Text()), std::string::npos);

  // Unregistering again finds nothing to remove and still succeeds.
  EXPECT_EQ(DllUnregisterServer(), S_OK);
}

TEST(RegistryHelpers, DeleteTreeRemovesNestedKeysDepthFirst) {
  const std::wstring root = L"Software\\Tree";
  ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, root + L"\\a\\b\\c", L"v", L"1"));
  ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, root + L"\\a\\d", nullptr, L"2"));
  ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, root + L"\\e", nullptr, nullptr));
  ASSERT_TRUE(
      WriteRegistryString(HKEY_CURRENT_USER, L"Software\\Sibling", nullptr, L"3"));
  EXPECT_EQ(DeleteRegistryTree(HKEY_CURRENT_USER, root), platform::ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, root));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Sibling"));

  struct Case {
    const wchar_t* key;
    LONG expected;
  } cases[] = {{L"", platform::ERROR_BADKEY},
               {L"Software\\Tree", platform::ERROR_FILE_NOT_FOUND}};
  for (const Case& c : cases)
    EXPECT_EQ(DeleteRegistryTree(HKEY_CURRENT_USER, c.key), c.expected)
        << platform::ToNarrow(c.key);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Sibling"));
}

TEST(RegistryHelpers, WriteAndDeleteValues) {
  EXPECT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, L"Software\\K", L"name", L"text"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, L"Software\\K", L"name"), L"text");
  EXPECT_TRUE(
      WriteRegistryString(HKEY_CURRENT_USER, L"Software\\K", nullptr, L"default"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, L"Software\\K", L""), L"default");
  EXPECT_EQ(DeleteRegistryValue(HKEY_CURRENT_USER, L"Software\\K", L"name"), 0);
  EXPECT_EQ(DeleteRegistryValue(HKEY_CURRENT_USER, L"Software\\K", L"name"),
            platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(DeleteRegistryValue(HKEY_CURRENT_USER, L"Software\\Missing", L"name"),
            platform::ERROR_FILE_NOT_FOUND);
}

struct HostCase {
  const wchar_t* path;
  bool refused;
};
const HostCase kHosts[] = {
    {L"C:\\WINDOWS\\EXPLORER.EXE", true},
    {L"c:\\windows\\explorer.exe", true},
    {L"C:\\Windows\\Explorer.Exe", true},
    {L"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE", false},
    {L"c:\\tools\\explorer.exe.bak\\runner.exe", false},
    {L"c:\\tools\\explorer.exe2", false},
    {L"/usr/bin/cvie", false},
    {L"", false},
};

TEST(ModuleEntry, RefusesTheShellOnly) {
  for (const HostCase& c : kHosts) {
    EXPECT_EQ(IsShellHostPath(c.path), c.refused) << platform::ToNarrow(c.path);
    EXPECT_EQ(ModuleEntry(DLL_PROCESS_ATTACH, c.path), c.refused ? 0 : 1)
        << platform::ToNarrow(c.path);
    EXPECT_EQ(ModuleEntry(DLL_THREAD_ATTACH, c.path), 1) << platform::ToNarrow(c.path);
  }
}

TEST(ModuleExports, GiveEveryClassObjectAndCountLiveObjects) {
  for (const ModuleClass& c : ModuleClasses()) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(DllGetClassObject(*c.clsid, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory)),
              S_OK)
        << platform::ToNarrow(c.prog_id);
    IUnknown* object = nullptr;
    EXPECT_EQ(
        factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
        S_OK)
        << platform::ToNarrow(c.prog_id);
    if (object) object->Release();
    factory->Release();
  }
  void* out = nullptr;
  EXPECT_EQ(DllGetClassObject(kToolbarExtensionId, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);

  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_CVButton, IID_IClassFactory,
                              reinterpret_cast<void**>(&factory)),
            S_OK);
  IUnknown* button = nullptr;
  ASSERT_EQ(
      factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&button)),
      S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  button->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  factory->LockServer(1);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  factory->LockServer(0);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace
