// The browser helper object and its start and stop sequences.

#include "ie/bho.h"

#include <atomic>
#include <string>

#include "comm/user_identity.h"
#include "comm/version_info.h"
#include "ie/host_process.h"
#include "ie/ie_guids.h"
#include "ie/mime_filter.h"
#include "ie/ns_handler.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "rules/rule_loading.h"
#include "ui/toolbar_cfg.h"
#include "whitelist/whitelist.h"

namespace cvie {

namespace {

// The once-per-process part of the start sequence has run.
std::atomic<bool> g_process_started{false};

class VersionInfoStarter : public UpdateCheckStarter {
 public:
  int RunUpdateCheck(bool interactive) override {
    return VersionInfo::Instance().RunUpdateCheck(interactive);
  }
  int CheckVersionFile() override { return VersionInfo::Instance().CheckVersionFile(); }
};

VersionInfoStarter g_default_starter;
std::atomic<UpdateCheckStarter*> g_starter{nullptr};

UpdateCheckStarter& Starter() {
  UpdateCheckStarter* s = g_starter.load(std::memory_order_acquire);
  return s ? *s : g_default_starter;
}

// The text logged for each event identifier, with its level; null for an
// event that is not logged.
struct EventLine {
  DISPID id;
  const wchar_t* text;
};
constexpr EventLine kEventLines[] = {
    {DISPID_BEFORENAVIGATE, L"DISPID_BEFORENAVIGATE\n"},
    {DISPID_NAVIGATECOMPLETE, L"DISPID_NAVIGATECOMPLETE\n"},
    {DISPID_DOWNLOADCOMPLETE, L"DISPID_DOWNLOADCOMPLETE\n"},
    {DISPID_DOWNLOADBEGIN, L"DISPID_DOWNLOADBEGIN\n"},
    {DISPID_NEWWINDOW, L"DISPID_NEWWINDOW\n"},
    {DISPID_FRAMEBEFORENAVIGATE, L"DISPID_FRAMEBEFORENAVIGATE\n"},
    {DISPID_FRAMENAVIGATECOMPLETE, L"DISPID_FRAMENAVIGATECOMPLETE\n"},
    {DISPID_FRAMENEWWINDOW, L"DISPID_FRAMENEWWINDOW\n"},
    {DISPID_NEWWINDOW2, L"DISPID_NEWWINDOW2\n"},
    {DISPID_NAVIGATECOMPLETE2, L"DISPID_NAVIGATECOMPLETE2V\n"},
    {DISPID_DOCUMENTCOMPLETE, L"DISPID_DOCUMENTCOMPLETE\n"},
    {DISPID_FILEDOWNLOAD, L"DISPID_FILEDOWNLOAD\n"},
    {DISPID_SELECTIONCHANGE, L"DISPID_SELECTIONCHANGE\n"},
    {DISPID_HTMLDOCUMENTEVENTS_ONKEYDOWN, L"DISPID_HTMLDOCUMENTEVENTS_ONKEYDOWN\n"},
    {DISPID_IMG, L"DISPID_IMG\n"},
};

// Clears bit 0 of the first-open marker, in the browser process only.
void ClearFirstOpenMarker() {
  ToolbarCfg& cfg = ProcessToolbarCfg();
  Param* marker = cfg.FindParam(cfg.GetFirstOpenParamName());
  if (!marker) return;
  int value = marker->GetInt();
  if ((value & 1) && IsBrowserProcess()) marker->SetInt(value & ~1);
}

}  // namespace

UpdateCheckStarter* SetUpdateCheckStarter(UpdateCheckStarter* starter) {
  return g_starter.exchange(starter, std::memory_order_acq_rel);
}

// --- CIETBBHO ----------------------------------------------------------------

CIETBBHO::~CIETBBHO() = default;

HRESULT CIETBBHO::SetSite(IUnknown* site) {
  web_browser_.Reset();
  if (!site) return S_OK;
  if (FAILED(site->QueryInterface(IID_IWebBrowser2, web_browser_.OutVoid())) ||
      !web_browser_) {
    web_browser_.Reset();
    return E_FAIL;
  }
  OnSiteHook();
  ClearFirstOpenMarker();
  return S_OK;
}

HRESULT CIETBBHO::GetSite(REFIID iid, void** site) {
  if (!site) return E_POINTER;
  *site = nullptr;
  if (!web_browser_) return E_FAIL;
  return web_browser_->QueryInterface(iid, site);
}

HRESULT CIETBBHO::ConnectEvents() {
  if (!web_browser_) return E_POINTER;
  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = web_browser_.As(IID_IConnectionPointContainer, &container);
  ComPtr<IConnectionPoint> point;
  if (SUCCEEDED(hr) && container)
    hr = container->FindConnectionPoint(DIID_DWebBrowserEvents2,
                                        point.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr) && point) hr = point->Advise(EventSink(), &event_cookie_);
  if (SUCCEEDED(hr) && !point) hr = E_FAIL;
  if (FAILED(hr)) event_cookie_ = 0;
  return hr;
}

