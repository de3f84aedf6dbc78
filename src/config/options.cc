// The user's filter options.

#include "config/options.h"

#include <time.h>

#include "log/logger.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace cvie {

const wchar_t kOptionsKeyPath[] = L"Software\\Corvane\\IE Plugin\\Options";

const OptionDefinition kOptionDefinitions[OPTION_COUNT] = {
    {L"Enable Corvane", L"Enable Corvane Option", 1},
    {L"ShowTabsForFlash", L"ShowTabsForFlash Option", 0},
    {L"CollapseBlockedElements", L"CollapseBlockedElements Option", 1},
    {L"BlockAdsOnLocalPage", L"BlockAdsOnLocalPage Option", 1},
    {L"FilterScript", L"FilterScript Option", 1},
    {L"FilterImage", L"FilterImage Option", 1},
    {L"CheckBannerLink", L"CheckBannerLink Option", 1},
    {L"FilterMarquee", L"FilterMarquee Option", 1},
    {L"EnableLogging", L"EnableLogging Option", 1},
    {L"FilterFrame", L"FilterFrame Option", 1},
    {L"FilterFlash", L"FilterFlash Option", 1},
    {L"FilterCSS", L"FilterCSS Option", 0},
    {L"FilterBackground", L"FilterBackground Option", 0},
    {L"MinImageWidthToCheck", L"MinImageWidthToCheck Option", 10},
    {L"MinImageHeightToCheck", L"MinImageHeightToCheck Option", 10},
    {L"WhiteListTS", L"WhiteListTS Option", 0},
};

namespace {

constexpr int64_t kExpirySeconds = 10;

}  // namespace

int FindOption(const std::wstring& value_name) {
  const std::wstring folded = platform::FoldCase(value_name);
  for (int i = 0; i < OPTION_COUNT; ++i) {
    if (platform::FoldCase(kOptionDefinitions[i].value_name) == folded) return i;
  }
  return -1;
}

CVCfg& CVCfg::Instance() {
  static CVCfg* const instance = new CVCfg();
  return *instance;
}

CVCfg::CVCfg(Clock clock) : clock_(std::move(clock)) {
  // The record starts with every switch on except highlighting, and a
  // minimum image size of 10 (EditorOptions' initial values).
  editor_options_ = EditorOptions();
  for (int i = 0; i < OPTION_COUNT; ++i) {
    const OptionDefinition& d = kOptionDefinitions[i];
    params_[i] = std::make_unique<ParamInRegistry>(d.label, d.default_value,
                                                   platform::HKEY_CURRENT_USER,
                                                   kOptionsKeyPath, d.value_name, true);
  }
  Refresh(true);
  SaveAll();
}

CVCfg::~CVCfg() = default;

int64_t CVCfg::Now() const {
  return clock_ ? clock_() : static_cast<int64_t>(time(nullptr));
}

void CVCfg::Refresh(bool forced) {
  std::lock_guard<std::mutex> lock(mu_);
  RefreshLocked(forced);
}

void CVCfg::RefreshOwnTimerLocked(int64_t now, bool forced) {
  if (now > own_expiry_ || forced) {
    params_[OPTION_ENABLE_CORVANE]->Load();
    params_[OPTION_WHITE_LIST_TS]->Load();
    own_expiry_ = now + kExpirySeconds;
  }
}

void CVCfg::RefreshLocked(bool forced) {
  const int64_t now = Now();
  if (now <= options_expiry_ && !forced) return;
  for (int i = OPTION_SHOW_TABS_FOR_FLASH; i <= OPTION_MIN_IMAGE_HEIGHT_TO_CHECK; ++i) {
    params_[i]->Reload();
  }
  RefreshOwnTimerLocked(now, forced);
  options_expiry_ = now + kExpirySeconds;
  // The values were just loaded; build from them without reading again.
  auto value = [this](int index) {
    return static_cast<Param*>(params_[index].get())->Param::GetInt();
  };
  EditorOptions& o = editor_options_;
  o.check_banner_link = OptionByte(value(OPTION_CHECK_BANNER_LINK));
  o.filter_image = OptionByte(value(OPTION_FILTER_IMAGE));
  o.filter_background = OptionByte(value(OPTION_FILTER_BACKGROUND));
  o.filter_flash = OptionByte(value(OPTION_FILTER_FLASH));
  o.filter_script = OptionByte(value(OPTION_FILTER_SCRIPT));
  o.filter_frame = OptionByte(value(OPTION_FILTER_FRAME));
  o.filter_css = OptionByte(value(OPTION_FILTER_CSS));
  o.filter_marquee = OptionByte(value(OPTION_FILTER_MARQUEE));
  o.remove_blocked = 1;
  o.collapse_blocked = OptionByte(value(OPTION_COLLAPSE_BLOCKED_ELEMENTS));
  Logger::Instance().SetEnabled(value(OPTION_ENABLE_LOGGING));
  o.highlight = 0;
  o.min_image_width = value(OPTION_MIN_IMAGE_WIDTH_TO_CHECK);
  o.min_image_height = value(OPTION_MIN_IMAGE_HEIGHT_TO_CHECK);
}

void CVCfg::SaveAll() {
  for (auto& param : params_) param->Save();
  std::lock_guard<std::mutex> lock(mu_);
  options_expiry_ = Now();
}

EditorOptions CVCfg::GetEditorOptions() {
  std::lock_guard<std::mutex> lock(mu_);
  RefreshLocked(false);
  return editor_options_;
}

