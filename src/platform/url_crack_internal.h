// platform/url_crack_internal.h
//
// What each system's address layer (platform/url.cc, platform/win/url.cc)
// gives the part they share (platform/url_components.cc: UrlScheme, UrlHost
// and InternetCrackUrlW on top of CrackUrl). Pure function, any thread.

#pragma once

#include <string>

namespace cvie::platform {

// True when `text` starts with a scheme name and ":", so that an address
// CrackUrl cannot split is an invalid address rather than an unknown scheme.
bool StartsWithSchemeName(const std::wstring& text);

}  // namespace cvie::platform
