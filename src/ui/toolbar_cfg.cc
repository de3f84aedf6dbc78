// ui/toolbar_cfg.cc

#include "ui/toolbar_cfg.h"

#include <mutex>

#include "config/options.h"
#include "config/param_in_registry.h"
#include "config/update_server.h"
#include "platform/registry.h"
#include "ui/commands.h"

namespace cvie {

const wchar_t kFirstOpenParamName[] = L"__FIRST_OPEN__";
const wchar_t kMainOptionMenuName[] = L"Main Option Menu";
const wchar_t kCheckedImageName[] = L"Checked BMP";
const wchar_t kSelectedImageName[] = L"Selected BMP";
const wchar_t kEnableCorvaneParamName[] = L"Enable Corvane Option";
const wchar_t kDisableOnWebsiteParamName[] = L"Disable On This Website Option";
const wchar_t kDisableOnPageParamName[] = L"Disable On This Page Only Option";
const wchar_t kToolbarWindowClassName[] = L"CVIEToolbar Class";

CVCfg& CommandContext::GetOptions() const {
  return options ? *options : CVCfg::Instance();
}

ToolbarCfg::ToolbarCfg() = default;
ToolbarCfg::~ToolbarCfg() = default;

namespace {

template <typename T>
T* Find(const std::map<std::wstring, T*>& map, const std::wstring& name) {
  auto it = map.find(name);
  return it == map.end() ? nullptr : it->second;
}

}  // namespace

bool ToolbarCfg::AddParam(std::unique_ptr<Param> param) {
  if (!param || param->GetName().empty()) return false;
  std::unique_lock lock(mu_);
  params_[param->GetName()] = param.get();
  owned_.push_back(std::move(param));
  return true;
}

bool ToolbarCfg::AddMenu(std::unique_ptr<MenuCfg> menu) {
  if (!menu || menu->GetName().empty()) return false;
  std::unique_lock lock(mu_);
  menus_[menu->GetName()] = menu.get();
  owned_.push_back(std::move(menu));
  return true;
}

bool ToolbarCfg::AddImage(std::unique_ptr<ImageCfg> image) {
  if (!image || image->GetName().empty()) return false;
  std::unique_lock lock(mu_);
  images_[image->GetName()] = image.get();
  owned_.push_back(std::move(image));
  return true;
}

bool ToolbarCfg::AddCommand(std::unique_ptr<Command> command) {
  if (!command || command->GetName().empty()) return false;
  std::unique_lock lock(mu_);
  command_ids_[command->GetName()] = command->GetId();
  commands_[command->GetId()] = command.get();
  owned_.push_back(std::move(command));
  return true;
}

Param* ToolbarCfg::FindParam(const std::wstring& name) const {
  std::shared_lock lock(mu_);
  return Find(params_, name);
}

MenuCfg* ToolbarCfg::FindMenu(const std::wstring& name) const {
  std::shared_lock lock(mu_);
  return Find(menus_, name);
}

ImageCfg* ToolbarCfg::FindImage(const std::wstring& name) const {
  std::shared_lock lock(mu_);
  return Find(images_, name);
}

int32_t ToolbarCfg::FindCommandId(const std::wstring& name) const {
  std::shared_lock lock(mu_);
  auto it = command_ids_.find(name);
  return it == command_ids_.end() ? -1 : it->second;
}

Command* ToolbarCfg::FindCommand(int32_t id) const {
  std::shared_lock lock(mu_);
  auto it = commands_.find(id);
  return it == commands_.end() ? nullptr : it->second;
}

Command* ToolbarCfg::FindCommandByName(const std::wstring& name) const {
  int32_t id = FindCommandId(name);
  return id == -1 ? nullptr : FindCommand(id);
}

void ToolbarCfg::SetFirstOpenParamName(const std::wstring& name) {
  std::unique_lock lock(mu_);
  first_open_param_name_ = name;
}

std::wstring ToolbarCfg::GetFirstOpenParamName() const {
  std::shared_lock lock(mu_);
  return first_open_param_name_;
}

void ToolbarCfg::SetBandValues(const std::wstring& window_class,
                               const std::wstring& title) {
  std::unique_lock lock(mu_);
  band_window_class_ = window_class;
  band_title_ = title;
}

std::wstring ToolbarCfg::GetBandWindowClass() const {
  std::shared_lock lock(mu_);
  return band_window_class_;
}

void BuildCommandConfig(ToolbarCfg* cfg) {
  if (!cfg) return;
  cfg->SetFirstOpenParamName(kFirstOpenParamName);
  cfg->SetBandValues(kToolbarWindowClassName, L"Corvane Filter");

  cfg->AddImage(std::make_unique<ImageCfg>(kCheckedImageName, 207, 16, 16, 1));
  cfg->AddImage(std::make_unique<ImageCfg>(kSelectedImageName, 206, 16, 16, 1));

  const std::wstring server = UpdateServerUrl();
  cfg->AddParam(std::make_unique<Param>(L"TRUE", 1));
  cfg->AddParam(std::make_unique<Param>(L"FALSE", 0));
  cfg->AddParam(std::make_unique<ParamInRegistry>(kFirstOpenParamName, 1,
                                                  platform::HKEY_CURRENT_USER,
                                                  kOptionsKeyPath, L"FirstOpen", true));
  cfg->AddParam(std::make_unique<ParamInRegistry>(
      kEnableCorvaneParamName, 1, platform::HKEY_CURRENT_USER, kOptionsKeyPath,
      L"Enable Corvane", true));
  cfg->AddParam(std::make_unique<Param>(kDisableOnWebsiteParamName, ParamText(L"0")));
  cfg->AddParam(std::make_unique<Param>(kDisableOnPageParamName, ParamText(L"0")));
  cfg->AddParam(std::make_unique<Param>(L"Buffer URL", ParamText(L"")));
  cfg->AddParam(
      std::make_unique<Param>(L"Report page URL", ParamText(server + L"/reportads")));
  cfg->AddParam(std::make_unique<Param>(L"Corvane IE Plugin help page URL",
                                        ParamText(server + L"/faq")));
  cfg->AddParam(std::make_unique<Param>(L"Check Update page URL",
                                        ParamText(server + L"/downloads")));

  const wchar_t kPlace[] = L"Show Result in Current Window Option";
  const wchar_t kWindowName[] = L"New Window Name";
  int32_t id = kFirstCommandId;
  cfg->AddCommand(std::make_unique<CmdPrefTabCtrl>(L"Preferences Cmd", id++,
                                                   L"For Preferences Dialog", L"0"));
  cfg->AddCommand(std::make_unique<CmdToggleParam>(L"Toggle Enable Corvane Cmd", id++,
                                                   kEnableCorvaneParamName));
  cfg->AddCommand(std::make_unique<CmdAddUrlToWhiteList>(
      L"Whitelist This Website Cmd", id++, CfgText(kWhitelistSiteTarget), 1));
  cfg->AddCommand(std::make_unique<CmdAddUrlToWhiteList>(
      L"Whitelist This Page Cmd", id++, CfgText(kWhitelistUrlTarget), 1));
  cfg->AddCommand(std::make_unique<CmdNavigate>(L"Go Report page Cmd", id++,
                                                L"Report page URL", kPlace, kWindowName));
  cfg->AddCommand(std::make_unique<CmdCheckUpdate>(L"Go Check Update Cmd", id++,
                                                   L"Check Update", kPlace));
  cfg->AddCommand(std::make_unique<CmdNavigate>(L"Go Corvane IE Plugin help page Cmd",
                                                id++, L"Corvane IE Plugin help page URL",
                                                kPlace, kWindowName));
  cfg->AddCommand(std::make_unique<CmdShowAbout>(L"About... Cmd", id++, 202));

  struct ItemRow {
    const wchar_t* label;
    const wchar_t* command;
    const wchar_t* image;
    const wchar_t* check_param;
    const wchar_t* check_value;
  };
  static const ItemRow kItems[] = {
      {L"Preferences", L"Preferences Cmd", nullptr, nullptr, nullptr},
      {kMenuSeparatorLabel, nullptr, nullptr, nullptr, nullptr},
      {L"Enable Corvane", L"Toggle Enable Corvane Cmd", kCheckedImageName,
       kEnableCorvaneParamName, L"1"},
      {L"Allow Ads On This Website", L"Whitelist This Website Cmd", kCheckedImageName,
       kDisableOnWebsiteParamName, L"1"},
      {L"Allow Ads On This Page Only", L"Whitelist This Page Cmd", kCheckedImageName,
       kDisableOnPageParamName, L"1"},
      {kMenuSeparatorLabel, nullptr, nullptr, nullptr, nullptr},
      {L"Report Annoying Ads", L"Go Report page Cmd", nullptr, nullptr, nullptr},
      {L"Check Update ...", L"Go Check Update Cmd", nullptr, nullptr, nullptr},
      {kMenuSeparatorLabel, nullptr, nullptr, nullptr, nullptr},
      {L"Help...", L"Go Corvane IE Plugin help page Cmd", nullptr, nullptr, nullptr},
      {L"About Corvane Filter...", L"About... Cmd", nullptr, nullptr, nullptr},
  };
  auto text = [](const wchar_t* s) { return s ? CfgText(s) : CfgText(); };
  auto menu = std::make_unique<MenuCfg>(kMainOptionMenuName);
  for (const ItemRow& row : kItems) {
    menu->AddItem(std::make_unique<MenuItemCfg>(text(row.label), text(row.image),
                                                text(row.command), text(row.check_param),
                                                text(row.check_value)));
  }
  cfg->AddMenu(std::move(menu));
}

ToolbarCfg& ProcessToolbarCfg() {
  static ToolbarCfg* cfg = [] {
    auto* made = new ToolbarCfg();
    BuildCommandConfig(made);
    return made;
  }();
  return *cfg;
}

}  // namespace cvie