int CVCfg::GetWithRefresh(int index) {
  Refresh(false);
  return params_[index]->GetInt();
}

int CVCfg::GetWithOwnTimer(int index) {
  std::lock_guard<std::mutex> lock(mu_);
  // The two values are read from the store once per 10-second period, and at
  // once after this process changed the store (a command or the panel may
  // have written them through other objects); in between they come from
  // memory. The count is taken before reading, so a change committed during
  // the read is read again on the next call.
  const uint64_t changes = platform::RegistryChangeCount();
  const int64_t now = Now();
  if (now > own_expiry_ || changes != own_changes_) {
    if (now > own_expiry_) own_expiry_ = now + kExpirySeconds;
    own_changes_ = changes;
    // The parameter's own read: it loads unless a change of the same
    // parameter is being saved (then memory already holds the newest value).
    params_[OPTION_ENABLE_CORVANE]->GetInt();
    params_[OPTION_WHITE_LIST_TS]->GetInt();
  }
  return static_cast<Param*>(params_[index].get())->Param::GetInt();
}

void CVCfg::SetBoolean(int index, int on) { params_[index]->SetInt(on ? 1 : 0); }

int CVCfg::GetEnableCorvane() { return GetWithOwnTimer(OPTION_ENABLE_CORVANE); }
int CVCfg::GetShowTabsForFlash() { return GetWithRefresh(OPTION_SHOW_TABS_FOR_FLASH); }
int CVCfg::GetCollapseBlockedElements() {
  return GetWithRefresh(OPTION_COLLAPSE_BLOCKED_ELEMENTS);
}
int CVCfg::GetBlockAdsOnLocalPage() {
  return GetWithRefresh(OPTION_BLOCK_ADS_ON_LOCAL_PAGE);
}
int CVCfg::GetFilterScript() { return GetWithRefresh(OPTION_FILTER_SCRIPT); }
int CVCfg::GetFilterImage() { return GetWithRefresh(OPTION_FILTER_IMAGE); }
int CVCfg::GetCheckBannerLink() { return GetWithRefresh(OPTION_CHECK_BANNER_LINK); }
int CVCfg::GetFilterMarquee() { return GetWithRefresh(OPTION_FILTER_MARQUEE); }
int CVCfg::GetEnableLogging() { return GetWithRefresh(OPTION_ENABLE_LOGGING); }
int CVCfg::GetFilterFrame() { return GetWithRefresh(OPTION_FILTER_FRAME); }
int CVCfg::GetFilterFlash() { return GetWithRefresh(OPTION_FILTER_FLASH); }
int CVCfg::GetFilterCSS() { return GetWithRefresh(OPTION_FILTER_CSS); }
int CVCfg::GetFilterBackground() { return GetWithRefresh(OPTION_FILTER_BACKGROUND); }
int CVCfg::GetMinImageWidthToCheck() {
  return GetWithRefresh(OPTION_MIN_IMAGE_WIDTH_TO_CHECK);
}
int CVCfg::GetMinImageHeightToCheck() {
  return GetWithRefresh(OPTION_MIN_IMAGE_HEIGHT_TO_CHECK);
}
uint32_t CVCfg::GetWhiteListTS() {
  return static_cast<uint32_t>(GetWithOwnTimer(OPTION_WHITE_LIST_TS));
}

void CVCfg::SetShowTabsForFlash(int on) { SetBoolean(OPTION_SHOW_TABS_FOR_FLASH, on); }
void CVCfg::SetCollapseBlockedElements(int on) {
  SetBoolean(OPTION_COLLAPSE_BLOCKED_ELEMENTS, on);
}
void CVCfg::SetBlockAdsOnLocalPage(int on) {
  SetBoolean(OPTION_BLOCK_ADS_ON_LOCAL_PAGE, on);
}
void CVCfg::SetFilterScript(int on) { SetBoolean(OPTION_FILTER_SCRIPT, on); }
void CVCfg::SetFilterImage(int on) { SetBoolean(OPTION_FILTER_IMAGE, on); }
void CVCfg::SetCheckBannerLink(int on) { SetBoolean(OPTION_CHECK_BANNER_LINK, on); }
void CVCfg::SetFilterMarquee(int on) { SetBoolean(OPTION_FILTER_MARQUEE, on); }
void CVCfg::SetEnableLogging(int on) { SetBoolean(OPTION_ENABLE_LOGGING, on); }
void CVCfg::SetFilterFrame(int on) { SetBoolean(OPTION_FILTER_FRAME, on); }
void CVCfg::SetFilterFlash(int on) { SetBoolean(OPTION_FILTER_FLASH, on); }

void CVCfg::SetWhiteListTS(uint32_t seconds) {
  ParamInRegistry* param = params_[OPTION_WHITE_LIST_TS].get();
  param->SetInt(static_cast<int32_t>(seconds));
  param->Save();
}

int64_t CVCfg::GetOption(int index) {
  switch (index) {
    case OPTION_ENABLE_CORVANE:
      return GetEnableCorvane();
    case OPTION_WHITE_LIST_TS:
      return GetWhiteListTS();
    default:
      if (index < 0 || index >= OPTION_COUNT) return 0;
      return GetWithRefresh(index);
  }
}

ParamInRegistry* CVCfg::OptionParam(int index) {
  return index >= 0 && index < OPTION_COUNT ? params_[index].get() : nullptr;
}

}  // namespace cvie
