// app/road/plugin_host.h
//
// What the proxy does as the browser when its one window opens and closes.
// Open: declares the process the browser, creates the data folders and the
// user identity, installs the bundled rule file when none is installed, checks
// the rule file (a failing one starts the silent update check, a sound one
// the version-file check), prepares the rules, loads the whitelist and
// registers the HTML filter and the namespace handler (and the road's
// pass-over handler before it). Close: withdraws the registrations in the
// reverse order.
//
// Call Open and Close from one thread; Close without Open does nothing.

#pragma once

#include <string>

namespace cvie::road {

class PluginHost {
 public:
  ~PluginHost() { Close(); }
  // False with *error set when no usable rules can be had or the session
  // refuses the registrations; whatever was registered is withdrawn then.
  // `update_check`: run the silent update check as the window start does.
  bool Open(bool update_check, std::string* error);
  void Close();
  bool opened() const { return opened_; }

 private:
  bool opened_ = false;
  bool pass_over_ = false;
  bool filter_ = false;
  bool handler_ = false;
};

}  // namespace cvie::road
