// Registration and unregistration of the module.

#include "ie/registration.h"

#include "comm/comm_mgr.h"
#include "config/options.h"
#include "ie/ie_guids.h"
#include "ie/module.h"
#include "platform/data_folders.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace cvie {

using platform::HKEY;
using platform::HKEY_CLASSES_ROOT;
using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;

const GUID APPID_cvie = {
    0x3F1C9A52, 0x8B7D, 0x4E21, {0x9A, 0x41, 0x6C, 0x2E, 0x0B, 0x7F, 0x58, 0xD3}};
const GUID kToolbarExtensionId = {
    0x6E0A4C8B, 0x1D35, 0x4F9A, {0xB2, 0x67, 0x90, 0x4C, 0xE1, 0x3A, 0x7D, 0x15}};
const GUID kCodeDownloadPackageIds[3] = {
    {0x0B9E5D21, 0x6A4C, 0x47F3, {0x8D, 0x12, 0x3E, 0x7B, 0x90, 0xA4, 0xC6, 0x58}},
    {0x54C7E8A0, 0x2F19, 0x4B6D, {0xA3, 0x8E, 0x71, 0x05, 0xD2, 0x9C, 0x4B, 0xE6}},
    {0xA1D03F77, 0xC85B, 0x4E0A, {0x96, 0x2D, 0x5F, 0x18, 0xB7, 0xE3, 0x04, 0x9A}},
};

