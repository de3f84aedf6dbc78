// The toolbar button and the placement of its menu.

#include "ie/button.h"

#include <atomic>
#include <string>

#include "ie/ie_guids.h"
#include "ui/commands.h"
#include "ui/toolbar_cfg.h"

namespace cvie {

namespace {

constexpr size_t kClassNameChars = 260;
constexpr size_t kVersionBytes = 260;

// This platform's default: no windows, the cursor at the origin.
class NoWindows : public ButtonWindows {
 public:
  ScreenPoint CursorPos() override { return {}; }
  platform::HWND WindowFromPoint(ScreenPoint) override { return nullptr; }
  std::vector<platform::HWND> ChildWindows(platform::HWND) override { return {}; }
  std::wstring ClassName(platform::HWND) override { return L""; }
  bool IsVisible(platform::HWND) override { return false; }
  ScreenPoint ScreenToClient(platform::HWND, ScreenPoint p) override { return p; }
  ScreenPoint ClientToScreen(platform::HWND, ScreenPoint p) override { return p; }
  int HitTest(platform::HWND, ScreenPoint) override { return -1; }
  bool GetButtonCommand(platform::HWND, int, int*) override { return false; }
  bool GetButtonRect(platform::HWND, int, ScreenRect*) override { return false; }
  ScreenRect WorkArea() override { return {}; }
  void PressButton(platform::HWND, int, bool) override {}
};

NoWindows g_no_windows;
std::atomic<ButtonWindows*> g_windows{nullptr};

std::wstring ClassNameOf(ButtonWindows& windows, platform::HWND window) {
  std::wstring name = windows.ClassName(window);
  if (name.size() > kClassNameChars - 1) name.resize(kClassNameChars - 1);
  return name;
}

platform::HWND FirstChildOfClass(ButtonWindows& windows, platform::HWND parent,
                                 const wchar_t* class_name) {
  for (platform::HWND child : windows.ChildWindows(parent))
    if (ClassNameOf(windows, child) == class_name) return child;
  return nullptr;
}

// The browser of the command context, over the button's IWebBrowser2.
class WebBrowserOfButton : public WebBrowser {
 public:
  explicit WebBrowserOfButton(IWebBrowser2* browser) : browser_(browser) {}
  bool GetLocationURL(std::wstring* url) override {
    BSTR text = nullptr;
    if (FAILED(browser_->get_LocationURL(&text)) || !text) return false;
    url->assign(text, SysStringLen(text));
    SysFreeString(text);
    return true;
  }
  bool Navigate(const std::wstring& url) override {
    BSTR text = SysAllocStringLen(url.data(), static_cast<UINT>(url.size()));
    HRESULT hr = browser_->Navigate(text);
    SysFreeString(text);
    return SUCCEEDED(hr);
  }
  bool Refresh() override { return SUCCEEDED(browser_->Refresh()); }

