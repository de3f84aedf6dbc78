// ie/bho_browser.h
//
// The browser-side interfaces the helper object and the toolbar button are
// written against, with the shapes the browser gives them: the site protocol
// (IObjectWithSite), event connection points, the web browser of a window
// (IWebBrowser2, reduced to what this module uses), its HTML document, the
// service provider of a toolbar site and the command target of a button.
//
// CBrowserWindow is this platform's browser window: a web browser object over
// a config WebBrowser (address, navigation, refresh) that is also its own
// site, keeps the DWebBrowserEvents2 subscribers and fires events to them.
// A host that plays the browser (the proxy) makes one per window and calls
// FireBeforeNavigate2 for each top-level navigation.
//
// Thread safety: as COM apartment objects, a CBrowserWindow is used from the
// thread of its window; the subscriber list is nevertheless guarded by a lock
// so that a host may fire events from worker threads.

#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/com_registry.h"
#include "ui/browser.h"

namespace cvie {

extern const IID IID_IObjectWithSite;
extern const IID IID_IConnectionPointContainer;
extern const IID IID_IConnectionPoint;
extern const IID IID_IWebBrowser2;
extern const IID IID_IHTMLDocument2;
extern const IID IID_IServiceProvider;
extern const IID IID_IOleCommandTarget;
extern const IID DIID_DWebBrowserEvents2;  // {34A715A0-6587-11D0-924A-0020AFC7AC4D}
extern const GUID SID_SWebBrowserApp;

// Event identifiers of DWebBrowserEvents2 and the document events written to
// the log by the helper object.
constexpr DISPID DISPID_SELECTIONCHANGE = 2;
constexpr DISPID DISPID_BEFORENAVIGATE = 100;
constexpr DISPID DISPID_NAVIGATECOMPLETE = 101;
constexpr DISPID DISPID_DOWNLOADCOMPLETE = 104;
constexpr DISPID DISPID_DOWNLOADBEGIN = 106;
constexpr DISPID DISPID_NEWWINDOW = 107;
constexpr DISPID DISPID_FRAMEBEFORENAVIGATE = 200;
constexpr DISPID DISPID_FRAMENAVIGATECOMPLETE = 201;
constexpr DISPID DISPID_FRAMENEWWINDOW = 204;
constexpr DISPID DISPID_BEFORENAVIGATE2 = 250;
constexpr DISPID DISPID_NEWWINDOW2 = 251;
constexpr DISPID DISPID_NAVIGATECOMPLETE2 = 252;
constexpr DISPID DISPID_DOCUMENTCOMPLETE = 259;
constexpr DISPID DISPID_FILEDOWNLOAD = 270;
constexpr DISPID DISPID_HTMLDOCUMENTEVENTS_ONKEYDOWN = -602;
constexpr DISPID DISPID_IMG = 2000;

class IObjectWithSite : public IUnknown {
 public:
  virtual HRESULT SetSite(IUnknown* site) = 0;
  virtual HRESULT GetSite(REFIID iid, void** site) = 0;
};

class IConnectionPoint : public IUnknown {
 public:
  // Subscribes `sink` (asked for the point's interface or IDispatch) and
  // gives the cookie that ends the subscription.
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  virtual HRESULT Unadvise(DWORD cookie) = 0;
};

class IConnectionPointContainer : public IUnknown {
 public:
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) = 0;
};

// The HTML document a browser window shows. The navigator's version text of
// the document's window is all the module reads from it.
class IHTMLDocument2 : public IDispatch {
 public:
  virtual HRESULT get_NavigatorAppVersion(BSTR* version) = 0;
};

class IWebBrowser2 : public IDispatch {
 public:
  // The document shown (an IDispatch; S_FALSE with null when none).
  virtual HRESULT get_Document(IDispatch** document) = 0;
  virtual HRESULT get_LocationURL(BSTR* url) = 0;
  virtual HRESULT Navigate(BSTR url) = 0;
  virtual HRESULT Refresh() = 0;
  // The frame window's handle; 0 when the window has none.
  virtual HRESULT get_HWND(HANDLE_PTR* window) = 0;
};

