// app/road/plugin_host.h
//
// What the proxy does as the browser when its one window opens and closes.
// Open: declares the process the browser, installs the bundled rule file when
// none is installed, and gives the window's browser helper object its site, which runs
// the start sequence (user identity, data folders and version line once per process; the
// rule file check with the silent update check or the version-file check; the rules; the
// whitelist; the HTML filter and namespace handler registrations). Close: the helper
// object's stop sequence.
//
// Call Open and Close from one thread; Close without Open does nothing.

#pragma once

#include <memory>
#include <string>

#include "ie/bho.h"
#include "ui/browser.h"

namespace cvie::road {

class PluginHost {
 public:
  ~PluginHost() { Close(); }
  // False with *error set when no usable rules can be had or the session
  // refuses the registrations; whatever was registered is withdrawn then.
  // `update_check`: run the silent update check as the window start does.
  // `browser`: the window's web browser (may be null), kept by the caller.
  bool Open(bool update_check, std::string* error, WebBrowser* browser = nullptr);
  void Close();
  bool opened() const { return opened_; }
  // The window's helper object while open, else null: navigations are told to it.
  BrowserHelperWindow* helper() const { return helper_.get(); }

 private:
  bool opened_ = false;
  std::unique_ptr<BrowserHelperWindow> helper_;
};

}  // namespace cvie::road