 private:
  IWebBrowser2* browser_;
};

// The HTML document the browser shows, or null.
ComPtr<IHTMLDocument2> HtmlDocumentOf(IWebBrowser2* browser) {
  ComPtr<IDispatch> document;
  ComPtr<IHTMLDocument2> html;
  if (FAILED(browser->get_Document(document.ReleaseAndGetAddressOf())) || !document)
    return html;
  if (FAILED(document.As(IID_IHTMLDocument2, &html))) html.Reset();
  return html;
}

}  // namespace

ButtonWindows* SetButtonWindows(ButtonWindows* windows) {
  return g_windows.exchange(windows, std::memory_order_acq_rel);
}

ButtonWindows& ActiveButtonWindows() {
  ButtonWindows* w = g_windows.load(std::memory_order_acquire);
  return w ? *w : g_no_windows;
}

MenuPlacement PlaceButtonMenu(ButtonWindows& windows, platform::HWND toolbar,
                              ScreenPoint cursor) {
  MenuPlacement placement;
  placement.position = cursor;
  if (toolbar) {
    ScreenPoint client = windows.ScreenToClient(toolbar, cursor);
    int index = windows.HitTest(toolbar, client);
    int command = 0;
    ScreenRect rect;
    // The toolbar numbers its buttons from 0, so index 0 is the first button.
    // A button whose command or rectangle cannot be read opens the menu at
    // the cursor: the menu needs screen coordinates.
    if (index >= 0 && windows.GetButtonCommand(toolbar, index, &command) &&
        windows.GetButtonRect(toolbar, command, &rect)) {
      placement.button_id = command;
      placement.position = windows.ClientToScreen(toolbar, {rect.left, rect.bottom});
      ScreenRect work = windows.WorkArea();
      if (work.right - placement.position.x < kRightEdgeMargin) {
        placement.right_aligned = true;
        placement.position = windows.ClientToScreen(toolbar, {rect.right, rect.bottom});
      }
    } else {
      placement.position = cursor;
      placement.at_cursor = true;
    }
  }
  placement.track_flags = platform::TPM_RETURNCMD | platform::TPM_NONOTIFY;
  if (placement.right_aligned) placement.track_flags |= platform::TPM_RIGHTALIGN;
  return placement;
}

platform::HWND FindTabbedOwner(ButtonWindows& windows, platform::HWND frame) {
  for (platform::HWND child : windows.ChildWindows(frame)) {
    if (ClassNameOf(windows, child) != L"TabWindowClass" || !windows.IsVisible(child))
      continue;
    platform::HWND view = FirstChildOfClass(windows, child, L"Shell DocObject View");
    platform::HWND server =
        view ? FirstChildOfClass(windows, view, L"Internet Explorer_Server") : nullptr;
    return server ? server : frame;
  }
  return frame;
}

bool IsTabbedBrowserVersion(const std::wstring& version) {
  std::string bytes;
  for (wchar_t c : version) {
    if (bytes.size() >= kVersionBytes - 1) break;
    bytes.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return bytes.find("MSIE 7.") != std::string::npos;
}

// --- CCVButton -----------------------------------------------------------------

void* CCVButton::FindInterface(REFIID iid) {
  if (iid == IID_IObjectWithSite) return static_cast<IObjectWithSite*>(this);
  if (iid == IID_IOleCommandTarget) return static_cast<IOleCommandTarget*>(this);
  return nullptr;
}

HRESULT CCVButton::SetSite(IUnknown* site) {
  if (site) {
    ComPtr<IServiceProvider> provider;
    if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, provider.OutVoid())) &&
        provider) {
      ComPtr<IWebBrowser2> browser;
      if (SUCCEEDED(provider->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2,
                                           browser.OutVoid())) &&
          browser)
        web_browser_ = browser;
    }
  }
  site_ = ComPtr<IUnknown>(site);
  tabbed_browser_ = false;
  if (site && web_browser_) {
    ComPtr<IHTMLDocument2> document = HtmlDocumentOf(web_browser_.Get());
    BSTR version = nullptr;
    if (document && SUCCEEDED(document->get_NavigatorAppVersion(&version)) && version) {
      tabbed_browser_ =
          IsTabbedBrowserVersion(std::wstring(version, SysStringLen(version)));
    }
    SysFreeString(version);
  }
  return S_OK;
}

HRESULT CCVButton::GetSite(REFIID iid, void** site) {
  if (!site) return E_POINTER;
  *site = nullptr;
  if (!site_) return E_FAIL;
  return site_->QueryInterface(iid, site);
}

HRESULT CCVButton::QueryStatus(const GUID*, ULONG count, OLECMD* commands, OLECMDTEXT*) {
  if (count == 0) return E_INVALIDARG;
  if (!commands) return E_POINTER;
  commands[0].cmdf = OLECMDF_ENABLED;
  return S_OK;
}

HRESULT CCVButton::Exec(const GUID*, DWORD, DWORD, VARIANT*, VARIANT*) {
  if (!site_ || !web_browser_) return S_OK;
  if (!HtmlDocumentOf(web_browser_.Get())) return S_OK;
  HANDLE_PTR frame_handle = 0;
  if (FAILED(web_browser_->get_HWND(&frame_handle)) || frame_handle == 0) return S_OK;
  ButtonWindows& windows = ActiveButtonWindows();
  ScreenPoint cursor = windows.CursorPos();
  platform::HWND frame = reinterpret_cast<platform::HWND>(frame_handle);
  platform::HWND owner = frame;
  platform::HWND toolbar = windows.WindowFromPoint(cursor);
  if (tabbed_browser_) owner = FindTabbedOwner(windows, frame);

  MenuPlacement placement = PlaceButtonMenu(windows, toolbar, cursor);
  bool pressed = placement.press_button();
  if (pressed) windows.PressButton(toolbar, placement.button_id, true);

  ToolbarCfg& cfg = ProcessToolbarCfg();
  WebBrowserOfButton browser(web_browser_.Get());
  CommandContext context;
  context.cfg = &cfg;
  context.owner = owner;
  context.browser = &browser;
  CmdShowButtonMenu menu(L"Show Main Option Menu", 0, kMainOptionMenuName,
                         placement.position.x, placement.position.y,
                         placement.track_flags);
  menu.Execute(&context);
  UINT chosen = menu.GetSelectedId();

  if (pressed) windows.PressButton(toolbar, placement.button_id, false);
  if (Command* command = cfg.FindCommand(static_cast<int32_t>(chosen)))
    command->Execute(&context);
  return S_OK;
}

}  // namespace cvie
