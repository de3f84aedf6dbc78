// cvie_win_com_probe.exe CLSID...
//
// Creates each class through the system's COM (ole32 finds the registered
// cvie.dll, loads it and asks its DllGetClassObject), asks the object for
// IUnknown and IDispatch through its vtable, and releases it: the module's
// objects work when the system calls them. Prints one line per class and
// exits 0 when every class was created and answered.

#include <objbase.h>
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    fprintf(stderr, "CoInitializeEx failed\n");
    return 1;
  }
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    CLSID clsid;
    if (FAILED(CLSIDFromString(argv[i], &clsid))) {
      fprintf(stderr, "%ls: not a CLSID\n", argv[i]);
      ++failures;
      continue;
    }
    IUnknown* object = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&object));
    if (FAILED(hr)) {
      printf("%ls: CoCreateInstance 0x%08lX\n", argv[i], static_cast<unsigned long>(hr));
      ++failures;
      continue;
    }
    IDispatch* dispatch = nullptr;
    HRESULT qi =
        object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    UINT infos = 99;
    if (SUCCEEDED(qi)) {
      dispatch->GetTypeInfoCount(&infos);
      dispatch->Release();
    }
    IUnknown* again = nullptr;
    HRESULT unk = object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again));
    bool same = SUCCEEDED(unk) && again == object;
    if (again) again->Release();
    ULONG left = object->Release();
    printf("%ls: created, IDispatch 0x%08lX, IUnknown %s, references left %lu\n", argv[i],
           static_cast<unsigned long>(qi), same ? "same" : "differs",
           static_cast<unsigned long>(left));
    if (!same || left != 0) ++failures;
  }
  CoFreeUnusedLibraries();
  CoUninitialize();
  return failures == 0 ? 0 : 1;
}
