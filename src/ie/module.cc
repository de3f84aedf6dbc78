// The module entry, the class table and the COM exports.

#include "ie/module.h"

#include <algorithm>
#include <cwctype>

#include "comm/comm_mgr.h"
#include "ie/bho.h"
#include "ie/button.h"
#include "ie/ie_guids.h"
#include "platform/com_registry.h"
#include "ui/toolbar_cfg.h"

namespace cvie {

namespace {

constexpr wchar_t kShellExecutable[] = L"explorer.exe";
// The host path is read into this many characters.
constexpr size_t kHostPathChars = 260;

// CCommMgr makes itself through its own factory function.
HRESULT CreateCommMgr(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  CCommMgr* manager = nullptr;
  HRESULT hr = CCommMgr::CreateInstance(&manager);
  if (FAILED(hr)) return hr;
  hr = manager->QueryInterface(iid, object);
  manager->Release();
  return hr;
}

std::vector<ModuleClass> MakeClassTable() {
  ComModule& module = ComModule::Instance();
  module.AddClass(CLSID_CommMgr, &CreateCommMgr, L"CommMgr Class");
  module.AddClass(CLSID_CVIEBHO, &CreateComInstance<CCVIEBHO>, L"CVIEBHO Class");
  module.AddClass(CLSID_CVButton, &CreateComInstance<CCVButton>, L"CVButton Class");
  return {
      {&CLSID_CommMgr, L"cvie.CommMgr.1", L"cvie.CommMgr", L"CommMgr Class", nullptr},
      {&CLSID_HTMLMimeFilterPP, L"cvie.HTMLMimeFilterPP.1", L"cvie.HTMLMimeFilterPP",
       L"HTMLMimeFilterPP Class", L"Apartment"},
      {&CLSID_NSHandler, L"cvietb.NSHandler.1", L"cvietb.NSHandler", L"NSHandler Class",
       L"Apartment"},
      {&CLSID_CVIEBHO, L"cvie.CVIEBHO.1", L"cvie.CVIEBHO", L"CVIEBHO Class",
       L"Apartment"},
      {&CLSID_CVButton, L"cvietb.CVButton.1", L"cvietb.CVButton", L"CVButton Class",
       L"Apartment"},
  };
}

// The classes are in the table from the start, like those that add
// themselves.
const bool kClassesAdded = [] {
  ModuleClasses();
  return true;
}();

}  // namespace

const std::vector<ModuleClass>& ModuleClasses() {
  static const std::vector<ModuleClass> table = MakeClassTable();
  return table;
}

bool IsShellHostPath(const std::wstring& host_path) {
  std::wstring path = host_path.substr(0, kHostPathChars);
  std::transform(path.begin(), path.end(), path.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  size_t at = path.find(kShellExecutable);
  return at != std::wstring::npos &&
         path.compare(at, std::wstring::npos, kShellExecutable) == 0;
}

BOOL ModuleEntry(DWORD reason, const std::wstring& host_path) {
  if (reason == DLL_PROCESS_ATTACH) {
    if (IsShellHostPath(host_path)) return 0;
    ModuleClasses();
    ProcessToolbarCfg();  // builds the command configuration once
  }
  return 1;
}

HRESULT DllCanUnloadNow() { return ComModule::Instance().CanUnloadNow(); }

HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  ModuleClasses();
  return ComModule::Instance().GetClassObject(clsid, iid, object);
}

}  // namespace cvie