namespace {

constexpr size_t kModulePathChars = 259;
constexpr size_t kSubkeyNameChars = 260;
constexpr int kIconResource = 201;

constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kBhoKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\";
constexpr wchar_t kApprovedKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
constexpr wchar_t kExtensionsKey[] =
    L"Software\\Microsoft\\Internet Explorer\\Extensions\\";
constexpr wchar_t kDistributionUnitsKey[] =
    L"SOFTWARE\\Microsoft\\Code Store Database\\Distribution Units\\";
constexpr wchar_t kPluginKey[] = L"Software\\Corvane\\IE Plugin";
constexpr wchar_t kBhoDescription[] = L"Corvane IE BHO";
constexpr wchar_t kDisplayName[] = L"Corvane Filter";
constexpr wchar_t kTypeLibVersionKey[] = L"1.0";
constexpr wchar_t kTypeLibHelp[] = L"cvie 1.0 Type Library";

// Where the writes of the running registration are listed (null: nowhere).
thread_local std::vector<std::string>* t_written = nullptr;

const char* RootName(HKEY root) {
  if (root == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  if (root == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (root == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  return "?";
}

// The standard COM registration of the module writes through this: every
// failure turns the result into E_FAIL and the remaining entries are still
// tried.
struct ScriptWriter {
  HRESULT result = S_OK;
  void Write(HKEY root, const std::wstring& key, const wchar_t* name,
             const wchar_t* text) {
    if (!WriteRegistryString(root, key, name, text)) result = E_FAIL;
  }
};

std::wstring ModuleFolder(const std::wstring& path) {
  size_t slash = path.find_last_of(platform::kPathSeparator);
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// Custom step 2: the browser helper object's entries.
void RegisterHelperObject(const std::wstring& module_path) {
  std::wstring clsid = CLSID_CVIEBHO.WideText();
  std::wstring class_key = L"CLSID\\" + clsid;
  if (!WriteRegistryString(HKEY_CLASSES_ROOT, class_key, nullptr, kBhoDescription))
    return;
  std::wstring server_key = class_key + L"\\InprocServer32";
  if (!WriteRegistryString(HKEY_CLASSES_ROOT, server_key, nullptr, module_path.c_str()))
    return;
  if (!WriteRegistryString(HKEY_CLASSES_ROOT, server_key, L"ThreadingModel",
                           L"Apartment"))
    return;
  if (!WriteRegistryString(HKEY_LOCAL_MACHINE, kBhoKey + clsid, nullptr, nullptr)) return;
  // This platform counts as the NT family: the approval is written.
  WriteRegistryString(HKEY_LOCAL_MACHINE, kApprovedKey, clsid.c_str(), kBhoDescription);
}

// Custom step 3: the uninstall entry. The registration tool is this program.
void RegisterUninstallEntry(const std::wstring& module_path) {
  std::wstring key = std::wstring(kUninstallKey) + kDisplayName;
  std::wstring icon = module_path + L",-" + std::to_wstring(kIconResource);
  std::wstring uninstall = module_path + L" unregister";
  if (!WriteRegistryString(HKEY_LOCAL_MACHINE, key, L"DisplayIcon", icon.c_str())) return;
  if (!WriteRegistryString(HKEY_LOCAL_MACHINE, key, L"DisplayName", kDisplayName)) return;
  WriteRegistryString(HKEY_LOCAL_MACHINE, key, L"UninstallString", uninstall.c_str());
}

// Custom step 4: the toolbar button.
void RegisterToolbarButton(const std::wstring& module_path) {
  std::wstring key = kExtensionsKey + kToolbarExtensionId.WideText();
  std::wstring icon = module_path + L"," + std::to_wstring(kIconResource);
  std::wstring button = CLSID_CVButton.WideText();
  const wchar_t* const values[][2] = {
      {L"Default Visible", L"Yes"},
      {L"ButtonText", L"Corvane"},
      {L"HotIcon", icon.c_str()},
      {L"Icon", icon.c_str()},
      {L"CLSID", kToolbarButtonExtensionClass},
      {L"ClsidExtension", button.c_str()},
  };
  for (const auto& v : values)
    if (!WriteRegistryString(HKEY_LOCAL_MACHINE, key, v[0], v[1])) return;
}

// The standard COM registration: application script, class scripts in
// table order, type library.
HRESULT RegisterComServer(const std::wstring& module_path) {
  ScriptWriter w;
  std::wstring app_id = APPID_cvie.WideText();
  w.Write(HKEY_CLASSES_ROOT, L"AppID\\" + app_id, nullptr, L"cvie");
  w.Write(HKEY_CLASSES_ROOT, L"AppID\\cvie.DLL", L"AppID", app_id.c_str());
  std::wstring lib_id = LIBID_cvieLib.WideText();
  for (const ModuleClass& c : ModuleClasses()) {
    std::wstring clsid = c.clsid->WideText();
    w.Write(HKEY_CLASSES_ROOT, c.prog_id, nullptr, c.description);
    w.Write(HKEY_CLASSES_ROOT, std::wstring(c.prog_id) + L"\\CLSID", nullptr,
            clsid.c_str());
    w.Write(HKEY_CLASSES_ROOT, c.independent_prog_id, nullptr, c.description);
    w.Write(HKEY_CLASSES_ROOT, std::wstring(c.independent_prog_id) + L"\\CLSID", nullptr,
            clsid.c_str());
    w.Write(HKEY_CLASSES_ROOT, std::wstring(c.independent_prog_id) + L"\\CurVer", nullptr,
            c.prog_id);
    std::wstring class_key = L"CLSID\\" + clsid;
    DeleteRegistryTree(HKEY_CLASSES_ROOT, class_key);  // replaced whole
    w.Write(HKEY_CLASSES_ROOT, class_key, nullptr, c.description);
    w.Write(HKEY_CLASSES_ROOT, class_key + L"\\ProgID", nullptr, c.prog_id);
    w.Write(HKEY_CLASSES_ROOT, class_key + L"\\VersionIndependentProgID", nullptr,
            c.independent_prog_id);
    w.Write(HKEY_CLASSES_ROOT, class_key + L"\\Programmable", nullptr, nullptr);
    w.Write(HKEY_CLASSES_ROOT, class_key + L"\\InprocServer32", nullptr,
            module_path.c_str());
    if (c.threading_model)
      w.Write(HKEY_CLASSES_ROOT, class_key + L"\\InprocServer32", L"ThreadingModel",
              c.threading_model);
    w.Write(HKEY_CLASSES_ROOT, class_key, L"AppID", app_id.c_str());
    w.Write(HKEY_CLASSES_ROOT, class_key + L"\\TypeLib", nullptr, lib_id.c_str());
  }
  std::wstring lib_key = L"TypeLib\\" + lib_id + L"\\" + kTypeLibVersionKey;
  w.Write(HKEY_CLASSES_ROOT, lib_key, nullptr, kTypeLibHelp);
  w.Write(HKEY_CLASSES_ROOT, lib_key + L"\\0\\win32", nullptr, module_path.c_str());
  w.Write(HKEY_CLASSES_ROOT, lib_key + L"\\FLAGS", nullptr, L"0");
  w.Write(HKEY_CLASSES_ROOT, lib_key + L"\\HELPDIR", nullptr,
          ModuleFolder(module_path).c_str());
  return w.result;
}

// A missing key or value is not a failure of the removal.
bool RemovalFailed(LONG rc) {
  return rc != platform::ERROR_SUCCESS && rc != platform::ERROR_FILE_NOT_FOUND;
}

HRESULT UnregisterComServer() {
  HRESULT result = S_OK;
  for (const ModuleClass& c : ModuleClasses()) {
    const std::wstring keys[] = {c.prog_id, c.independent_prog_id,
                                 L"CLSID\\" + c.clsid->WideText()};
    for (const std::wstring& key : keys)
      if (RemovalFailed(DeleteRegistryTree(HKEY_CLASSES_ROOT, key))) result = E_FAIL;
  }
  if (RemovalFailed(
          DeleteRegistryTree(HKEY_CLASSES_ROOT, L"TypeLib\\" + LIBID_cvieLib.WideText())))
    result = E_FAIL;
  if (SUCCEEDED(result)) {
    if (RemovalFailed(
            DeleteRegistryTree(HKEY_CLASSES_ROOT, L"AppID\\" + APPID_cvie.WideText())))
      result = E_FAIL;
    if (RemovalFailed(DeleteRegistryTree(HKEY_CLASSES_ROOT, L"AppID\\cvie.DLL")))
      result = E_FAIL;
  }
  return result;
}

}  // namespace

bool WriteRegistryString(HKEY root, const std::wstring& key, const wchar_t* name,
                         const wchar_t* text) {
  HKEY handle = nullptr;
  if (platform::RegCreateKeyEx(root, key, &handle) != platform::ERROR_SUCCESS)
    return false;
  if (t_written)
    t_written->push_back(std::string(RootName(root)) + "\\" + platform::ToNarrow(key));
  if (text) {
    std::wstring value_name = name ? name : L"";
    std::wstring value(text);
    platform::RegSetValueEx(handle, value_name, platform::REG_SZ, value.c_str(),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (t_written)
      t_written->push_back("  \"" + platform::ToNarrow(value_name) + "\" = \"" +
                           platform::ToNarrow(value) + "\"");
  }
  platform::RegCloseKey(handle);
  return true;
}

LONG DeleteRegistryValue(HKEY root, const std::wstring& key, const std::wstring& name) {
  HKEY handle = nullptr;
  LONG rc = platform::RegOpenKeyEx(root, key, &handle);
  if (rc != platform::ERROR_SUCCESS) return rc;
  rc = platform::RegDeleteValue(handle, name);
  platform::RegCloseKey(handle);
  return rc;
}

LONG DeleteRegistryTree(HKEY root, const std::wstring& key) {
  if (key.empty()) return platform::ERROR_BADKEY;
  HKEY handle = nullptr;
  LONG rc = platform::RegOpenKeyEx(root, key, &handle);
  if (rc != platform::ERROR_SUCCESS) return rc;
  while (rc == platform::ERROR_SUCCESS) {
    wchar_t name[kSubkeyNameChars];
    DWORD chars = kSubkeyNameChars;
    rc = platform::RegEnumKeyEx(handle, 0, name, &chars);
    if (rc == platform::ERROR_SUCCESS)
      rc = DeleteRegistryTree(handle, std::wstring(name, chars));
  }
  if (rc == platform::ERROR_NO_MORE_ITEMS) rc = platform::RegDeleteKey(root, key);
  platform::RegCloseKey(handle);
  return rc;
}

std::wstring RegisteredModulePath() {
  std::wstring path = platform::ModuleFilePath();
  if (path.size() > kModulePathChars) path.resize(kModulePathChars);
  return path;
}

HRESULT RegisterModule(std::vector<std::string>* written) {
  std::vector<std::string>* previous = t_written;
  t_written = written;
  std::wstring module_path = RegisteredModulePath();
  DeleteRegistryTree(HKEY_LOCAL_MACHINE, std::wstring(kUninstallKey) + L"Corvane Plugin");
  RegisterHelperObject(module_path);
  RegisterUninstallEntry(module_path);
  RegisterToolbarButton(module_path);
  DeleteRegistryValue(HKEY_CURRENT_USER, kOptionsKeyPath, L"FirstOpen");
  HRESULT result = RegisterComServer(module_path);
  t_written = previous;
  return result;
}

HRESULT UnregisterModule() {
  DeleteRegistryTree(HKEY_CURRENT_USER, kPluginKey);
  std::wstring bho = CLSID_CVIEBHO.WideText();
  DeleteRegistryValue(HKEY_LOCAL_MACHINE, kApprovedKey, bho);
  DeleteRegistryTree(HKEY_LOCAL_MACHINE, kBhoKey + bho);
  DeleteRegistryTree(HKEY_CLASSES_ROOT, L"CLSID\\" + bho);
  DeleteRegistryTree(HKEY_LOCAL_MACHINE, std::wstring(kUninstallKey) + kDisplayName);
  DeleteRegistryValue(HKEY_CLASSES_ROOT, L"PROTOCOLS\\Filter\\text/html", L"CLSID");
  DeleteRegistryTree(HKEY_LOCAL_MACHINE, kExtensionsKey + kToolbarExtensionId.WideText());
  for (const GUID& id : kCodeDownloadPackageIds) {
    DeleteRegistryTree(HKEY_CLASSES_ROOT, L"CLSID\\" + id.WideText());
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kDistributionUnitsKey + id.WideText());
  }
  HRESULT result = UnregisterComServer();
  const std::wstring& shared = platform::SharedFolderPath();
  if (!shared.empty()) platform::DeleteFolderTree(shared);
  return result;
}

HRESULT DllRegisterServer() { return RegisterModule(nullptr); }
HRESULT DllUnregisterServer() { return UnregisterModule(); }

}  // namespace cvie