class IServiceProvider : public IUnknown {
 public:
  virtual HRESULT QueryService(const GUID& service, REFIID iid, void** object) = 0;
};

constexpr DWORD OLECMDF_SUPPORTED = 1;
constexpr DWORD OLECMDF_ENABLED = 2;

struct OLECMD {
  ULONG cmdID = 0;
  DWORD cmdf = 0;
};
struct OLECMDTEXT {
  DWORD cmdtextf = 0;
  ULONG cwActual = 0;
  ULONG cwBuf = 0;
  wchar_t rgwz[1] = {0};
};

class IOleCommandTarget : public IUnknown {
 public:
  virtual HRESULT QueryStatus(const GUID* group, ULONG count, OLECMD* commands,
                              OLECMDTEXT* text) = 0;
  virtual HRESULT Exec(const GUID* group, DWORD command, DWORD options, VARIANT* in,
                       VARIANT* out) = 0;
};

// Reads the address carried by a BeforeNavigate2 event: the second argument,
// at index 5 of the reversed argument array, a reference to a variant holding
// a string. False when the arguments do not have that shape.
bool BeforeNavigate2Url(const DISPPARAMS* params, std::wstring* url);

// One browser window of this platform: its web browser object, also its own
// site (answers IWebBrowser2 directly and SID_SWebBrowserApp as a service).
class CBrowserWindow : public ComObject<IWebBrowser2, IConnectionPointContainer,
                                        IConnectionPoint, IServiceProvider> {
 public:
  // `browser` (may be null: no address, navigation fails) must outlive the
  // object. `document_version`: the navigator version text its document
  // reports; `has_document` false makes the window show no HTML document.
  // `window` is the frame window handle (0: none).
  static ComPtr<CBrowserWindow> Create(WebBrowser* browser, HANDLE_PTR window = 0,
                                       bool has_document = true,
                                       const std::wstring& document_version = L"");

  // Sends BeforeNavigate2 for `url` to every subscriber, with the event's
  // seven arguments in the browser's order. Returns the number of
  // subscribers called.
  int FireBeforeNavigate2(const std::wstring& url);
  // Sends an event without arguments (e.g. DISPID_DOCUMENTCOMPLETE).
  int FireEvent(DISPID id);
  // Subscribers now connected.
  size_t SubscriberCount() const;

  // IDispatch: no type information, no names, Invoke not supported.
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID iid, LPWSTR* names, UINT count, LCID locale,
                        DISPID* ids) override;
  HRESULT Invoke(DISPID id, REFIID iid, LCID locale, uint16_t flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argument_error) override;
  // IWebBrowser2
  HRESULT get_Document(IDispatch** document) override;
  HRESULT get_LocationURL(BSTR* url) override;
  HRESULT Navigate(BSTR url) override;
  HRESULT Refresh() override;
  HRESULT get_HWND(HANDLE_PTR* window) override;
  // IConnectionPointContainer: only DWebBrowserEvents2.
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;
  // IConnectionPoint
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT Unadvise(DWORD cookie) override;
  // IServiceProvider: SID_SWebBrowserApp gives the web browser itself.
  HRESULT QueryService(const GUID& service, REFIID iid, void** object) override;

 protected:
  void* FindInterface(REFIID iid) override;

 private:
  CBrowserWindow(WebBrowser* browser, HANDLE_PTR window, bool has_document,
                 const std::wstring& document_version);
  ~CBrowserWindow() override;
  int Fire(DISPID id, DISPPARAMS* params);

  struct Subscriber {
    DWORD cookie;
    IDispatch* sink;  // one reference
  };
  WebBrowser* const browser_;
  const HANDLE_PTR window_;
  const bool has_document_;
  const std::wstring document_version_;
  mutable std::mutex mu_;
  std::vector<Subscriber> subscribers_;  // guarded by mu_
  DWORD next_cookie_ = 1;                // guarded by mu_
};

}  // namespace cvie
