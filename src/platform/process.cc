#include "platform/process.h"

#include <dlfcn.h>
#include <errno.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <spawn.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/text.h"

extern char** environ;

namespace cvie::platform {
std::wstring ExecutablePath() {
  std::vector<char> buffer(4096);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return std::wstring();
  return ToWide(std::string(buffer.data(), static_cast<size_t>(n)));
}

std::wstring ModuleFilePath() { return ExecutablePath(); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

void* FindLoadedSymbol(const char* name) { return dlsym(RTLD_DEFAULT, name); }

bool GetDiskFreeClusters(uint64_t* total, uint64_t* available) {
  struct statvfs info;
  if (statvfs(".", &info) != 0) return false;
  *total = info.f_blocks;
  *available = info.f_bavail;
  return true;
}

std::wstring HostPathForBrowserTest() {
  std::wstring path = ExecutablePath();
  if (!IsDeclaredBrowserProcess()) return path;
  size_t slash = path.rfind(L'/');
  std::wstring folder = slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
  return folder + L"iexplore.exe";
}

int LaunchBrowserProgram(const std::string& program, const std::wstring& url) {
  std::string chosen = program;
  if (chosen.empty()) {
    const char* browser = getenv("BROWSER");
    if (browser && *browser) {
      chosen = browser;
      size_t colon = chosen.find(':');
      if (colon != std::string::npos) chosen.resize(colon);
    }
  }
  if (chosen.empty()) chosen = "xdg-open";
  std::string address = ToNarrow(url);
  // The address is one argument of its own: it never passes through a shell.
  char* argv[] = {chosen.data(), address.data(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, chosen.c_str(), nullptr, nullptr, argv, environ) != 0) {
    return -1;
  }
  std::thread([pid] {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return 0;
}

void ReleaseFreedMemory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

}  // namespace cvie::platform
