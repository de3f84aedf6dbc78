// ui/toolbar_cfg.h
//
// ToolbarCfg: the registry of the command configuration (parameters,
// commands, menus, images), each object registered under its name (exact,
// case-sensitive) and commands also under their identifier. It owns every
// object registered and deletes them when it is destroyed; an object replaced
// in a map by a later one of the same name stays alive until then, so a
// pointer returned by a look-up stays valid for the life of the ToolbarCfg.
//
// Thread safety: registration and look-ups may run on any thread at once
// (the maps are guarded by a lock). The objects found are themselves safe to
// use from several threads (parameters guard their values).
//
// ProcessToolbarCfg() is the process's configuration, built by
// BuildCommandConfig on first use.

#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "config/param.h"
#include "ui/command_context.h"
#include "ui/menu_cfg.h"

namespace cvie {

// Names of the configuration built by BuildCommandConfig.
extern const wchar_t kFirstOpenParamName[];  // "__FIRST_OPEN__"
extern const wchar_t kMainOptionMenuName[];  // "Main Option Menu"
extern const wchar_t kCheckedImageName[];    // "Checked BMP"
extern const wchar_t kSelectedImageName[];   // "Selected BMP"
extern const wchar_t kEnableCorvaneParamName[];
extern const wchar_t kDisableOnWebsiteParamName[];
extern const wchar_t kDisableOnPageParamName[];
extern const wchar_t kToolbarWindowClassName[];  // "CVIEToolbar Class"

// The first command identifier; commands count up from it.
constexpr int32_t kFirstCommandId = 301;

class ToolbarCfg {
 public:
  ToolbarCfg();
  virtual ~ToolbarCfg();
  ToolbarCfg(const ToolbarCfg&) = delete;
  ToolbarCfg& operator=(const ToolbarCfg&) = delete;

  // Register `object` under its name; an object with an empty name is
  // refused (false; the object is deleted). A later object of the same name
  // takes its place in the look-ups.
  bool AddParam(std::unique_ptr<Param> param);
  bool AddMenu(std::unique_ptr<MenuCfg> menu);
  bool AddImage(std::unique_ptr<ImageCfg> image);
  // Registers the command under its name and under its identifier.
  bool AddCommand(std::unique_ptr<Command> command);

  // Null (or -1) when nothing is registered under the name.
  Param* FindParam(const std::wstring& name) const;
  MenuCfg* FindMenu(const std::wstring& name) const;
  ImageCfg* FindImage(const std::wstring& name) const;
  int32_t FindCommandId(const std::wstring& name) const;
  Command* FindCommand(int32_t id) const;
  Command* FindCommandByName(const std::wstring& name) const;

  // The values set once at start.
  void SetFirstOpenParamName(const std::wstring& name);
  std::wstring GetFirstOpenParamName() const;
  void SetBandValues(const std::wstring& window_class, const std::wstring& title);
  std::wstring GetBandWindowClass() const;

 private:
  mutable std::shared_mutex mu_;
  std::vector<std::unique_ptr<CfgObject>> owned_;  // every object ever registered
  std::map<std::wstring, Param*> params_;
  std::map<std::wstring, int32_t> command_ids_;
  std::map<std::wstring, MenuCfg*> menus_;
  std::map<std::wstring, ImageCfg*> images_;
  std::map<int32_t, Command*> commands_;
  std::wstring first_open_param_name_;
  std::wstring band_window_class_;
  std::wstring band_title_;
};

// Fills `cfg` with the images, parameters, commands (301 to 308) and the menu
// "Main Option Menu". The registry-backed parameters load their values.
void BuildCommandConfig(ToolbarCfg* cfg);

// The process's configuration, built on the first call (safe when several
// threads make the first call at once); never destroyed.
ToolbarCfg& ProcessToolbarCfg();

}  // namespace cvie
