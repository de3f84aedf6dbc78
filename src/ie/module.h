// ie/module.h
//
// The module's entry points: the entry run when a process loads the module
// (refusing the Windows shell), the class table in its fixed order, and the
// two COM exports DllCanUnloadNow and DllGetClassObject. Registration is in
// ie/registration.h.
//
// Thread safety: every function may be called from any thread.

#pragma once

#include <string>
#include <vector>

#include "platform/com.h"

namespace cvie {

constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD DLL_THREAD_ATTACH = 2;
constexpr DWORD DLL_THREAD_DETACH = 3;

// One class of the module, as registration writes it.
struct ModuleClass {
  const CLSID* clsid;
  const wchar_t* prog_id;              // version-dependent, e.g. "cvie.CVIEBHO.1"
  const wchar_t* independent_prog_id;  // e.g. "cvie.CVIEBHO"
  const wchar_t* description;          // e.g. "CVIEBHO Class"
  const wchar_t* threading_model;      // null: none written
};

// The classes in the order of the class table: CCommMgr, CHTMLMimeFilterPP,
// CNSHandler, CCVIEBHO, CCVButton. Also makes sure each is in the module's
// class table (ComModule), so DllGetClassObject finds it.
const std::vector<ModuleClass>& ModuleClasses();

// True when the module must refuse to load into the host at `host_path`:
// the lower-cased path's first "explorer.exe" ends the path. Pure.
bool IsShellHostPath(const std::wstring& host_path);

// The module entry. On process attach: FALSE for the shell (IsShellHostPath
// of `host_path`), otherwise builds the process's command configuration.
// TRUE in every other case.
BOOL ModuleEntry(DWORD reason, const std::wstring& host_path);

// S_OK when no object of the module lives and no class object is locked,
// else S_FALSE.
HRESULT DllCanUnloadNow();
// The class object of `clsid`, or CLASS_E_CLASSNOTAVAILABLE.
HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object);

}  // namespace cvie
