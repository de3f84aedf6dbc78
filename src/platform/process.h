// platform/process.h
//
// The running process as the layers above see it: its executable, its
// identifier, the free space of its current folder, whether it plays the
// browser's role, opening a web page in the user's browser, and handing
// freed memory back to the system.
//
// The browser role: on this platform no process is "iexplore.exe". The host
// program declares at start whether it serves the browser (`cvie proxy` does;
// the command-line tools and test programs do not, unless a test declares it).
// HostPathForBrowserTest() turns that declaration into the host path the host
// test examines.
//
// Opening a page goes through a process-wide opener: by default the program
// named by $BROWSER (its first ':'-separated entry), else xdg-open, started
// without waiting for it. Tests install their own opener, which records the
// address instead of starting anything.
//
// All functions are safe from any thread.

#pragma once

#include <stdint.h>

#include <functional>
#include <string>

#include "platform/com.h"

namespace cvie::platform {

// Full path of the running executable (from /proc/self/exe); empty when it
// cannot be read.
std::wstring ExecutablePath();

// Full path of the module that holds this code: the executable, since the
// library is linked into it. Empty when unknown.
std::wstring ModuleFilePath();

DWORD GetCurrentProcessId();

// The address of `name` among the symbols the process has loaded (its own
// and its shared libraries'); null when there is none.
void* FindLoadedSymbol(const char* name);

// Hands memory the process has freed back to the system where the allocator
// would otherwise keep it (after a large build that freed most of what it
// allocated). Only a hint: nothing changes for the caller.
void ReleaseFreedMemory();

// Total and available blocks of the file system of the current folder (the
// "clusters" of the current drive). False when the query fails.
bool GetDiskFreeClusters(uint64_t* total, uint64_t* available);

// Declares whether this process serves the browser. Call before anything asks
// (the host test caches its answer).
void DeclareBrowserProcess(bool is_browser);
bool IsDeclaredBrowserProcess();

// The path the host test examines: for a declared browser, the executable's
// folder followed by "iexplore.exe"; otherwise the executable's own path.
std::wstring HostPathForBrowserTest();

// Opens `url` in the user's browser through the active opener, without
// waiting for the browser. Returns 0 when it was started, -1 otherwise.
int OpenUrlInBrowser(const std::wstring& url);

// Replaces the opener (empty: the default one). Returns the previous opener
// (empty when the default was active).
using UrlOpener = std::function<int(const std::wstring& url)>;
UrlOpener SetUrlOpener(UrlOpener opener);

// The default opener: starts `program` (when empty: $BROWSER's first entry,
// else "xdg-open", found through PATH) with `url` as its one argument, and
// reaps it in the background. Returns 0 when the program was started.
int LaunchBrowserProgram(const std::string& program, const std::wstring& url);

}  // namespace cvie::platform