HRESULT CIETBBHO::DisconnectEvents() {
  if (!web_browser_ || event_cookie_ == 0) return E_POINTER;
  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = web_browser_.As(IID_IConnectionPointContainer, &container);
  ComPtr<IConnectionPoint> point;
  if (SUCCEEDED(hr) && container)
    hr = container->FindConnectionPoint(DIID_DWebBrowserEvents2,
                                        point.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr) && point) hr = point->Unadvise(event_cookie_);
  if (SUCCEEDED(hr) && !point) hr = E_FAIL;
  if (FAILED(hr)) Logger::Instance().Log(LOG_WARNING, L"Failed to AtlUnadvise()\n");
  event_cookie_ = 0;
  return hr;
}

// --- CCVIEBHO ----------------------------------------------------------------

void* CCVIEBHO::FindInterface(REFIID iid) {
  if (iid == IID_ICVIEBHO || iid == IID_IDispatch) return static_cast<ICVIEBHO*>(this);
  if (iid == IID_IObjectWithSite) return static_cast<IObjectWithSite*>(this);
  return nullptr;
}

HRESULT CCVIEBHO::SetSite(IUnknown* site) {
  if (site) {
    HRESULT hr = CIETBBHO::SetSite(site);
    ConnectEvents();
    RunPluginStart();
    return hr;
  }
  DisconnectEvents();
  HRESULT hr = CIETBBHO::SetSite(nullptr);
  RunPluginStop();
  return hr;
}

HRESULT CCVIEBHO::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CCVIEBHO::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT CCVIEBHO::GetIDsOfNames(REFIID, LPWSTR*, UINT, LCID, DISPID*) {
  return DISP_E_UNKNOWNNAME;
}

HRESULT CCVIEBHO::Invoke(DISPID id, REFIID, LCID, uint16_t, DISPPARAMS* params, VARIANT*,
                         EXCEPINFO*, UINT*) {
  if (id == DISPID_BEFORENAVIGATE2) {
    std::wstring url;
    BeforeNavigate2Url(params, &url);
    Logger::Instance().Log(LOG_NOTICE, L"DISPID_BEFORENAVIGATE2: %ls\n", url.c_str());
    return S_OK;
  }
  for (const EventLine& line : kEventLines) {
    if (line.id == id) {
      Logger::Instance().Log(LOG_DETAIL, line.text);
      break;
    }
  }
  return S_OK;
}

// --- Start and stop ----------------------------------------------------------

void RunPluginStart() {
  if (!g_process_started.exchange(true)) {
    EnsureUserIdentity();
    platform::CreateDataFolders();
    // The program version "2.2" as its two digits.
    const std::string version = VersionInfo::Instance().GetProgramVersion();
    char major = version.size() > 0 ? version[0] : '?';
    char minor = version.size() > 2 ? version[2] : '?';
    Logger::Instance().Log(LOG_NOTICE, L"Version %c.%c compiled on %s %s\n", major, minor,
                           __DATE__, __TIME__);
  }
  if (CheckRuleFile(platform::RuleFilePath()) == -1)
    Starter().RunUpdateCheck(false);
  else
    Starter().CheckVersionFile();
  PrepareRules(nullptr);
  Whitelist::Instance().Load();
  RegisterHtmlFilter();
  RegisterNamespaceHandler();
}

void RunPluginStop() {
  UnregisterNamespaceHandler();
  UnregisterHtmlFilter();
}

// --- BrowserHelperWindow -------------------------------------------------------

BrowserHelperWindow::BrowserHelperWindow(WebBrowser* browser) : browser_(browser) {}

BrowserHelperWindow::~BrowserHelperWindow() { Stop(); }

HRESULT BrowserHelperWindow::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (helper_) return S_FALSE;
  ComPtr<IObjectWithSite> helper;
  HRESULT hr = CreateComInstance<CCVIEBHO>(IID_IObjectWithSite, helper.OutVoid());
  if (FAILED(hr)) return hr;
  window_ = CBrowserWindow::Create(browser_);
  helper_ = helper;
  return helper_->SetSite(static_cast<IWebBrowser2*>(window_.Get()));
}

HRESULT BrowserHelperWindow::Stop() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!helper_) return S_FALSE;
  HRESULT hr = helper_->SetSite(nullptr);
  helper_.Reset();
  window_.Reset();
  return hr;
}

bool BrowserHelperWindow::started() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<bool>(helper_);
}

int BrowserHelperWindow::FireBeforeNavigate2(const std::wstring& url) {
  ComPtr<CBrowserWindow> window;
  {
    std::lock_guard<std::mutex> lock(mu_);
    window = window_;
  }
  return window ? window->FireBeforeNavigate2(url) : 0;
}

}  // namespace cvie
