// Parameters stored in the registry.

#include "config/param_in_registry.h"

#include <stdint.h>

#include <algorithm>
#include <vector>

namespace cvie {

using namespace platform;

namespace {

// Strings are read into a buffer of 1024 characters whose last character is
// never written, so a stored text of more than 1023 characters does not load.
constexpr size_t kStringBufferChars = 1024;
constexpr DWORD kStringQueryBytes = (kStringBufferChars - 1) * sizeof(wchar_t);

// Reads REG_SZ value `name` of `key`: false when missing, of another type, or
// too long.
bool QueryString(HKEY key, const std::wstring& name, std::wstring* text) {
  std::vector<wchar_t> buffer(kStringBufferChars, L'\0');
  DWORD type = REG_NONE;
  DWORD size = kStringQueryBytes;
  if (RegQueryValueEx(key, name, &type, buffer.data(), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  // The text ends at the returned size or at its terminating zero.
  const wchar_t* begin = buffer.data();
  const wchar_t* end =
      begin + std::min<size_t>(size / sizeof(wchar_t), kStringBufferChars - 1);
  text->assign(begin, std::find(begin, end, L'\0'));
  return true;
}

LONG WriteString(HKEY key, const std::wstring& name, const std::wstring& text) {
  return RegSetValueEx(key, name, REG_SZ, text.c_str(),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

ParamInRegistry::ParamInRegistry(const std::wstring& label, int default_value, HKEY root,
                                 const std::wstring& key_path,
                                 const std::wstring& value_name, bool auto_save)
    : ParamSerializable(label, default_value),
      root_(root),
      key_path_(key_path),
      value_name_(value_name),
      auto_save_(auto_save) {
  Load();
}

ParamInRegistry::ParamInRegistry(const std::wstring& label, const ParamText& default_text,
                                 HKEY root, const std::wstring& key_path,
                                 const std::wstring& value_name, bool auto_save)
    : ParamSerializable(label, default_text),
      root_(root),
      key_path_(key_path),
      value_name_(value_name),
      auto_save_(auto_save) {
  Load();
}

ParamInRegistry::ParamInRegistry(const std::wstring& label, int capacity,
                                 const std::vector<std::wstring>& initial, int count,
                                 HKEY root, const std::wstring& key_path, bool auto_save)
    : ParamSerializable(label, capacity, initial, count),
      root_(root),
      key_path_(key_path),
      auto_save_(auto_save) {
  Load();
}

int32_t ParamInRegistry::Load() {
  HKEY key;
  LONG rc = RegOpenKeyEx(root_, key_path_, &key);
  if (rc != ERROR_SUCCESS) return rc;
  switch (kind()) {
    case ParamKind::kInteger: {
      // Only a 4-byte REG_DWORD is an integer; a value of another type would
      // fill the buffer with unrelated bytes.
      DWORD type = REG_NONE, value = 0, size = sizeof value;
      if (RegQueryValueEx(key, value_name_, &type, &value, &size) == ERROR_SUCCESS &&
          type == REG_DWORD && size == sizeof value) {
        SetIntInMemory(static_cast<int32_t>(value));
      }
      break;
    }
    case ParamKind::kString: {
      std::wstring text;
      if (QueryString(key, value_name_, &text)) SetStringInMemory(text);
      break;
    }
    case ParamKind::kList: {
      if (capacity() <= 0) break;
      std::vector<std::wstring> texts;
      for (int i = 0; i < capacity(); ++i) {
        std::wstring text;
        if (!QueryString(key, std::to_wstring(i), &text)) break;
        texts.push_back(text);
      }
      ClearInMemory();
      for (auto it = texts.rbegin(); it != texts.rend(); ++it) AddStringInMemory(*it);
      break;
    }
  }
  return RegCloseKey(key);
}

bool ParamInRegistry::Save() {
  HKEY key;
  if (RegCreateKeyEx(root_, key_path_, &key) != ERROR_SUCCESS) return true;
  switch (kind()) {
    case ParamKind::kInteger: {
      DWORD value = static_cast<DWORD>(GetIntInMemory());
      RegSetValueEx(key, value_name_, REG_DWORD, &value, sizeof value);
      break;
    }
    case ParamKind::kString: {
      ParamText text = GetStringInMemory();
      if (text) WriteString(key, value_name_, *text);
      break;
    }
    case ParamKind::kList: {
      std::vector<ParamText> entries =
          GetListInMemory().value_or(std::vector<ParamText>());
      for (size_t i = 0; i < entries.size() && static_cast<int>(i) < capacity(); ++i) {
        if (entries[i]) WriteString(key, std::to_wstring(i), *entries[i]);
      }
      break;
    }
  }
  RegCloseKey(key);
  return true;
}

bool ParamInRegistry::Remove() {
  HKEY key;
  if (RegCreateKeyEx(root_, key_path_, &key) != ERROR_SUCCESS) return true;
  if (kind() == ParamKind::kList) {
    for (int i = 0; i < capacity(); ++i) RegDeleteValue(key, std::to_wstring(i));
  } else {
    RegDeleteValue(key, value_name_);
  }
  RegCloseKey(key);
  return true;
}

}  // namespace cvie
