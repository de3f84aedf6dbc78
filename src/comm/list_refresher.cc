#include "comm/list_refresher.h"

#include <stdlib.h>

#include <string>
#include <vector>

#include "comm/list_updater.h"
#include "log/logger.h"

namespace cvie {

std::chrono::milliseconds ListRefresher::DefaultInterval() {
  if (const char* text = getenv("CVIE_LIST_REFRESH_CHECK_MS")) {
    long ms = strtol(text, nullptr, 10);
    if (ms > 0) return std::chrono::milliseconds(ms);
  }
  return std::chrono::minutes(15);
}

ListRefresher::ListRefresher(std::chrono::milliseconds interval) : interval_(interval) {
  thread_ = std::thread([this] { Run(); });
}

ListRefresher::~ListRefresher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ListRefresher::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, interval_, [this] { return stop_.load(); });
    if (stop_) return;
    lock.unlock();
    std::vector<ListRefresh> refreshed;
    std::string error;
    if (!RefreshLists(false, &stop_, &refreshed, &error)) {
      Logger::Instance().LogA(LOG_NOTICE, "Filter lists not refreshed: %s\n",
                              error.c_str());
    }
    for (const ListRefresh& list : refreshed) {
      Logger::Instance().LogA(LOG_NOTICE, "Filter list %s refreshed: %s\n",
                              list.url.c_str(), list.ok ? "ok" : list.detail.c_str());
    }
    ++looks_;
    lock.lock();
  }
}

}  // namespace cvie
