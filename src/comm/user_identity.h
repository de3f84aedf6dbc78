// comm/user_identity.h
//
// The identifier of the user, made once and kept in the registry under
// HKEY_CURRENT_USER "Software\Corvane\IE Plugin\User" beside the time it was
// made: the key's default value "User Info", "UUID" = the identifier, "Date" =
// seconds since 1970 as decimal text. Nothing here sends the identifier
// anywhere. Registry failures are silent. Thread-safe.

#pragma once

#include <stdint.h>

#include <string>

namespace cvie {

constexpr wchar_t kUserInfoKey[] = L"Software\\Corvane\\IE Plugin\\User";
// A stored identifier this short (or shorter) counts as missing.
constexpr size_t kMinStoredIdentifierLength = 10;

// A new identifier: the time-based UUID in its 36-character text form when
// the system guarantees it unique, else the fallback form (MakeFallbackIdentifier).
std::wstring MakeUserIdentifier();

// Five decimal numbers joined by "-": seconds since 1970, the milliseconds of
// the current time, the process identifier, a pseudo-random number from the C
// library generator seeded with the current seconds, and the total plus
// available clusters of the current drive (or a further pseudo-random number
// when that query fails).
std::wstring MakeFallbackIdentifier();

// Makes and stores an identity unless a "UUID" longer than 10 characters is
// stored already. Returns true when a new identity was written.
bool EnsureUserIdentity();

}  // namespace cvie
