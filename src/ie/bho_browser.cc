// The browser window of this platform and the browser-side identifiers.

#include "ie/bho_browser.h"

#include <algorithm>

namespace cvie {

const IID IID_IObjectWithSite = {
    0xFC4801A3, 0x2BA9, 0x11CF, {0xA2, 0x29, 0x00, 0xAA, 0x00, 0x3D, 0x73, 0x52}};
const IID IID_IConnectionPointContainer = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_IConnectionPoint = {
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_IWebBrowser2 = {
    0xD30C1661, 0xCDAF, 0x11D0, {0x8A, 0x3E, 0x00, 0xC0, 0x4F, 0xC9, 0xE2, 0x6E}};
const IID IID_IHTMLDocument2 = {
    0x332C4425, 0x26CB, 0x11D0, {0xB4, 0x83, 0x00, 0xC0, 0x4F, 0xD9, 0x01, 0x19}};
const IID IID_IServiceProvider = {
    0x6D5140C1, 0x7436, 0x11CE, {0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA}};
const IID IID_IOleCommandTarget = {
    0xB722BCCB, 0x4E68, 0x101B, {0xA2, 0xBC, 0x00, 0xAA, 0x00, 0x40, 0x47, 0x70}};
const IID DIID_DWebBrowserEvents2 = {
    0x34A715A0, 0x6587, 0x11D0, {0x92, 0x4A, 0x00, 0x20, 0xAF, 0xC7, 0xAC, 0x4D}};
const GUID SID_SWebBrowserApp = {
    0x0002DF05, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

// Argument count of BeforeNavigate2 (pDisp, URL, Flags, TargetFrameName,
// PostData, Headers, Cancel) and the reversed index of its address.
constexpr UINT kBeforeNavigate2Args = 7;
constexpr UINT kUrlIndex = 5;

// The document a window shows: it only tells its navigator version text.
class CHtmlDocument : public ComObject<IHTMLDocument2> {
 public:
  explicit CHtmlDocument(const std::wstring& version)
      : ComObject(false), version_(version) {}

  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPWSTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                 UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT get_NavigatorAppVersion(BSTR* version) override {
    if (!version) return E_POINTER;
    *version = SysAllocString(version_.c_str());
    return S_OK;
  }

 protected:
  void* FindInterface(REFIID iid) override {
    if (iid == IID_IHTMLDocument2) return static_cast<IHTMLDocument2*>(this);
    if (iid == IID_IDispatch) return static_cast<IDispatch*>(this);
    return nullptr;
  }

 private:
  const std::wstring version_;
};

}  // namespace

bool BeforeNavigate2Url(const DISPPARAMS* params, std::wstring* url) {
  if (!params || !params->rgvarg || params->cArgs <= kUrlIndex) return false;
  const VARIANT& arg = params->rgvarg[kUrlIndex];
  const VARIANT* value = nullptr;
  if (arg.vt == (VT_BYREF | VT_VARIANT))
    value = arg.pvarVal;
  else if (arg.vt == VT_BSTR)
    value = &arg;
  if (!value || value->vt != VT_BSTR) return false;
  url->assign(value->bstrVal ? value->bstrVal : L"", SysStringLen(value->bstrVal));
  return true;
}

ComPtr<CBrowserWindow> CBrowserWindow::Create(WebBrowser* browser, HANDLE_PTR window,
                                              bool has_document,
                                              const std::wstring& document_version) {
  return ComPtr<CBrowserWindow>(
      new CBrowserWindow(browser, window, has_document, document_version));
}

CBrowserWindow::CBrowserWindow(WebBrowser* browser, HANDLE_PTR window, bool has_document,
                               const std::wstring& document_version)
    : ComObject(false),
      browser_(browser),
      window_(window),
      has_document_(has_document),
      document_version_(document_version) {}

CBrowserWindow::~CBrowserWindow() {
  for (Subscriber& s : subscribers_) s.sink->Release();
}

void* CBrowserWindow::FindInterface(REFIID iid) {
  if (iid == IID_IWebBrowser2) return static_cast<IWebBrowser2*>(this);
  if (iid == IID_IDispatch) return static_cast<IDispatch*>(this);
  if (iid == IID_IConnectionPointContainer)
    return static_cast<IConnectionPointContainer*>(this);
  if (iid == IID_IConnectionPoint) return static_cast<IConnectionPoint*>(this);
  if (iid == IID_IServiceProvider) return static_cast<IServiceProvider*>(this);
  return nullptr;
}

HRESULT CBrowserWindow::GetTypeInfoCount(UINT* count) {
  if (count) *count = 0;
  return S_OK;
}
HRESULT CBrowserWindow::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT CBrowserWindow::GetIDsOfNames(REFIID, LPWSTR*, UINT, LCID, DISPID*) {
  return DISP_E_UNKNOWNNAME;
}
HRESULT CBrowserWindow::Invoke(DISPID, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT*,
                               EXCEPINFO*, UINT*) {
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT CBrowserWindow::get_Document(IDispatch** document) {
  if (!document) return E_POINTER;
  *document = nullptr;
  if (!has_document_) return S_FALSE;
  ComPtr<CHtmlDocument> doc(new CHtmlDocument(document_version_));
  return doc->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(document));
}

HRESULT CBrowserWindow::get_LocationURL(BSTR* url) {
  if (!url) return E_POINTER;
  *url = nullptr;
  std::wstring location;
  if (!browser_ || !browser_->GetLocationURL(&location)) return E_FAIL;
  *url = SysAllocString(location.c_str());
  return S_OK;
}

HRESULT CBrowserWindow::Navigate(BSTR url) {
  if (!browser_) return E_FAIL;
  return browser_->Navigate(std::wstring(url ? url : L"", SysStringLen(url))) ? S_OK
                                                                              : E_FAIL;
}

HRESULT CBrowserWindow::Refresh() {
  if (!browser_) return E_FAIL;
  return browser_->Refresh() ? S_OK : E_FAIL;
}

HRESULT CBrowserWindow::get_HWND(HANDLE_PTR* window) {
  if (!window) return E_POINTER;
  *window = window_;
  return S_OK;
}

HRESULT CBrowserWindow::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (iid != DIID_DWebBrowserEvents2) return E_NOINTERFACE;  // CONNECT_E_NOCONNECTION
  return QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(point));
}

