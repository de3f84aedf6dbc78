// ie/host_process.h
//
// Whether the process that hosts the module is the browser. The MIME filter
// and the namespace handler switch filtering off in any other host, and the
// browser helper object touches the first-open marker only in the browser.
//
// The test itself is a pure function of the host's path: the lower-cased
// path contains "iexplore.exe" anywhere. The path comes from the process
// layer, which on this platform reports the declared role of the host
// (platform/process.h): `cvie proxy` declares itself the browser, every other
// host is not the browser unless it declares so before the first question.

#pragma once

#include <string>

namespace cvie {

// True when `host_path`, lower-cased, contains "iexplore.exe". Pure.
bool IsBrowserHostPath(const std::wstring& host_path);

// True when the host process is the browser. Computed once per process, on
// the first call, and never again; safe from any thread (threads that ask
// at the same time compute the same answer).
bool IsBrowserProcess();

// Forgets the answer, so that the next IsBrowserProcess asks again (tests
// that change the declared role). Not for use in the program.
void ResetBrowserProcessForTesting();

}  // namespace cvie
