// config/options.h
//
// CVCfg: the sixteen filter options of the user, kept in the registry under
// HKEY_CURRENT_USER "Software\Corvane\IE Plugin\Options" as REG_DWORD values,
// and the EditorOptions record built from them.
//
// Every option getter returns the registry's current value (each read reloads
// it), except "Enable Corvane" and "WhiteListTS", which every page asks for:
// they have a 10-second timer of their own and are read from the store once
// per period, or at once after this process changed the store; in between
// they are served from memory. The EditorOptions record and the logger's
// enabled switch follow the registry at most every 10 seconds (Refresh), or
// at once on a forced refresh. A Boolean option is on exactly when its value
// is 1.
//
// One instance serves the process (Instance()); it is shared by every thread
// that filters a page and by the user-interface code. All operations are
// thread-safe: the timers and the record are guarded by a lock, each option by
// its own (config/param.h).

#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "anyhtml/editor_options.h"
#include "config/param_in_registry.h"

namespace cvie {

// Registry key of the options, under HKEY_CURRENT_USER.
extern const wchar_t kOptionsKeyPath[];

// The options, in the order of CVCfg's fields.
enum OptionIndex {
  OPTION_ENABLE_CORVANE = 0,
  OPTION_SHOW_TABS_FOR_FLASH,
  OPTION_COLLAPSE_BLOCKED_ELEMENTS,
  OPTION_BLOCK_ADS_ON_LOCAL_PAGE,
  OPTION_FILTER_SCRIPT,
  OPTION_FILTER_IMAGE,
  OPTION_CHECK_BANNER_LINK,
  OPTION_FILTER_MARQUEE,
  OPTION_ENABLE_LOGGING,
  OPTION_FILTER_FRAME,
  OPTION_FILTER_FLASH,
  OPTION_FILTER_CSS,
  OPTION_FILTER_BACKGROUND,
  OPTION_MIN_IMAGE_WIDTH_TO_CHECK,
  OPTION_MIN_IMAGE_HEIGHT_TO_CHECK,
  OPTION_WHITE_LIST_TS,
  OPTION_COUNT
};

struct OptionDefinition {
  const wchar_t* value_name;  // registry value, e.g. "FilterImage"
  const wchar_t* label;       // parameter name, e.g. "FilterImage Option"
  int default_value;
};

// The table of options, indexed by OptionIndex.
extern const OptionDefinition kOptionDefinitions[OPTION_COUNT];

// The OptionIndex of registry value `value_name` (any letter case), or -1.
int FindOption(const std::wstring& value_name);

class CVCfg {
 public:
  // Seconds since 1970.
  using Clock = std::function<int64_t()>;

  // The process's instance, made on the first call (safe when several threads
  // make it at once) and never destroyed, so that code running at exit may
  // still use it.
  static CVCfg& Instance();

  // Loads the sixteen options, refreshes (forced) and writes every option
  // back, so that the key then holds all sixteen values. `clock` replaces the
  // system clock (tests).
  explicit CVCfg(Clock clock = nullptr);
  virtual ~CVCfg();

  int GetEnableCorvane();
  int GetShowTabsForFlash();
  int GetCollapseBlockedElements();
  int GetBlockAdsOnLocalPage();
  int GetFilterScript();
  int GetFilterImage();
  int GetCheckBannerLink();
  int GetFilterMarquee();
  int GetEnableLogging();
  int GetFilterFrame();
  int GetFilterFlash();
  int GetFilterCSS();
  int GetFilterBackground();
  int GetMinImageWidthToCheck();
  int GetMinImageHeightToCheck();
  // Seconds since 1970 of the last whitelist write (a REG_DWORD, so unsigned).
  uint32_t GetWhiteListTS();

  // The options of the preferences dialog: any non-zero `on` stores 1, zero
  // stores 0; written at once.
  void SetShowTabsForFlash(int on);
  void SetCollapseBlockedElements(int on);
  void SetBlockAdsOnLocalPage(int on);
  void SetFilterScript(int on);
  void SetFilterImage(int on);
  void SetCheckBannerLink(int on);
  void SetFilterMarquee(int on);
  void SetEnableLogging(int on);
  void SetFilterFrame(int on);
  void SetFilterFlash(int on);
  void SetWhiteListTS(uint32_t seconds);

  // Option `index` through its getter (WhiteListTS as an unsigned value).
  int64_t GetOption(int index);
  // The parameter of option `index` (for storing any integer, as the command
  // line does). Null for an index out of range.
  ParamInRegistry* OptionParam(int index);

  // Reloads the options and rebuilds the EditorOptions record and the
  // logger's switch when more than 10 seconds have passed since the last
  // rebuild, or when `forced`.
  void Refresh(bool forced);
  // Writes all sixteen options; the next refresh then rebuilds the record.
  void SaveAll();
  // Refresh(false), then a copy of the record: the switches for one page.
  EditorOptions GetEditorOptions();

  CVCfg(const CVCfg&) = delete;
  CVCfg& operator=(const CVCfg&) = delete;

 private:
  int64_t Now() const;
  int GetWithRefresh(int index);
  int GetWithOwnTimer(int index);
  void SetBoolean(int index, int on);
  void RefreshLocked(bool forced);
  void RefreshOwnTimerLocked(int64_t now, bool forced);

  const Clock clock_;
  std::mutex mu_;
  EditorOptions editor_options_;  // guarded by mu_
  std::unique_ptr<ParamInRegistry> params_[OPTION_COUNT];
  int64_t options_expiry_ = 0;  // guarded by mu_
  int64_t own_expiry_ = 0;      // "Enable Corvane" and "WhiteListTS"; guarded by mu_
  // platform::RegistryChangeCount() when those two were last read; guarded by mu_
  uint64_t own_changes_ = ~uint64_t{0};
};

}  // namespace cvie
