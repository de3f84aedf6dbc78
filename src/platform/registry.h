// platform/registry.h
//
// The registry the system keeps its options, user identity and registration
// entries in, with the Windows shapes and result codes: three roots
// (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE), keys separated
// by backslashes, REG_DWORD and REG_SZ values (any type is stored as given).
// Key and value names compare without regard to case, and keep the case they
// were first written with. An empty value name is the key's default value.
//
// The store is one SQLite database, <config folder>/registry.db (see
// platform/shell.h; $CVIE_ROOT/config/registry.db under CVIE_ROOT), in WAL
// mode with a busy timeout: any number of processes and threads read and
// write at once; every call is one transaction, so no write is lost. The
// file's location is looked up again on each call, so a change of CVIE_ROOT
// takes effect at once (handles opened before stay bound to the old file).
//
// REG_SZ data are arrays of this platform's wchar_t (4 bytes a character),
// normally with the terminating zero, and sizes are in bytes, as on Windows.
//
// Results: ERROR_SUCCESS (0), ERROR_FILE_NOT_FOUND (2: no such key or value),
// ERROR_ACCESS_DENIED (5: a key with subkeys, or a root, cannot be deleted),
// ERROR_INVALID_HANDLE (6), ERROR_INVALID_PARAMETER (87), ERROR_MORE_DATA
// (234: buffer too small, the size needed is returned), ERROR_NO_MORE_ITEMS
// (259: enumeration past the end), ERROR_BADKEY (1010: empty key name where
// one is needed), ERROR_KEY_DELETED (1018: the handle's key was deleted),
// ERROR_REGISTRY_IO_FAILED (1016: the database failed). No call throws.
// Every function is thread-safe; handles may be shared between threads.
// A child made by fork() opens its own connection on its first call.

#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/com.h"

namespace cvie::platform {

struct RegistryKey;
typedef RegistryKey* HKEY;

extern const HKEY HKEY_CLASSES_ROOT;
extern const HKEY HKEY_CURRENT_USER;
extern const HKEY HKEY_LOCAL_MACHINE;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_BADKEY = 1010;
constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;
constexpr LONG ERROR_KEY_DELETED = 1018;

// Opens `subkey` of `key`, creating every missing level. An empty subkey
// opens `key` itself again. *disposition (optional) tells whether the last
// level was created. The handle is released with RegCloseKey.
LONG RegCreateKeyEx(HKEY key, const std::wstring& subkey, HKEY* result,
                    DWORD* disposition = nullptr);
// Opens an existing `subkey` of `key` (2 when missing).
LONG RegOpenKeyEx(HKEY key, const std::wstring& subkey, HKEY* result);
// Releases a handle; closing a root does nothing.
LONG RegCloseKey(HKEY key);

// Reads value `name`. `type` and `data` may be null; `size` gives the
// buffer's size in bytes and receives the value's size. A null `data` only
// asks for type and size. A short buffer gives ERROR_MORE_DATA and the size
// needed; the buffer is then left as it was.
LONG RegQueryValueEx(HKEY key, const std::wstring& name, DWORD* type, void* data,
                     DWORD* size);
// Writes value `name` (created or replaced) of `type` with `size` bytes of
// `data`. REG_DWORD needs exactly 4 bytes.
LONG RegSetValueEx(HKEY key, const std::wstring& name, DWORD type, const void* data,
                   DWORD size);
LONG RegDeleteValue(HKEY key, const std::wstring& name);

// Deletes `subkey` of `key` with its values; a key that has subkeys is not
// deleted (5). An empty subkey deletes `key` itself. Handles still open on
// the deleted key then give ERROR_KEY_DELETED.
LONG RegDeleteKey(HKEY key, const std::wstring& subkey);

// The name of subkey number `index`, subkeys in case-insensitive name order.
// `name_chars` gives the buffer's size in characters (the terminating zero
// included) and receives the name's length without it; ERROR_MORE_DATA when
// the buffer is short, ERROR_NO_MORE_ITEMS past the last subkey.
LONG RegEnumKeyEx(HKEY key, DWORD index, wchar_t* name, DWORD* name_chars);
LONG RegEnumKeyEx(HKEY key, DWORD index, std::wstring* name);
// Value number `index` (values in the order they were first written).
LONG RegEnumValue(HKEY key, DWORD index, std::wstring* name, DWORD* type,
                  std::vector<uint8_t>* data);

// Convenience: one value of `subkey` of `root`, opened and closed around the
// call. The setters create the key. A getter of the wrong type gives 2.
LONG RegGetDword(HKEY root, const std::wstring& subkey, const std::wstring& name,
                 DWORD* value);
LONG RegSetDword(HKEY root, const std::wstring& subkey, const std::wstring& name,
                 DWORD value);
LONG RegGetString(HKEY root, const std::wstring& subkey, const std::wstring& name,
                  std::wstring* value);
LONG RegSetString(HKEY root, const std::wstring& subkey, const std::wstring& name,
                  const std::wstring& value);

// A number that moves whenever this process commits a change to the store or
// opens another store file (CVIE_ROOT moved). A caller that keeps values read
// from the store in memory reads them again when it moved; changes made by
// other processes do not move it. Thread-safe; never touches the store.
uint64_t RegistryChangeCount();

// The whole store as UTF-8 text, for tests that compare it before and after
// an operation: every key (full path, roots by name) in case-insensitive
// order, each followed by its values, one per line:
//   HKEY_CURRENT_USER\Software\Corvane\IE Plugin\Options
//     "Enable Corvane" REG_DWORD 0x00000001
//     "" REG_SZ "User Info"
// Empty roots are omitted.
std::string RegistryDumpForTesting();

}  // namespace cvie::platform
