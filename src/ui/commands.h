// ui/commands.h
//
// The commands of the toolbar button's menu and the menu commands that show
// a configured menu. Each Execute returns true when the command did its work
// and false when something it needs is missing; nothing is shown on failure.
//
// CmdShowMenu builds a menu model (platform::PopupMenu) from a MenuCfg in
// Prepare, shows it through the active ui in Show and forgets it in Cleanup.
// A menu command belongs to one button press (one thread); the others hold
// only constant fields and may be executed from any thread.

#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "ui/command_context.h"
#include "ui/menu_cfg.h"

namespace cvie {

// Target texts of CmdAddUrlToWhiteList.
extern const wchar_t kWhitelistSiteTarget[];  // "__SITE__"
extern const wchar_t kWhitelistUrlTarget[];   // "__URL__"

// Longest host name taken from an address.
constexpr size_t kMaxHostNameLength = 999;

// The host name of `url` (cut to kMaxHostNameLength characters); false when
// the address cannot be split or names no host.
bool HostNameOfUrl(const std::wstring& url, std::wstring* host);

// Shows the preferences dialog (ui/preferences.h) modally.
class CmdPrefTabCtrl : public Command {
 public:
  CmdPrefTabCtrl(const std::wstring& name, int32_t id, const std::wstring& text1,
                 const std::wstring& text2);
  bool Execute(const CommandContext* context) override;

 private:
  const std::wstring text1_;
  const std::wstring text2_;
};

// Flips an Integer parameter between 0 and 1.
class CmdToggleParam : public Command {
 public:
  CmdToggleParam(const std::wstring& name, int32_t id, const std::wstring& param_name);
  bool Execute(const CommandContext* context) override;

 private:
  const std::wstring param_name_;
};

// Adds the page's site ("__SITE__"), the page ("__URL__") or a literal
// address to the whitelist; with `toggle`, a second use removes it again.
// The browser refreshes the page after a change.
class CmdAddUrlToWhiteList : public Command {
 public:
  CmdAddUrlToWhiteList(const std::wstring& name, int32_t id, const CfgText& target,
                       int32_t toggle);
  bool Execute(const CommandContext* context) override;

 private:
  const CfgText target_;
  const int32_t toggle_;
};

// Opens the address held by a parameter in the browser's current window.
class CmdNavigate : public Command {
 public:
  CmdNavigate(const std::wstring& name, int32_t id, const std::wstring& url_param,
              const std::wstring& place_param, const std::wstring& window_name_param);
  bool Execute(const CommandContext* context) override;

 private:
  const std::wstring url_param_;
  const std::wstring place_param_;
  const std::wstring window_name_param_;
};

// Starts an interactive update check (VersionInfo::RunUpdateCheck(true)).
class CmdCheckUpdate : public Command {
 public:
  CmdCheckUpdate(const std::wstring& name, int32_t id, const std::wstring& text1,
                 const std::wstring& text2);
  bool Execute(const CommandContext* context) override;

 private:
  const std::wstring text1_;
  const std::wstring text2_;
};

// The about box: dialog 202, "Corvane Filter".
class CmdShowAbout : public Command {
 public:
  CmdShowAbout(const std::wstring& name, int32_t id, int32_t dialog_id);
  bool Execute(const CommandContext* context) override;

 private:
  const int32_t dialog_id_;
};

// The about dialog shown by CmdShowAbout.
class AboutDialog : public platform::ModalDialog {
 public:
  explicit AboutDialog(int resource_id) : resource_id_(resource_id) {}
  int ResourceId() const override { return resource_id_; }
  std::wstring Title() const override;
  // The version line and the notice line.
  std::wstring Text() const;
  std::wstring Notice() const;
  // OK ends the dialog with 1, Cancel with 0.
  static int EndResult(int button);

 private:
  const int resource_id_;
};

// Shows a configured menu. Execute = Prepare, then Show and Cleanup; false
// when Prepare fails.
class CmdShowMenu : public Command {
 public:
  // `vertical`/`horizontal`: negative gives no alignment flag, positive
  // bottom/right alignment, zero centring.
  CmdShowMenu(const std::wstring& name, int32_t id, const std::wstring& menu_name, int x,
              int y, int vertical, int horizontal);
  ~CmdShowMenu() override;

  bool Execute(const CommandContext* context) override;
  virtual bool Prepare(const CommandContext* context);
  virtual bool Show(const CommandContext* context);
  virtual void Cleanup(const CommandContext* context);
  virtual UINT GetTrackFlags() const;

  // The menu prepared (empty outside Prepare ... Cleanup); whether one is open.
  const platform::PopupMenu& menu() const { return menu_; }
  bool has_menu() const { return has_menu_; }
  // Images loaded for the open menu.
  size_t image_count() const { return images_.size(); }

 protected:
  int x() const { return x_; }
  int y() const { return y_; }
  void set_selected_id(UINT id) { selected_id_ = id; }
  UINT selected_id() const { return selected_id_; }

 private:
  std::vector<std::unique_ptr<Image>> images_;
  UINT vertical_flag_;
  UINT horizontal_flag_;
  int x_;
  int y_;
  const std::wstring menu_name_;
  platform::PopupMenu menu_;
  bool has_menu_ = false;
  UINT selected_id_ = 0;
};

// The toolbar button's menu: before the menu is built, the check parameters
// of the website and page items follow the whitelist for the browser's
// current address. Shown at the screen point with the button's flags.
class CmdShowButtonMenu : public CmdShowMenu {
 public:
  CmdShowButtonMenu(const std::wstring& name, int32_t id, const std::wstring& menu_name,
                    int x, int y, UINT track_flags);
  ~CmdShowButtonMenu() override;

  bool Prepare(const CommandContext* context) override;
  bool Show(const CommandContext* context) override;
  UINT GetTrackFlags() const override { return track_flags_; }
  // The identifier chosen; 0 when the menu was dismissed.
  virtual UINT GetSelectedId() const { return selected_id(); }

 private:
  const UINT track_flags_;
};

}  // namespace cvie
