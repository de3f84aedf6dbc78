// app/road/browser_window.h
//
// The proxy's one "browser window": the address of the last top-level page the
// proxy served (its location, which the control panel's menu works on), the
// BeforeNavigate2 log line for each navigation, and what commands asked of the
// window (a navigation to open, a refresh). The proxy cannot steer the real
// browser, so those requests are kept for the panel to carry out in the page.
//
// Thread safety: every method may be called from any thread; one lock guards
// the fields.

#pragma once

#include <stdint.h>

#include <mutex>
#include <string>

#include "ie/bho.h"
#include "proxy/proxy_request.h"
#include "ui/browser.h"

namespace cvie::road {

class BrowserWindow : public WebBrowser {
 public:
  // False while no page has been shown yet.
  bool GetLocationURL(std::wstring* url) override;
  // Keeps `url` as the page a command asked to open; the panel links to it.
  bool Navigate(const std::wstring& url) override;
  // Counts a refresh request; the panel reloads the page it shows.
  bool Refresh() override;

  // A top-level navigation to `url` starts: the window's helper object is told
  // (it writes "DISPID_BEFORENAVIGATE2: %s" at the notice level; without a
  // helper object the window writes that line itself) and `url` becomes the
  // location.
  void BeforeNavigate(const std::string& url);
  // The helper object told of navigations (null: none); kept by the caller.
  void set_helper(BrowserHelperWindow* helper);
  // Sets the location without a navigation (the panel's own `url` parameter).
  void SetLocation(const std::wstring& url);

  // The last address Navigate was given ("" when none) and clears it.
  std::wstring TakeNavigation();
  uint64_t refresh_count() const;

 private:
  mutable std::mutex mu_;
  std::wstring location_;
  std::wstring navigation_;
  uint64_t refreshes_ = 0;
  BrowserHelperWindow* helper_ = nullptr;
};

// True for a request that loads a page into a window rather than a part of a
// page: "Sec-Fetch-Dest: document", or without Sec-Fetch-Dest a GET whose
// Accept names "text/html".
bool IsTopLevelNavigation(const proxy::ProxyRequest& request);

}  // namespace cvie::road
