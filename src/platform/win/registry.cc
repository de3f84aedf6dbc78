// The registry layer on Windows: the real registry through advapi32. A handle
// of this layer owns one native key handle; the three roots are fixed objects
// around the predefined native keys. Result codes are the system's own.
// RegistryChangeCount moves on every change this process commits;
// RegistryDumpForTesting walks the keys this system writes.

#include "platform/registry.h"

#include <atomic>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win/win32.h"

namespace cvie::platform {

struct RegistryKey {
  ::HKEY native;
  bool root;
};

namespace {

RegistryKey g_classes_root{reinterpret_cast<::HKEY>(static_cast<ULONG_PTR>(0x80000000)),
                           true};
RegistryKey g_current_user{reinterpret_cast<::HKEY>(static_cast<ULONG_PTR>(0x80000001)),
                           true};
RegistryKey g_local_machine{reinterpret_cast<::HKEY>(static_cast<ULONG_PTR>(0x80000002)),
                            true};

std::atomic<uint64_t> g_changes{1};

LONG Changed(LONG result) {
  if (result == 0) g_changes.fetch_add(1, std::memory_order_relaxed);
  return result;
}

bool Valid(HKEY key) { return key && key->native; }

HKEY Wrap(::HKEY native) { return new RegistryKey{native, false}; }

}  // namespace

const HKEY HKEY_CLASSES_ROOT = &g_classes_root;
const HKEY HKEY_CURRENT_USER = &g_current_user;
const HKEY HKEY_LOCAL_MACHINE = &g_local_machine;

LONG RegCreateKeyEx(HKEY key, const std::wstring& subkey, HKEY* result,
                    DWORD* disposition) {
  if (!Valid(key) || !result) return ERROR_INVALID_PARAMETER;
  ::HKEY native = nullptr;
  ::DWORD how = 0;
  LONG rc = ::RegCreateKeyExW(key->native, subkey.c_str(), 0, nullptr, 0,
                              KEY_READ | KEY_WRITE, nullptr, &native, &how);
  if (rc != ERROR_SUCCESS) return rc;
  if (disposition) *disposition = how;
  *result = Wrap(native);
  if (how == REG_CREATED_NEW_KEY) g_changes.fetch_add(1, std::memory_order_relaxed);
  return ERROR_SUCCESS;
}

LONG RegOpenKeyEx(HKEY key, const std::wstring& subkey, HKEY* result) {
  if (!Valid(key) || !result) return ERROR_INVALID_PARAMETER;
  ::HKEY native = nullptr;
  LONG rc =
      ::RegOpenKeyExW(key->native, subkey.c_str(), 0, KEY_READ | KEY_WRITE, &native);
  if (rc == ERROR_ACCESS_DENIED) {
    rc = ::RegOpenKeyExW(key->native, subkey.c_str(), 0, KEY_READ, &native);
  }
  if (rc != ERROR_SUCCESS) return rc;
  *result = Wrap(native);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->root) return ERROR_SUCCESS;
  LONG rc = ::RegCloseKey(key->native);
  delete key;
  return rc;
}

LONG RegQueryValueEx(HKEY key, const std::wstring& name, DWORD* type, void* data,
                     DWORD* size) {
  if (!Valid(key)) return ERROR_INVALID_HANDLE;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  ::DWORD native_type = 0;
  ::DWORD native_size = size ? *size : 0;
  // Asks for the size first, so that a short buffer is left as it was.
  LONG rc = ::RegQueryValueExW(key->native, name.c_str(), nullptr, &native_type, nullptr,
                               &native_size);
  if (rc != ERROR_SUCCESS) return rc;
  if (type) *type = native_type;
  if (data) {
    if (native_size > *size) {
      *size = native_size;
      return ERROR_MORE_DATA;
    }
    std::vector<BYTE> buffer(native_size ? native_size : 1);
    ::DWORD got = native_size;
    rc = ::RegQueryValueExW(key->native, name.c_str(), nullptr, &native_type,
                            buffer.data(), &got);
    if (rc != ERROR_SUCCESS) return rc;
    if (got > *size) {
      *size = got;
      return ERROR_MORE_DATA;
    }
    memcpy(data, buffer.data(), got);
    native_size = got;
  }
  if (size) *size = native_size;
  return ERROR_SUCCESS;
}

LONG RegSetValueEx(HKEY key, const std::wstring& name, DWORD type, const void* data,
                   DWORD size) {
  if (!Valid(key)) return ERROR_INVALID_HANDLE;
  if (type == REG_DWORD && size != 4) return ERROR_INVALID_PARAMETER;
  if (!data && size) return ERROR_INVALID_PARAMETER;
  return Changed(::RegSetValueExW(key->native, name.c_str(), 0, type,
                                  static_cast<const BYTE*>(data), size));
}

LONG RegDeleteValue(HKEY key, const std::wstring& name) {
  if (!Valid(key)) return ERROR_INVALID_HANDLE;
  return Changed(::RegDeleteValueW(key->native, name.c_str()));
}

LONG RegDeleteKey(HKEY key, const std::wstring& subkey) {
  if (!Valid(key)) return ERROR_INVALID_HANDLE;
  if (subkey.empty() && key->root) return ERROR_ACCESS_DENIED;
  return Changed(::RegDeleteKeyW(key->native, subkey.c_str()));
}

LONG RegEnumKeyEx(HKEY key, DWORD index, wchar_t* name, DWORD* name_chars) {
  if (!Valid(key) || !name_chars) return ERROR_INVALID_PARAMETER;
  ::DWORD chars = *name_chars;
  LONG rc = ::RegEnumKeyExW(key->native, index, name, &chars, nullptr, nullptr, nullptr,
                            nullptr);
  if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) *name_chars = chars;
  return rc;
}

