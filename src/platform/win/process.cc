// The process layer on Windows: paths from GetModuleFileNameW (the module is
// the DLL this code is linked into, found from one of its own addresses),
// symbols from the loaded modules, the disk from GetDiskFreeSpaceExW, and the
// browser started with ShellExecuteW.

#include "platform/process.h"


#include "platform/text.h"
#include "platform/win/win32.h"

#include <shellapi.h>

namespace cvie::platform {
namespace {

std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

std::wstring ExecutablePath() { return ModulePath(nullptr); }

std::wstring ModuleFilePath() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ModulePath), &self)) {
    return ExecutablePath();
  }
  return ModulePath(self);
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::GetCurrentProcessId()); }

// Looks in the program and in this module.
void* FindLoadedSymbol(const char* name) {
  if (FARPROC found = GetProcAddress(GetModuleHandleW(nullptr), name)) {
    return reinterpret_cast<void*>(found);
  }
  HMODULE self = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ModulePath), &self)) {
    return reinterpret_cast<void*>(GetProcAddress(self, name));
  }
  return nullptr;
}

// Clusters of the current drive, in bytes-per-cluster units like the
// system's GetDiskFreeSpace.
bool GetDiskFreeClusters(uint64_t* total, uint64_t* available) {
  ::ULARGE_INTEGER free_to_caller, all, all_free;
  if (!GetDiskFreeSpaceExW(nullptr, &free_to_caller, &all, &all_free)) return false;
  ::DWORD sectors = 0, bytes = 0, free_clusters = 0, clusters = 0;
  uint64_t cluster = 4096;
  if (GetDiskFreeSpaceW(nullptr, &sectors, &bytes, &free_clusters, &clusters) &&
      sectors && bytes) {
    cluster = static_cast<uint64_t>(sectors) * bytes;
  }
  *total = all.QuadPart / cluster;
  *available = free_to_caller.QuadPart / cluster;
  return true;
}

// On Windows the host's own path answers the question: the browser is
// iexplore.exe. A test host may still declare itself the browser.
std::wstring HostPathForBrowserTest() {
  std::wstring path = ExecutablePath();
  if (!IsDeclaredBrowserProcess()) return path;
  size_t slash = path.find_last_of(L"\\/");
  std::wstring folder = slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
  return folder + L"iexplore.exe";
}

// With no program named, the shell opens the address with the user's browser.
int LaunchBrowserProgram(const std::string& program, const std::wstring& url) {
  std::wstring file = program.empty() ? url : ToWide(program);
  const wchar_t* parameters = program.empty() ? nullptr : url.c_str();
  HINSTANCE result =
      ShellExecuteW(nullptr, L"open", file.c_str(), parameters, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<intptr_t>(result) > 32 ? 0 : -1;
}

void ReleaseFreedMemory() { _heapmin(); }

}  // namespace cvie::platform
