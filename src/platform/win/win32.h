// platform/win/win32.h
//
// The Windows SDK headers for the Windows implementations of the platform
// layers. The layers' own headers give the system's names (RegCreateKeyEx,
// ERROR_SUCCESS, HKEY_CURRENT_USER, GetUserName ...) to declarations in
// namespace cvie::platform; the SDK makes the same names macros. This header
// removes those macros, so the SDK is reached by its explicit wide names
// (RegCreateKeyExW, ::HKEY ...) and the layer's names stay declarations.
// Include it after the layer's own header.

#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef RegCreateKeyEx
#undef RegOpenKeyEx
#undef RegQueryValueEx
#undef RegSetValueEx
#undef RegDeleteValue
#undef RegDeleteKey
#undef RegEnumKeyEx
#undef RegEnumValue
#undef GetUserName
#undef HKEY_CLASSES_ROOT
#undef HKEY_CURRENT_USER
#undef HKEY_LOCAL_MACHINE
#undef REG_NONE
#undef REG_SZ
#undef REG_BINARY
#undef REG_DWORD
#undef REG_CREATED_NEW_KEY
#undef REG_OPENED_EXISTING_KEY
#undef ERROR_SUCCESS
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_ACCESS_DENIED
#undef ERROR_INVALID_HANDLE
#undef ERROR_INVALID_PARAMETER
#undef ERROR_MORE_DATA
#undef ERROR_NO_MORE_ITEMS
#undef ERROR_BADKEY
#undef ERROR_REGISTRY_IO_FAILED
#undef ERROR_KEY_DELETED
#undef RPC_S_OK
#undef RPC_S_UUID_LOCAL_ONLY
#undef RPC_S_UUID_NO_ADDRESS