LONG RegEnumKeyEx(HKEY key, DWORD index, std::wstring* name) {
  if (!Valid(key) || !name) return ERROR_INVALID_PARAMETER;
  wchar_t buffer[256];  // a key name has at most 255 characters
  ::DWORD chars = 256;
  LONG rc = ::RegEnumKeyExW(key->native, index, buffer, &chars, nullptr, nullptr, nullptr,
                            nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  name->assign(buffer, chars);
  return ERROR_SUCCESS;
}

LONG RegEnumValue(HKEY key, DWORD index, std::wstring* name, DWORD* type,
                  std::vector<uint8_t>* data) {
  if (!Valid(key)) return ERROR_INVALID_HANDLE;
  ::DWORD max_name = 0, max_data = 0;
  LONG rc = ::RegQueryInfoKeyW(key->native, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, &max_name, &max_data, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<wchar_t> name_buffer(max_name + 1);
  std::vector<uint8_t> data_buffer(max_data ? max_data : 1);
  ::DWORD name_chars = max_name + 1, data_size = max_data, native_type = 0;
  rc = ::RegEnumValueW(key->native, index, name_buffer.data(), &name_chars, nullptr,
                       &native_type, data_buffer.data(), &data_size);
  if (rc != ERROR_SUCCESS) return rc;
  if (name) name->assign(name_buffer.data(), name_chars);
  if (type) *type = native_type;
  if (data) data->assign(data_buffer.begin(), data_buffer.begin() + data_size);
  return ERROR_SUCCESS;
}

LONG RegGetDword(HKEY root, const std::wstring& subkey, const std::wstring& name,
                 DWORD* value) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyEx(root, subkey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  // The type first: a value of another type is "not found", whatever its size.
  DWORD type = 0, size = 0, data = 0;
  rc = RegQueryValueEx(key, name, &type, nullptr, &size);
  if (rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD)) {
    rc = RegQueryValueEx(key, name, &type, &data, &size);
  }
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_DWORD || size != sizeof(DWORD)) return ERROR_FILE_NOT_FOUND;
  *value = data;
  return ERROR_SUCCESS;
}

LONG RegSetDword(HKEY root, const std::wstring& subkey, const std::wstring& name,
                 DWORD value) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyEx(root, subkey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueEx(key, name, REG_DWORD, &value, sizeof value);
  RegCloseKey(key);
  return rc;
}

LONG RegGetString(HKEY root, const std::wstring& subkey, const std::wstring& name,
                  std::wstring* value) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyEx(root, subkey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD type = 0, size = 0;
  rc = RegQueryValueEx(key, name, &type, nullptr, &size);
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  if (rc == ERROR_SUCCESS && type == REG_SZ) {
    DWORD got = size;
    rc = RegQueryValueEx(key, name, &type, buffer.data(), &got);
    size = got;
  }
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_SZ) return ERROR_FILE_NOT_FOUND;
  size_t chars = size / sizeof(wchar_t);
  while (chars > 0 && buffer[chars - 1] == L'\0') --chars;
  value->assign(buffer.data(), chars);
  return ERROR_SUCCESS;
}

LONG RegSetString(HKEY root, const std::wstring& subkey, const std::wstring& name,
                  const std::wstring& value) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyEx(root, subkey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueEx(key, name, REG_SZ, value.c_str(),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return rc;
}

uint64_t RegistryChangeCount() { return g_changes.load(std::memory_order_relaxed); }

namespace {

std::string Hex8(DWORD value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

void DumpKey(HKEY key, const std::wstring& path, std::string* out) {
  std::string values;
  for (DWORD i = 0;; ++i) {
    std::wstring name;
    DWORD type = 0;
    std::vector<uint8_t> data;
    if (RegEnumValue(key, i, &name, &type, &data) != ERROR_SUCCESS) break;
    values += "  \"" + ToNarrow(name) + "\" ";
    if (type == REG_DWORD && data.size() == 4) {
      DWORD v;
      memcpy(&v, data.data(), 4);
      values += "REG_DWORD " + Hex8(v);
    } else if (type == REG_SZ) {
      std::wstring text(reinterpret_cast<const wchar_t*>(data.data()),
                        data.size() / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      values += "REG_SZ \"" + ToNarrow(text) + "\"";
    } else {
      values +=
          "type " + std::to_string(type) + " " + std::to_string(data.size()) + " bytes";
    }
    values += "\n";
  }
  *out += ToNarrow(path) + "\n" + values;
  for (DWORD i = 0;; ++i) {
    std::wstring name;
    if (RegEnumKeyEx(key, i, &name) != ERROR_SUCCESS) break;
    HKEY child = nullptr;
    if (RegOpenKeyEx(key, name, &child) != ERROR_SUCCESS) continue;
    DumpKey(child, path + L"\\" + name, out);
    RegCloseKey(child);
  }
}

}  // namespace

// The real registry holds far more than this system's keys: the dump covers
// the trees under HKCU and HKLM "Software\Corvane", in the format of the
// Linux store's dump (every key on a line, then its values).
std::string RegistryDumpForTesting() {
  static const struct {
    HKEY root;
    const wchar_t* root_name;
    const wchar_t* path;
  } kPlaces[] = {
      {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", L"Software\\Corvane"},
      {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", L"Software\\Corvane"},
  };
  std::string out;
  for (const auto& place : kPlaces) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(place.root, place.path, &key) != ERROR_SUCCESS) continue;
    DumpKey(key, std::wstring(place.root_name) + L"\\" + place.path, &out);
    RegCloseKey(key);
  }
  return out;
}

}  // namespace cvie::platform
