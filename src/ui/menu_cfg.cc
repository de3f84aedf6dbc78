// ui/menu_cfg.cc

#include "ui/menu_cfg.h"

namespace cvie {

const wchar_t kMenuSeparatorLabel[] = L"--SEPARATOR--";

ImageCfg::ImageCfg(const std::wstring& name, int32_t resource_id, int32_t width,
                   int32_t height, int32_t kind)
    : CfgObject(name),
      resource_id_(resource_id),
      width_(width),
      height_(height),
      kind_(kind == 1 ? ImageKind::kBitmap : ImageKind::kIcon) {}

ImageCfg::~ImageCfg() = default;

Image::Image(const ImageCfg* cfg) : cfg_(cfg) {
  if (!cfg) return;
  switch (cfg->kind()) {
    case ImageKind::kBitmap:
      handle_ = L"bitmap:" + std::to_wstring(cfg->resource_id());
      break;
    case ImageKind::kIcon:
      handle_ = L"icon:" + std::to_wstring(cfg->resource_id());
      break;
  }
}

Image::~Image() = default;

MenuItemCfg::MenuItemCfg(const CfgText& label, const CfgText& image_name,
                         const CfgText& command_name, const CfgText& check_param_name,
                         const CfgText& check_value)
    : CfgObject(label.value_or(std::wstring())),
      label_(label),
      image_name_(image_name),
      command_name_(command_name),
      check_param_name_(check_param_name),
      check_value_(check_value) {}

MenuItemCfg::~MenuItemCfg() = default;

MenuCfg::MenuCfg(const std::wstring& name) : CfgObject(name) {}

MenuCfg::~MenuCfg() = default;

bool MenuCfg::AddItem(std::unique_ptr<MenuItemCfg> item) {
  if (!item) return false;
  items_.push_back(std::move(item));
  return true;
}

}  // namespace cvie
