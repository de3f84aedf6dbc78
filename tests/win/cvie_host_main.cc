// cvie_host.exe fetch URL
//
// A small browser stand-in for the Windows module: creates the registered
// helper object through the system's COM (CoCreateInstance, as the browser
// does), gives it a minimal site so it runs its start sequence (folders, rule
// file check, rules, MIME filter and namespace handler registered in the
// system's URL-moniker session), binds URL through urlmon
// (URLOpenBlockingStreamW) and writes the bytes read to stdout. Then it takes
// the site away (the stop sequence). Exit 0 when the page was read, 1 with
// the failing call and its code on stderr otherwise.
//
// The module filters pages only in the browser's process (a host whose path
// contains "iexplore.exe"); tests run a copy of this program by that name.

#include <exdisp.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <ocidl.h>
#include <stdio.h>
#include <urlmon.h>
#include <wchar.h>

namespace {

const wchar_t kHelperObject[] = L"{DA8B10C0-D2C8-4F5B-A307-320D57843BB2}";

// The site: one static object that answers IUnknown and IWebBrowser2. The
// helper object only asks it for interfaces; every browser method answers
// E_NOTIMPL (one function serves every slot: on x64 the caller cleans up the
// arguments, so a method that ignores them may stand for any of them).
struct Site {
  void** vtable;
};
HRESULT STDMETHODCALLTYPE NotImplemented() { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE SiteQueryInterface(Site* self, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWebBrowser2)) {
    *out = self;
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE SiteAddRef(Site*) { return 2; }  // static: never freed
ULONG STDMETHODCALLTYPE SiteRelease(Site*) { return 1; }
// IWebBrowser2 has fewer slots than this.
void* g_site_vtable[96];
Site g_site{g_site_vtable};

int Fail(const char* what, HRESULT hr) {
  fprintf(stderr, "%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
  return 1;
}

int Fetch(const wchar_t* url) {
  for (void*& slot : g_site_vtable) slot = reinterpret_cast<void*>(&NotImplemented);
  g_site_vtable[0] = reinterpret_cast<void*>(&SiteQueryInterface);
  g_site_vtable[1] = reinterpret_cast<void*>(&SiteAddRef);
  g_site_vtable[2] = reinterpret_cast<void*>(&SiteRelease);

  CLSID clsid;
  CLSIDFromString(kHelperObject, &clsid);
  IObjectWithSite* helper = nullptr;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IObjectWithSite,
                                reinterpret_cast<void**>(&helper));
  if (FAILED(hr)) return Fail("CoCreateInstance of the helper object", hr);
  hr = helper->SetSite(reinterpret_cast<IUnknown*>(&g_site));
  if (FAILED(hr)) {
    helper->Release();
    return Fail("SetSite", hr);
  }
  IStream* stream = nullptr;
  hr = URLOpenBlockingStreamW(nullptr, url, &stream, 0, nullptr);
  int result = 0;
  if (FAILED(hr)) {
    result = Fail("URLOpenBlockingStreamW", hr);
  } else {
    _setmode(_fileno(stdout), _O_BINARY);
    char buffer[16384];
    ULONG read = 0;
    while (SUCCEEDED(hr = stream->Read(buffer, sizeof(buffer), &read)) && read > 0)
      fwrite(buffer, 1, read, stdout);
    if (FAILED(hr)) result = Fail("IStream::Read", hr);
    stream->Release();
  }
  helper->SetSite(nullptr);
  helper->Release();
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 || wcscmp(argv[1], L"fetch") != 0) {
    fprintf(stderr, "usage: cvie_host fetch URL\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
    return Fail("CoInitializeEx", E_FAIL);
  int result = Fetch(argv[2]);
  CoUninitialize();
  return result;
}
