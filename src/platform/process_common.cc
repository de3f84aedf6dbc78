// The parts of the process layer that are the same on every system: whether
// this process declared itself the browser, and the address opener tests and
// front ends put in place of the system's browser.

#include <atomic>
#include <mutex>

#include "platform/process.h"

namespace cvie::platform {
namespace {

std::atomic<bool> g_declared_browser{false};

std::mutex g_opener_mutex;
UrlOpener& Opener() {
  static auto* opener = new UrlOpener();
  return *opener;
}

}  // namespace

void DeclareBrowserProcess(bool is_browser) { g_declared_browser.store(is_browser); }

bool IsDeclaredBrowserProcess() { return g_declared_browser.load(); }

int OpenUrlInBrowser(const std::wstring& url) {
  UrlOpener opener;
  {
    std::lock_guard<std::mutex> lock(g_opener_mutex);
    opener = Opener();
  }
  if (opener) return opener(url);
  return LaunchBrowserProgram(std::string(), url);
}

UrlOpener SetUrlOpener(UrlOpener opener) {
  std::lock_guard<std::mutex> lock(g_opener_mutex);
  UrlOpener previous = std::move(Opener());
  Opener() = std::move(opener);
  return previous;
}

}  // namespace cvie::platform
