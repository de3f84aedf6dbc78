// config/update_server.h
//
// Where the vendor's update server is. The address is a setting: the one
// given to SetUpdateServerUrl (the command line's --server), else the
// environment variable CVIE_UPDATE_SERVER, else kDefaultUpdateServer. The
// default name does not resolve, so an unconfigured installation fails its
// downloads quietly (and logs them). Safe from any thread.

#pragma once

#include <string>

namespace cvie {

constexpr wchar_t kDefaultUpdateServer[] = L"http://updates.corvane.example";

// The server's address without a trailing "/".
std::wstring UpdateServerUrl();

// Overrides the address for this process; an empty text removes the override.
void SetUpdateServerUrl(const std::wstring& url);

// The version file on the server: "<server>/downloads/cvie.ver".
std::wstring VersionFileUrl();

// The rule file used when the version file names none: "<server>/downloads/cvie.rle".
std::wstring DefaultRuleFileUrl();

}  // namespace cvie
