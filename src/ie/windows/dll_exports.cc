// The module entry of cvie.dll: DllMain and the four exports of an
// in-process COM server, each handing over to the module's own functions
// (ie/module.h, ie/registration.h). Our interfaces have the system's vtable
// layout (platform/com.h), so the class objects DllGetClassObject returns go
// to ole32 as they are; only the pointer types of the signatures differ.

#include "ie/module.h"
#include "ie/registration.h"
#include "platform/process.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <objbase.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return cvie::ModuleEntry(
      static_cast<cvie::DWORD>(reason),
      reason == DLL_PROCESS_ATTACH ? cvie::platform::ExecutablePath() : std::wstring());
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  return cvie::DllGetClassObject(reinterpret_cast<const cvie::CLSID&>(clsid),
                                 reinterpret_cast<const cvie::IID&>(iid), object);
}

STDAPI DllCanUnloadNow() { return cvie::DllCanUnloadNow(); }

STDAPI DllRegisterServer() { return cvie::DllRegisterServer(); }

STDAPI DllUnregisterServer() { return cvie::DllUnregisterServer(); }
