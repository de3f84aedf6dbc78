// ie/button.h
//
// The toolbar button. A click (Exec) opens "Main Option Menu" directly below
// the button, shows the button pressed while the menu is open, and runs the
// command chosen. In the tabbed browser (navigator version text containing
// "MSIE 7.") the menu's owner is the content window of the visible tab.
//
// Where the menu goes is decided by pure functions over what the window
// system reports (ButtonWindows): the hit test on the toolbar, the button's
// rectangle and the 150-pixel rule at the right edge of the work area, and
// the tracking flags. The window system is injectable; tests give their own
// geometry. By default this platform has no toolbar windows: the menu opens
// at the cursor.
//
// Thread safety: a button is called on the thread of its window; the
// process-wide ButtonWindows pointer may be set from any thread.

#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "ie/bho_browser.h"
#include "platform/com.h"
#include "platform/com_registry.h"
#include "platform/ui.h"

namespace cvie {

struct ScreenPoint {
  int x = 0;
  int y = 0;
  bool operator==(const ScreenPoint& o) const { return x == o.x && y == o.y; }
};
struct ScreenRect {
  int left = 0, top = 0, right = 0, bottom = 0;
};

// Distance from the work area's right edge below which the menu is aligned
// to the button's right edge.
constexpr int kRightEdgeMargin = 150;

// What the window system tells the button. Handles are platform::HWND; null
// is "no window".
class ButtonWindows {
 public:
  virtual ~ButtonWindows() = default;
  virtual ScreenPoint CursorPos() = 0;
  virtual platform::HWND WindowFromPoint(ScreenPoint point) = 0;
  virtual std::vector<platform::HWND> ChildWindows(platform::HWND parent) = 0;
  // The window's class name (at most 260 characters).
  virtual std::wstring ClassName(platform::HWND window) = 0;
  virtual bool IsVisible(platform::HWND window) = 0;
  virtual ScreenPoint ScreenToClient(platform::HWND window, ScreenPoint point) = 0;
  virtual ScreenPoint ClientToScreen(platform::HWND window, ScreenPoint point) = 0;
  // TB_HITTEST: the index of the button at the client point; negative for
  // none.
  virtual int HitTest(platform::HWND toolbar, ScreenPoint client) = 0;
  // TB_GETBUTTON: the command identifier of button `index`.
  virtual bool GetButtonCommand(platform::HWND toolbar, int index, int* command) = 0;
  // TB_GETRECT: the client rectangle of the button with `command`.
  virtual bool GetButtonRect(platform::HWND toolbar, int command, ScreenRect* rect) = 0;
  // SPI_GETWORKAREA.
  virtual ScreenRect WorkArea() = 0;
  // TB_PRESSBUTTON.
  virtual void PressButton(platform::HWND toolbar, int command, bool pressed) = 0;
};

// Puts `windows` in place (null: the default, which has no windows and a
// cursor at 0,0); returns the previous one (null for the default).
ButtonWindows* SetButtonWindows(ButtonWindows* windows);
ButtonWindows& ActiveButtonWindows();

// Where and how the menu opens.
struct MenuPlacement {
  ScreenPoint position;
  int button_id = -1;  // the toolbar button's command, -1 when none
  bool at_cursor = false;
  bool right_aligned = false;
  UINT track_flags = 0;
  // The button is shown pressed while the menu is open.
  bool press_button() const { return button_id != -1 && !at_cursor; }
};

// The placement for a click with the cursor at `cursor` over `toolbar` (null
// when no window is under the cursor). A hit gives the button's left-bottom
// corner, or its right-bottom corner with TPM_RIGHTALIGN when the left edge
// is less than kRightEdgeMargin pixels from the work area's right edge. No
// hit, or a button whose command or rectangle cannot be read, gives the
// cursor position. Tracking flags are TPM_RETURNCMD | TPM_NONOTIFY (384),
// plus TPM_RIGHTALIGN (392).
MenuPlacement PlaceButtonMenu(ButtonWindows& windows, platform::HWND toolbar,
                              ScreenPoint cursor);

// The owner of the menu in the tabbed browser: in the first visible child of
// `frame` of class "TabWindowClass", the first "Shell DocObject View" child's
// "Internet Explorer_Server" child. Returns `frame` when none is found.
platform::HWND FindTabbedOwner(ButtonWindows& windows, platform::HWND frame);

// True when the navigator version text, in the system's 8-bit code page and
// cut to 259 bytes, contains "MSIE 7.".
bool IsTabbedBrowserVersion(const std::wstring& version);

// The dual interface of the button; no members of its own.
class ICVButton : public IDispatch {};

class CCVButton : public ComObject<IObjectWithSite, IOleCommandTarget> {
 public:
  CCVButton() = default;

  // Keeps the site; takes the web browser from the site's SID_SWebBrowserApp
  // service (kept when the site goes away) and decides whether the browser
  // is tabbed. Always S_OK.
  HRESULT SetSite(IUnknown* site) override;
  HRESULT GetSite(REFIID iid, void** site) override;

  // Enables the first command only: E_INVALIDARG for no commands, E_POINTER
  // for a null array, else S_OK.
  HRESULT QueryStatus(const GUID* group, ULONG count, OLECMD* commands,
                      OLECMDTEXT* text) override;
  // Shows the menu and runs the chosen command; the arguments are ignored.
  // Does nothing without a site, a web browser, an HTML document or a frame
  // window. Always S_OK.
  HRESULT Exec(const GUID* group, DWORD command, DWORD options, VARIANT* in,
               VARIANT* out) override;

  bool tabbed_browser() const { return tabbed_browser_; }

 protected:
  ~CCVButton() override = default;
  void* FindInterface(REFIID iid) override;

 private:
  ComPtr<IUnknown> site_;
  ComPtr<IWebBrowser2> web_browser_;
  bool tabbed_browser_ = false;
};

}  // namespace cvie
