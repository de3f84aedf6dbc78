// ui/command_context.h
//
// Command: a named configuration object with an identifier that does one
// thing for the user when executed (Execute returns true when it did its
// work; failures are reported only by the result, never shown).
// CommandContext: what a command runs against: the configuration, the owner
// window of anything it shows and the browser window it works on. A context
// lives on the stack of one button press and is not shared between threads.

#pragma once

#include <stdint.h>

#include <string>

#include "config/cfg_object.h"
#include "platform/ui.h"

namespace cvie {

class CVCfg;
class ToolbarCfg;
class WebBrowser;
class Whitelist;

struct CommandContext {
  ToolbarCfg* cfg = nullptr;
  platform::HWND owner = nullptr;
  WebBrowser* browser = nullptr;
  // The stores the commands work on; null means the process's own
  // (Whitelist::Instance(), CVCfg::Instance()). Tools and tests set their own.
  Whitelist* whitelist = nullptr;
  CVCfg* options = nullptr;

  Whitelist& GetWhitelist() const;
  CVCfg& GetOptions() const;
};

class Command : public CfgObject {
 public:
  Command(const std::wstring& name, int32_t id) : CfgObject(name), id_(id) {}
  ~Command() override = default;

  virtual bool Execute(const CommandContext* context) = 0;
  int32_t GetId() const { return id_; }

 private:
  const int32_t id_;
};

}  // namespace cvie
