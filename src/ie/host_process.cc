// The host process test.

#include "ie/host_process.h"

#include <atomic>

#include "platform/process.h"
#include "platform/text.h"

namespace cvie {

namespace {

// -1 not yet known, 0 not the browser, 1 the browser.
std::atomic<int> g_is_browser{-1};

}  // namespace

bool IsBrowserHostPath(const std::wstring& host_path) {
  // The whole path is examined: a declared browser's path is its folder
  // followed by the browser's name, and a long folder must not push the name
  // out of a fixed-size buffer.
  return platform::FoldCase(host_path).find(L"iexplore.exe") != std::wstring::npos;
}

bool IsBrowserProcess() {
  int known = g_is_browser.load(std::memory_order_acquire);
  if (known != -1) return known == 1;
  int computed = IsBrowserHostPath(platform::HostPathForBrowserTest()) ? 1 : 0;
  g_is_browser.store(computed, std::memory_order_release);
  return computed == 1;
}

void ResetBrowserProcessForTesting() {
  g_is_browser.store(-1, std::memory_order_release);
}

}  // namespace cvie
