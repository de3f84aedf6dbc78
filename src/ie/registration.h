// ie/registration.h
//
// Installing and removing the module in the registry: the COM classes with
// their ProgIDs, the application entry and the type library, the browser
// helper object, the toolbar button, the uninstall entry; and, on removal,
// the user's options and identity and the shared data folder.
//
// On this platform the registration tool is the `cvie` program itself: the
// uninstall entry runs "<program> unregister". Every path written is the
// module's path at the time of registration.
//
// Thread safety: the registry layer is safe from any thread; registering
// while another thread unregisters leaves a mix of both.

#pragma once

#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/registry.h"

namespace cvie {

extern const GUID APPID_cvie;                  // the module's application
extern const GUID kToolbarExtensionId;         // the browser extension entry
extern const GUID kCodeDownloadPackageIds[3];  // removed on unregistration

// The class the browser uses for toolbar-button extensions.
constexpr wchar_t kToolbarButtonExtensionClass[] =
    L"{1FBA04EE-3024-11d2-8F1F-0000F87ABD16}";

// Creates or opens `key` under `root`; when `text` is given, sets value
// `name` (null or empty: the default value) to it as a string. True when the
// key could be created (whether the value was set is not looked at).
bool WriteRegistryString(platform::HKEY root, const std::wstring& key,
                         const wchar_t* name, const wchar_t* text);

// Deletes value `name` of `key`: the registry's error code (0 on success).
LONG DeleteRegistryValue(platform::HKEY root, const std::wstring& key,
                         const std::wstring& name);

// Deletes `key` with all its subkeys, deepest first: 1010 for an empty key
// name, else the last error code (0 on success, 2 when the key is missing).
// A subkey that cannot be deleted stops the deletion with its error.
LONG DeleteRegistryTree(platform::HKEY root, const std::wstring& key);

// The module's path as written in the registry (at most 259 characters).
std::wstring RegisteredModulePath();

// Writes every entry; a failing step does not stop the later ones. The
// result is that of the COM registration (the last step). With `written`,
// appends one line per key created ("HKEY_...\key") and per value set
// ("  \"name\" = \"text\""), in order.
HRESULT RegisterModule(std::vector<std::string>* written);
// Removes every entry, the options and identity of the user, and the shared
// data folder. The result is that of the COM unregistration.
HRESULT UnregisterModule();

HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();

}  // namespace cvie
