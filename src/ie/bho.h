// ie/bho.h
//
// The browser helper object: the module's anchor in each browser window.
// Given a site, it subscribes to the window's browser events and starts the
// plug-in (once per process the user identity, the data folders and a version
// line in the log; every time the rule file check and the silent update
// check, the rule engine, the whitelist, and the counted registrations of the
// MIME filter and the namespace handler). Given a null site, it unsubscribes
// and withdraws its registrations again; the last window of the process
// withdraws them from the session. Events are only written to the log.
//
// CIETBBHO is the reusable base (site, web browser, event subscription);
// CCVIEBHO adds the start and stop sequences and the event sink.
//
// BrowserHelperWindow is what a host that plays the browser (the proxy) uses:
// one browser window with its helper object, started and stopped as a whole,
// and a way to tell it about each top-level navigation.
//
// Thread safety: a helper object is called on the thread of its window (one
// at a time). Several objects may start and stop on different threads; the
// process-wide state they touch guards itself. BrowserHelperWindow may be used
// from any thread.

#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "ie/bho_browser.h"
#include "platform/com.h"
#include "platform/com_registry.h"
#include "ui/browser.h"

namespace cvie {

// The dual interface of the helper object; it has no members of its own and
// its IDispatch receives the browser's events.
class ICVIEBHO : public IDispatch {};

class CIETBBHO : public IObjectWithSite {
 public:
  // Drops the web browser held; with a site, asks it for IWebBrowser2 (E_FAIL
  // when it has none), then clears bit 0 of the first-open marker in the
  // browser process. S_OK otherwise.
  HRESULT SetSite(IUnknown* site) override;
  // E_FAIL (null out pointer) when no web browser is held, else the web
  // browser's own QueryInterface for `iid`.
  HRESULT GetSite(REFIID iid, void** site) override;

  DWORD event_cookie() const { return event_cookie_; }
  bool has_web_browser() const { return static_cast<bool>(web_browser_); }

 protected:
  CIETBBHO() = default;
  virtual ~CIETBBHO();
  // A hook with no behaviour, kept for subclasses that want a say between the
  // site's arrival and their own work.
  virtual void OnSiteHook() {}
  // Ends the event subscription: E_POINTER when there is none; a failure to
  // end it is logged at level 20. The cookie is 0 afterwards.
  virtual HRESULT DisconnectEvents();
  // Subscribes EventSink() to DWebBrowserEvents2 of the web browser:
  // E_POINTER without a web browser; any failure leaves the cookie 0.
  virtual HRESULT ConnectEvents();
  // The dispatch interface that receives the events (not a new reference).
  virtual IDispatch* EventSink() = 0;

  ComPtr<IWebBrowser2> web_browser_;
  DWORD event_cookie_ = 0;
};

class CCVIEBHO : public ComObject<CIETBBHO, ICVIEBHO> {
 public:
  CCVIEBHO() = default;

  // With a site: base SetSite, ConnectEvents, the start sequence; returns the
  // base's result (the later steps run also when it failed). With null:
  // DisconnectEvents, base SetSite, the stop sequence; returns the base's
  // result.
  HRESULT SetSite(IUnknown* site) override;

  // IDispatch. No type information is available on this platform; Invoke
  // writes the event to the log and always returns S_OK.
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID iid, LPWSTR* names, UINT count, LCID locale,
                        DISPID* ids) override;
  HRESULT Invoke(DISPID id, REFIID iid, LCID locale, uint16_t flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argument_error) override;

 protected:
  ~CCVIEBHO() override = default;
  void* FindInterface(REFIID iid) override;
  IDispatch* EventSink() override { return static_cast<ICVIEBHO*>(this); }
};

// The plug-in start and stop sequences run by CCVIEBHO::SetSite. Every
// step's result is ignored.
void RunPluginStart();
void RunPluginStop();

// The two ways the start sequence starts an update check. The default one
// calls VersionInfo; tests put their own in place (no network).
class UpdateCheckStarter {
 public:
  virtual ~UpdateCheckStarter() = default;
  // The installed rule file failed its check: a silent check now.
  virtual int RunUpdateCheck(bool interactive) = 0;
  // The rule file is good: a check only when the version file is stale.
  virtual int CheckVersionFile() = 0;
};
// Puts `starter` in place (null: the default); returns the previous one
// (null for the default). The object must outlive its use.
UpdateCheckStarter* SetUpdateCheckStarter(UpdateCheckStarter* starter);

// One browser window of a host that plays the browser, with its helper
// object. Start creates the window's web browser over `browser` (may be
// null) and the helper object and gives it the site; Stop takes the site
// away and releases both. The destructor stops a started window.
class BrowserHelperWindow {
 public:
  explicit BrowserHelperWindow(WebBrowser* browser);
  ~BrowserHelperWindow();
  BrowserHelperWindow(const BrowserHelperWindow&) = delete;
  BrowserHelperWindow& operator=(const BrowserHelperWindow&) = delete;

  // The helper object's SetSite result; S_FALSE when already started.
  HRESULT Start();
  // The helper object's SetSite(null) result; S_FALSE when not started.
  HRESULT Stop();
  bool started() const;
  // Tells the helper object that the window navigates to `url` (top level).
  // Returns the number of event subscribers reached (0 when not started).
  int FireBeforeNavigate2(const std::wstring& url);

 private:
  WebBrowser* const browser_;
  mutable std::mutex mu_;
  ComPtr<CBrowserWindow> window_;   // guarded by mu_
  ComPtr<IObjectWithSite> helper_;  // guarded by mu_
};

}  // namespace cvie
