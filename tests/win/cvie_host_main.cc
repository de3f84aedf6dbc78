// cvie_host.exe fetch [--no-namespace] URL
//
// A small browser stand-in for the Windows module: creates the registered
// helper object through the system's COM (CoCreateInstance, as the browser
// does), gives it a minimal site so it runs its start sequence (folders, rule
// file check, rules, MIME filter and namespace handler registered in the
// system's URL-moniker session), binds URL through urlmon
// (asynchronously, pulling the data as a browser does) and writes the bytes
// read to stdout. Then it takes the site away (the stop sequence). Exit 0 when
// the page was read, 1 with the failing call and its code on stderr
// otherwise.
//
// With --no-namespace the host withdraws the module's namespace handler from
// the session after the start sequence, and does itself what Windows' urlmon
// does with a namespace handler before it falls back to its own http
// protocol: it starts one handler object for URL on this thread (which
// records the page address for the MIME filter and declines). Wine's urlmon
// ends the binding when a namespace handler declines instead of falling back,
// so this is how a test reads a page through Wine's own http protocol and the
// module's registered MIME filter.
//
// The module filters pages only in the browser's process (a host whose path
// contains "iexplore.exe"); tests run a copy of this program by that name.

#include <exdisp.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <ocidl.h>
#include <stdio.h>
#include <string.h>
#include <urlmon.h>
#include <wchar.h>

namespace {

const wchar_t kHelperObject[] = L"{DA8B10C0-D2C8-4F5B-A307-320D57843BB2}";
const wchar_t kNamespaceHandler[] = L"{8A0B4C10-74B9-4D69-90EE-09CDE8815DC3}";
const wchar_t* const kHandlerSchemes[] = {L"http", L"https", L"file"};

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

// Writes the failing call and its code to stderr and returns `hr`.
HRESULT Report(const char* what, HRESULT hr) {
  fprintf(stderr, "%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
  return hr;
}

int Fail(const char* what, HRESULT hr) {
  Report(what, hr);
  return 1;
}

// Withdraws the module's namespace handler from the session (its class
// object is the one the module registered: the module keeps one per class),
// then starts one handler object for `url` on this thread, as urlmon would.
HRESULT StandInForNamespace(const wchar_t* url) {
  CLSID clsid;
  CLSIDFromString(kNamespaceHandler, &clsid);
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return Report("CoGetClassObject of the namespace handler", hr);
  IInternetSession* session = nullptr;
  hr = CoInternetGetSession(0, &session, 0);
  if (FAILED(hr)) {
    factory->Release();
    return Report("CoInternetGetSession", hr);
  }
  for (const wchar_t* scheme : kHandlerSchemes) {
    HRESULT withdrawn = session->UnregisterNameSpace(factory, scheme);
    if (FAILED(withdrawn)) hr = Report("UnregisterNameSpace", withdrawn);
  }
  session->Release();
  IInternetProtocolRoot* handler = nullptr;
  HRESULT made = factory->CreateInstance(nullptr, IID_IInternetProtocolRoot,
                                         reinterpret_cast<void**>(&handler));
  factory->Release();
  if (FAILED(made)) return Report("creating a namespace handler", made);
  HRESULT started = handler->Start(url, nullptr, nullptr, 0, 0);
  handler->Release();
  if (started != INET_E_USE_DEFAULT_PROTOCOLHANDLER) {
    Report("the namespace handler's Start (it should decline)", started);
    return E_UNEXPECTED;
  }
  return hr;
}

// Reads a page the way a browser does: an asynchronous binding to a stream
// whose data the reader pulls (BINDF_PULLDATA) as urlmon announces it, not
// written to the cache. Wine's urlmon serves a synchronous binding
// (URLOpenBlockingStreamW) from the cache file, which holds the page as the
// server sent it and not what the MIME filter made of it; a pulled
// asynchronous binding reads from the binding's protocol, i.e. from the
// filter. Static, like the site; one binding at a time.
class PageReader : public IBindStatusCallback {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IBindStatusCallback)) {
      *out = static_cast<IBindStatusCallback*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
    if (!flags || !info) return E_INVALIDARG;
    *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA |
             BINDF_NOWRITECACHE | BINDF_GETNEWESTVERSION;
    DWORD size = info->cbSize;
    memset(info, 0, size);
    info->cbSize = size;
    info->dwBindVerb = BINDVERB_GET;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*,
                                            STGMEDIUM* medium) override {
    if (!stream_ && medium && medium->tymed == TYMED_ISTREAM && medium->pstm) {
      stream_ = medium->pstm;
      stream_->AddRef();
    }
    Drain();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT result, LPCWSTR) override {
    Drain();
    result_ = result;
    done_ = true;
    if (stream_) stream_->Release();
    stream_ = nullptr;
    PostQuitMessage(0);
    return S_OK;
  }

  // Binds `url` and runs the thread's messages until the binding stops.
  // The bytes go to stdout; the result is the binding's.
  HRESULT Fetch(const wchar_t* url) {
    IMoniker* moniker = nullptr;
    HRESULT hr = CreateURLMonikerEx(nullptr, url, &moniker, URL_MK_UNIFORM);
    if (FAILED(hr)) return Report("CreateURLMonikerEx", hr);
    IBindCtx* context = nullptr;
    hr = CreateAsyncBindCtx(0, this, nullptr, &context);
    if (FAILED(hr)) {
      moniker->Release();
      return Report("CreateAsyncBindCtx", hr);
    }
    IStream* stream = nullptr;
    hr = moniker->BindToStorage(context, nullptr, IID_IStream,
                                reinterpret_cast<void**>(&stream));
    if (stream) stream->Release();  // the data comes through OnDataAvailable
    if (SUCCEEDED(hr)) {
      MSG message;
      while (!done_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      hr = done_ ? result_ : E_ABORT;
    }
    context->Release();
    moniker->Release();
    if (FAILED(hr)) return Report("the binding", hr);
    if (FAILED(read_result_)) return Report("IStream::Read", read_result_);
    return S_OK;
  }

 private:
  // Writes what the stream has now to stdout.
  void Drain() {
    if (!stream_) return;
    char buffer[16384];
    for (;;) {
      ULONG read = 0;
      const HRESULT hr = stream_->Read(buffer, sizeof(buffer), &read);
      if (read > 0) fwrite(buffer, 1, read, stdout);
      if (FAILED(hr) && hr != E_PENDING) read_result_ = hr;
      // S_FALSE: the end; E_PENDING: more after the next notification.
      if (hr != S_OK || read == 0) return;
    }
  }

  IStream* stream_ = nullptr;
  bool done_ = false;
  HRESULT result_ = E_PENDING;
  HRESULT read_result_ = S_OK;
};
PageReader g_reader;

int Fetch(const wchar_t* url, bool no_namespace) {
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
  if (no_namespace && FAILED(StandInForNamespace(url))) {
    helper->SetSite(nullptr);
    helper->Release();
    return 1;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  int result = FAILED(g_reader.Fetch(url)) ? 1 : 0;
  helper->SetSite(nullptr);
  helper->Release();
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool no_namespace = argc == 4 && wcscmp(argv[2], L"--no-namespace") == 0;
  if (argc != 3 + (no_namespace ? 1 : 0) || wcscmp(argv[1], L"fetch") != 0) {
    fprintf(stderr, "usage: cvie_host fetch [--no-namespace] URL\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
    return Fail("CoInitializeEx", E_FAIL);
  int result = Fetch(argv[argc - 1], no_namespace);
  CoUninitialize();
  return result;
}
