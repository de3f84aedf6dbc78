#include "road/browser_window.h"

#include <algorithm>

#include "log/logger.h"
#include "platform/text.h"
#include "proxy/http_headers.h"

namespace cvie::road {

bool BrowserWindow::GetLocationURL(std::wstring* url) {
  std::lock_guard<std::mutex> lock(mu_);
  if (location_.empty()) return false;
  *url = location_;
  return true;
}

bool BrowserWindow::Navigate(const std::wstring& url) {
  std::lock_guard<std::mutex> lock(mu_);
  navigation_ = url;
  return true;
}

bool BrowserWindow::Refresh() {
  std::lock_guard<std::mutex> lock(mu_);
  ++refreshes_;
  return true;
}

void BrowserWindow::BeforeNavigate(const std::string& url) {
  BrowserHelperWindow* helper;
  {
    std::lock_guard<std::mutex> lock(mu_);
    helper = helper_;
  }
  if (helper == nullptr || helper->FireBeforeNavigate2(platform::ToWide(url)) == 0) {
    Logger::Instance().Log(LOG_NOTICE, L"DISPID_BEFORENAVIGATE2: %s\n", url.c_str());
  }
  SetLocation(platform::ToWide(url));
}

void BrowserWindow::set_helper(BrowserHelperWindow* helper) {
  std::lock_guard<std::mutex> lock(mu_);
  helper_ = helper;
}

void BrowserWindow::SetLocation(const std::wstring& url) {
  std::lock_guard<std::mutex> lock(mu_);
  location_ = url;
}

std::wstring BrowserWindow::TakeNavigation() {
  std::lock_guard<std::mutex> lock(mu_);
  std::wstring url;
  url.swap(navigation_);
  return url;
}

uint64_t BrowserWindow::refresh_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return refreshes_;
}

bool IsTopLevelNavigation(const proxy::ProxyRequest& request) {
  if (const std::string* dest = proxy::FindHeader(request.headers, "Sec-Fetch-Dest")) {
    return proxy::EqualsIgnoreCase(*dest, "document");
  }
  if (request.method != "GET") return false;
  const std::string* accept = proxy::FindHeader(request.headers, "Accept");
  if (!accept) return false;
  std::string lower = *accept;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return lower.find("text/html") != std::string::npos;
}

}  // namespace cvie::road
