// ui/commands.cc

#include "ui/commands.h"

#include <mutex>

#include "comm/version_info.h"
#include "platform/url.h"
#include "ui/browser.h"
#include "ui/preferences.h"
#include "ui/toolbar_cfg.h"
#include "whitelist/whitelist.h"

namespace cvie {

const wchar_t kWhitelistSiteTarget[] = L"__SITE__";
const wchar_t kWhitelistUrlTarget[] = L"__URL__";

Whitelist& CommandContext::GetWhitelist() const {
  return whitelist ? *whitelist : Whitelist::Instance();
}

bool HostNameOfUrl(const std::wstring& url, std::wstring* host) {
  platform::CrackedUrl parts;
  if (!platform::CrackUrl(url, &parts) || parts.host.empty()) return false;
  *host = parts.host.substr(0, kMaxHostNameLength);
  return true;
}

CmdPrefTabCtrl::CmdPrefTabCtrl(const std::wstring& name, int32_t id,
                               const std::wstring& text1, const std::wstring& text2)
    : Command(name, id), text1_(text1), text2_(text2) {}

bool CmdPrefTabCtrl::Execute(const CommandContext* context) {
  CPrefDialog dialog(context ? context->options : nullptr,
                     context ? context->whitelist : nullptr);
  platform::ActiveUi().DoModal(&dialog, context ? context->owner : nullptr);
  return true;
}

CmdToggleParam::CmdToggleParam(const std::wstring& name, int32_t id,
                               const std::wstring& param_name)
    : Command(name, id), param_name_(param_name) {}

bool CmdToggleParam::Execute(const CommandContext* context) {
  if (!context || !context->cfg) return false;
  Param* param = context->cfg->FindParam(param_name_);
  if (!param) return false;
  param->SetInt(param->GetInt() == 0 ? 1 : 0);
  return true;
}

CmdAddUrlToWhiteList::CmdAddUrlToWhiteList(const std::wstring& name, int32_t id,
                                           const CfgText& target, int32_t toggle)
    : Command(name, id), target_(target), toggle_(toggle) {}

bool CmdAddUrlToWhiteList::Execute(const CommandContext* context) {
  if (!context || !target_) return false;
  std::wstring target;
  bool site = *target_ == kWhitelistSiteTarget;
  if (site || *target_ == kWhitelistUrlTarget) {
    if (!context->browser) return false;
    std::wstring url;
    if (context->browser->GetLocationURL(&url)) {
      if (!site) {
        target = url;
      } else if (!HostNameOfUrl(url, &target)) {
        target.clear();
      }
    }
  } else {
    target = *target_;
  }
  if (target.empty()) return false;

  Whitelist& list = context->GetWhitelist();
  list.Load();
  if (list.Contains(target, true)) {
    if (toggle_ == 0) return true;
    list.Remove(target.c_str());
  } else {
    list.Add(target.c_str());
  }
  // A list that could not be written is a failure: the page is not reloaded.
  if (list.Save() != 0) return false;
  if (context->browser) context->browser->Refresh();
  return true;
}

CmdNavigate::CmdNavigate(const std::wstring& name, int32_t id,
                         const std::wstring& url_param, const std::wstring& place_param,
                         const std::wstring& window_name_param)
    : Command(name, id),
      url_param_(url_param),
      place_param_(place_param),
      window_name_param_(window_name_param) {}

bool CmdNavigate::Execute(const CommandContext* context) {
  if (!context || !context->cfg) return false;
  Param* param = context->cfg->FindParam(url_param_);
  if (!param) return false;
  ParamText url = param->GetString();
  if (!url) return false;
  // Neither the place nor the window-name parameter is registered, and a
  // missing place means the current window: the page always opens here.
  if (!context->browser) return false;
  context->browser->Navigate(*url);
  return true;
}

CmdCheckUpdate::CmdCheckUpdate(const std::wstring& name, int32_t id,
                               const std::wstring& text1, const std::wstring& text2)
    : Command(name, id), text1_(text1), text2_(text2) {}

bool CmdCheckUpdate::Execute(const CommandContext* context) {
  if (!context) return false;
  VersionInfo::Instance().RunUpdateCheck(true);
  return true;
}

CmdShowAbout::CmdShowAbout(const std::wstring& name, int32_t id, int32_t dialog_id)
    : Command(name, id), dialog_id_(dialog_id) {}

bool CmdShowAbout::Execute(const CommandContext* context) {
  if (!context || !context->cfg) return true;
  AboutDialog dialog(dialog_id_);
  platform::ActiveUi().DoModal(&dialog, context->owner);
  return true;
}

std::wstring AboutDialog::Title() const { return L"Corvane Filter"; }

std::wstring AboutDialog::Text() const { return L"           Corvane Filter V2.2"; }

std::wstring AboutDialog::Notice() const {
  return L"Blocks advertisements in the pages you visit.";
}

int AboutDialog::EndResult(int button) { return button == platform::IDOK ? 1 : 0; }

namespace {

UINT AlignFlag(int argument, UINT positive, UINT zero) {
  if (argument < 0) return 0;
  return argument > 0 ? positive : zero;
}

}  // namespace

CmdShowMenu::CmdShowMenu(const std::wstring& name, int32_t id,
                         const std::wstring& menu_name, int x, int y, int vertical,
                         int horizontal)
    : Command(name, id),
      vertical_flag_(
          AlignFlag(vertical, platform::TPM_BOTTOMALIGN, platform::TPM_VCENTERALIGN)),
      horizontal_flag_(
          AlignFlag(horizontal, platform::TPM_RIGHTALIGN, platform::TPM_CENTERALIGN)),
      x_(x),
      y_(y),
      menu_name_(menu_name) {}

CmdShowMenu::~CmdShowMenu() = default;

bool CmdShowMenu::Execute(const CommandContext* context) {
  if (!Prepare(context)) return false;
  Show(context);
  Cleanup(context);
  return true;
}

bool CmdShowMenu::Prepare(const CommandContext* context) {
  if (!context || !context->cfg) return false;
  ToolbarCfg& cfg = *context->cfg;
  MenuCfg* menu = cfg.FindMenu(menu_name_);
  if (!menu || menu->items().empty()) return false;

  Cleanup(context);  // a second Prepare starts from an empty menu
  has_menu_ = true;
  for (const auto& item : menu->items()) {
    if (!item->label()) continue;
    platform::MenuItem entry;
    if (*item->label() == kMenuSeparatorLabel) {
      entry.separator = true;
      menu_.items.push_back(entry);
      continue;
    }
    Command* command =
        item->command_name() ? cfg.FindCommandByName(*item->command_name()) : nullptr;
    entry.id = command ? static_cast<UINT>(command->GetId()) : 0;
    entry.label = *item->label();

    std::wstring image_handle;
    if (item->image_name()) {
      if (ImageCfg* image_cfg = cfg.FindImage(*item->image_name())) {
        images_.push_back(std::make_unique<Image>(image_cfg));
        image_handle = images_.back()->handle();
      }
    }
    bool checked = false;
    if (item->check_param_name() && item->check_value()) {
      if (Param* param = cfg.FindParam(*item->check_param_name())) {
        ParamText value = param->GetString();
        checked = value && *value == *item->check_value();
      }
    }
    // Only a checked item with an image shows a mark.
    if (checked && !image_handle.empty()) {
      entry.checked = true;
      entry.image = image_handle;
    }
    menu_.items.push_back(entry);
  }
  return true;
}

bool CmdShowMenu::Show(const CommandContext* context) {
  if (!has_menu_) return false;
  platform::HWND owner = context ? context->owner : nullptr;
  selected_id_ =
      platform::ActiveUi().TrackPopupMenu(menu_, GetTrackFlags(), x_, y_, owner);
  return true;
}

void CmdShowMenu::Cleanup(const CommandContext*) {
  menu_.items.clear();
  has_menu_ = false;
  images_.clear();
}

UINT CmdShowMenu::GetTrackFlags() const {
  return vertical_flag_ | horizontal_flag_ | platform::TPM_RIGHTBUTTON;
}

CmdShowButtonMenu::CmdShowButtonMenu(const std::wstring& name, int32_t id,
                                     const std::wstring& menu_name, int x, int y,
                                     UINT track_flags)
    : CmdShowMenu(name, id, menu_name, x, y, 0, 0), track_flags_(track_flags) {}

CmdShowButtonMenu::~CmdShowButtonMenu() = default;

bool CmdShowButtonMenu::Prepare(const CommandContext* context) {
  if (!context) return false;
  // The two check parameters are shared by every window of the process: one
  // press at a time sets them and builds its menu from them, so a press in
  // another window cannot change the marks in between.
  static std::mutex prepare_mutex;
  std::lock_guard<std::mutex> lock(prepare_mutex);
  std::wstring url;
  if (context->browser && context->browser->GetLocationURL(&url)) {
    Whitelist& list = context->GetWhitelist();
    if (context->cfg) {
      if (Param* page = context->cfg->FindParam(kDisableOnPageParamName)) {
        page->SetString(list.Contains(url, true) ? L"1" : L"0");
      }
    }
    std::wstring host;
    if (HostNameOfUrl(url, &host) && context->cfg) {
      if (Param* site = context->cfg->FindParam(kDisableOnWebsiteParamName)) {
        site->SetString(list.Contains(host, true) ? L"1" : L"0");
      }
    }
  }
  return CmdShowMenu::Prepare(context);
}

bool CmdShowButtonMenu::Show(const CommandContext* context) {
  if (!has_menu()) return false;
  platform::HWND owner = context ? context->owner : nullptr;
  set_selected_id(
      platform::ActiveUi().TrackPopupMenu(menu(), track_flags_, x(), y(), owner));
  return true;
}

}  // namespace cvie
