// platform/urlmon_testing.h
//
// Hooks for tests of code built on the URL-moniker session. Not for use in
// the program. (A source that delivers its data in small pieces is asked for
// per binding with BindRequest::piece_size.)

#pragma once

#include <string>

namespace cvie {

// While false, CoInternetGetSession fails with INET_E_NO_SESSION (as when
// the session cannot be had). Process-wide; true at start.
void SetInternetSessionAvailableForTesting(bool available);

// Withdraws every namespace handler and MIME filter registration and
// releases their class objects.
void ClearInternetSessionForTesting();

// From now on RegisterNameSpace for `scheme` fails with E_FAIL and
// registers nothing (as a session that refuses one scheme). An empty scheme
// refuses none again. Process-wide.
void RefuseNameSpaceRegistrationForTesting(const std::wstring& scheme);

}  // namespace cvie