HRESULT CBrowserWindow::Advise(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  IDispatch* dispatch = nullptr;
  HRESULT hr =
      sink->QueryInterface(DIID_DWebBrowserEvents2, reinterpret_cast<void**>(&dispatch));
  if (FAILED(hr))
    hr = sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
  if (FAILED(hr)) return hr;
  std::lock_guard<std::mutex> lock(mu_);
  *cookie = next_cookie_++;
  subscribers_.push_back({*cookie, dispatch});
  return S_OK;
}

HRESULT CBrowserWindow::Unadvise(DWORD cookie) {
  IDispatch* sink = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = std::find_if(subscribers_.begin(), subscribers_.end(),
                           [cookie](const Subscriber& s) { return s.cookie == cookie; });
    if (it == subscribers_.end()) return E_INVALIDARG;  // CONNECT_E_NOCONNECTION
    sink = it->sink;
    subscribers_.erase(it);
  }
  sink->Release();
  return S_OK;
}

HRESULT CBrowserWindow::QueryService(const GUID& service, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (service != SID_SWebBrowserApp) return E_NOINTERFACE;
  return QueryInterface(iid, object);
}

size_t CBrowserWindow::SubscriberCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return subscribers_.size();
}

int CBrowserWindow::Fire(DISPID id, DISPPARAMS* params) {
  // Call the sinks outside the lock: a sink may unsubscribe while handling.
  std::vector<IDispatch*> sinks;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const Subscriber& s : subscribers_) {
      s.sink->AddRef();
      sinks.push_back(s.sink);
    }
  }
  for (IDispatch* sink : sinks) {
    sink->Invoke(id, IID_IUnknown, 0, DISPATCH_METHOD, params, nullptr, nullptr, nullptr);
    sink->Release();
  }
  return static_cast<int>(sinks.size());
}

int CBrowserWindow::FireBeforeNavigate2(const std::wstring& url) {
  // Arguments in reverse order: Cancel, Headers, PostData, TargetFrameName,
  // Flags, URL, pDisp. The variants given by reference belong to this call.
  VARIANT url_value, flags, frame, post, headers;
  url_value.vt = VT_BSTR;
  url_value.bstrVal = SysAllocStringLen(url.data(), static_cast<UINT>(url.size()));
  flags.vt = VT_I4;
  frame.vt = VT_BSTR;
  frame.bstrVal = SysAllocString(L"");
  headers.vt = VT_BSTR;
  headers.bstrVal = SysAllocString(L"");
  VARIANT_BOOL cancel = VARIANT_FALSE;

  VARIANT args[kBeforeNavigate2Args];
  args[0].vt = VT_BYREF | VT_BOOL;
  args[0].byref = &cancel;
  args[1].vt = VT_BYREF | VT_VARIANT;
  args[1].pvarVal = &headers;
  args[2].vt = VT_BYREF | VT_VARIANT;
  args[2].pvarVal = &post;
  args[3].vt = VT_BYREF | VT_VARIANT;
  args[3].pvarVal = &frame;
  args[4].vt = VT_BYREF | VT_VARIANT;
  args[4].pvarVal = &flags;
  args[kUrlIndex].vt = VT_BYREF | VT_VARIANT;
  args[kUrlIndex].pvarVal = &url_value;
  args[6].vt = VT_DISPATCH;
  args[6].pdispVal = static_cast<IWebBrowser2*>(this);

  DISPPARAMS params;
  params.rgvarg = args;
  params.cArgs = kBeforeNavigate2Args;
  int called = Fire(DISPID_BEFORENAVIGATE2, &params);
  VariantClear(&url_value);
  VariantClear(&frame);
  VariantClear(&headers);
  return called;
}

int CBrowserWindow::FireEvent(DISPID id) {
  DISPPARAMS params;
  return Fire(id, &params);
}

}  // namespace cvie
