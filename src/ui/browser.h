// ui/browser.h
//
// The browser window a command works on: its current address, navigation and
// refresh. The proxy gives each button press its own implementation; tests
// and the command line use their own. Calls come from the thread that runs the
// command; an implementation shared between threads must guard itself.

#pragma once

#include <string>

namespace cvie {

class WebBrowser {
 public:
  virtual ~WebBrowser() = default;
  // Stores the address of the page shown and returns true; false when the
  // browser has no address to give (nothing is stored then).
  virtual bool GetLocationURL(std::wstring* url) = 0;
  // Opens `url` in this window (no target frame, no post data, no headers).
  virtual bool Navigate(const std::wstring& url) = 0;
  // Loads the page shown again.
  virtual bool Refresh() = 0;
};

}  // namespace cvie
