// config/param_in_registry.h
//
// A parameter backed by one registry value (a List: one REG_SZ value per
// entry, named "0", "1", ...). Integer parameters are REG_DWORD values,
// String parameters REG_SZ values of at most 1023 characters counting the
// terminating zero (a longer stored
// value does not load, and the value in memory stays). The constructor loads
// the stored value when there is one and keeps the default otherwise; it
// writes nothing. Registry failures are not reported: Load returns the
// registry's code, Save and Remove return true. Thread-safe like Param.

#pragma once

#include <string>

#include "config/param.h"
#include "platform/registry.h"

namespace cvie {

class ParamInRegistry : public ParamSerializable {
 public:
  // Integer parameter `label` with `default_value`, stored as `value_name`
  // under `key_path` of `root`.
  ParamInRegistry(const std::wstring& label, int default_value, platform::HKEY root,
                  const std::wstring& key_path, const std::wstring& value_name,
                  bool auto_save);
  // String parameter.
  ParamInRegistry(const std::wstring& label, const ParamText& default_text,
                  platform::HKEY root, const std::wstring& key_path,
                  const std::wstring& value_name, bool auto_save);
  // List parameter of at most `capacity` entries.
  ParamInRegistry(const std::wstring& label, int capacity,
                  const std::vector<std::wstring>& initial, int count,
                  platform::HKEY root, const std::wstring& key_path, bool auto_save);

  bool IsAutoSave() override { return auto_save_; }
  bool Remove() override;
  bool Save() override;
  int32_t Load() override;

  const std::wstring& key_path() const { return key_path_; }
  const std::wstring& value_name() const { return value_name_; }

 private:
  const platform::HKEY root_;
  const std::wstring key_path_;
  const std::wstring value_name_;  // empty for a List
  const bool auto_save_;
};

}  // namespace cvie
