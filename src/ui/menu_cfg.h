// ui/menu_cfg.h
//
// The configuration objects a menu is described with: images (ImageCfg, and
// Image, one made from it while a menu is open), menu items (MenuItemCfg) and
// menus (MenuCfg, an ordered list of items). Every text of an item may be
// absent (std::nullopt). The objects never change after construction except
// MenuCfg::AddItem, which is used only while the configuration is built;
// reading them from several threads is safe.

#pragma once

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/cfg_object.h"

namespace cvie {

using CfgText = std::optional<std::wstring>;

enum class ImageKind : int32_t { kBitmap = 1, kIcon = 2 };

class ImageCfg : public CfgObject {
 public:
  // `kind` 1 makes a bitmap, anything else an icon.
  ImageCfg(const std::wstring& name, int32_t resource_id, int32_t width, int32_t height,
           int32_t kind);
  ~ImageCfg() override;

  int32_t resource_id() const { return resource_id_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  ImageKind kind() const { return kind_; }

 private:
  const int32_t resource_id_;
  const int32_t width_;
  const int32_t height_;
  const ImageKind kind_;
};

// An image loaded for an open menu. The handle names the loaded resource
// ("bitmap:207", "icon:5"); it is empty when the kind cannot be loaded.
class Image {
 public:
  explicit Image(const ImageCfg* cfg);
  virtual ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const ImageCfg* cfg() const { return cfg_; }
  const std::wstring& handle() const { return handle_; }

 private:
  const ImageCfg* cfg_;
  std::wstring handle_;
};

class MenuItemCfg : public CfgObject {
 public:
  // The item's name is its label (an empty name when there is no label).
  MenuItemCfg(const CfgText& label, const CfgText& image_name,
              const CfgText& command_name, const CfgText& check_param_name,
              const CfgText& check_value);
  ~MenuItemCfg() override;

  const CfgText& label() const { return label_; }
  const CfgText& image_name() const { return image_name_; }
  const CfgText& command_name() const { return command_name_; }
  const CfgText& check_param_name() const { return check_param_name_; }
  const CfgText& check_value() const { return check_value_; }

 private:
  const CfgText label_;
  const CfgText image_name_;
  const CfgText command_name_;
  const CfgText check_param_name_;
  const CfgText check_value_;
};

// The label that stands for a separator line.
extern const wchar_t kMenuSeparatorLabel[];

class MenuCfg : public CfgObject {
 public:
  explicit MenuCfg(const std::wstring& name);
  ~MenuCfg() override;

  // Appends `item` (owned). A null item is refused (returns false).
  bool AddItem(std::unique_ptr<MenuItemCfg> item);
  const std::vector<std::unique_ptr<MenuItemCfg>>& items() const { return items_; }

 private:
  std::vector<std::unique_ptr<MenuItemCfg>> items_;
};

}  // namespace cvie
