// app/https/host_blocker.cc

#include "https/host_blocker.h"

#include "platform/data_folders.h"
#include "platform/text.h"
#include "whitelist/whitelist.h"

namespace cvie::https {

HostBlocker::Sources HostBlocker::UserSources() {
  Sources sources;
  sources.lists = [] { return lists::CurrentListSet::Process().Get(); };
  sources.whitelist = [] {
    // Read afresh each time: the process's store reloads only on a saving
    // stamp newer by a whole second, and the file is small.
    Whitelist list(platform::WhitelistFilePath(), platform::WhitelistTempPath());
    list.Load();
    return list.Entries();
  };
  return sources;
}

HostBlocker::HostBlocker(Sources sources, std::function<void(const std::string&)> log)
    : sources_(std::move(sources)), log_(std::move(log)) {
  Refresh(true);
  refresher_ = std::thread([this] { RefreshUntilStopped(); });
}

HostBlocker::~HostBlocker() {
  {
    std::lock_guard<std::mutex> lock(stop_mu_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (refresher_.joinable()) refresher_.join();
}

void HostBlocker::Refresh(bool first) {
  std::shared_ptr<const lists::ListSet> set = sources_.lists ? sources_.lists() : nullptr;
  if (first || set != set_) {
    set_ = set;
    // Shares the set's ownership: the table lives as long as a check holds it.
    std::shared_ptr<const lists::HostFilter> filter =
        set && set->hosts
            ? std::shared_ptr<const lists::HostFilter>(set, set->hosts.get())
            : std::make_shared<const lists::HostFilter>();
    const size_t count = set ? set->lists().size() : 0;
    if (log_ && (!first || count > 0)) {
      log_("secure sites: " + std::to_string(filter->blocking_hosts()) +
           " advertising hosts blocked at CONNECT, from " + std::to_string(count) +
           " lists");
    }
    std::lock_guard<std::mutex> lock(mu_);
    filter_ = std::move(filter);
    lists_ = count;
  }
  if (sources_.whitelist) {
    std::string text;
    for (const std::wstring& entry : sources_.whitelist()) {
      std::string host = NormalizePassthroughHost(platform::ToNarrow(entry));
      if (!host.empty()) text += "*." + host + "\n";
    }
    auto whitelist = std::make_shared<HttpsPassthroughList>();
    whitelist->Parse(text);
    std::lock_guard<std::mutex> lock(mu_);
    whitelist_ = std::move(whitelist);
  }
}

void HostBlocker::RefreshUntilStopped() {
  std::unique_lock<std::mutex> lock(stop_mu_);
  while (!stop_cv_.wait_for(lock, sources_.refresh, [this] { return stopping_; })) {
    lock.unlock();
    Refresh(false);
    lock.lock();
  }
}

proxy::HostVerdict HostBlocker::CheckTunnelHost(const std::string& host) {
  std::shared_ptr<const lists::HostFilter> filter;
  std::shared_ptr<const HttpsPassthroughList> whitelist;
  {
    std::lock_guard<std::mutex> lock(mu_);
    filter = filter_;
    whitelist = whitelist_;
  }
  proxy::HostVerdict verdict;
  if (!filter) return verdict;
  lists::HostDecision decision = filter->Decide(host);
  if (!decision.blocked || (whitelist && whitelist->Contains(host))) return verdict;
  verdict.blocked = true;
  verdict.rule = decision.rule->text;
  verdict.list = decision.rule->list;
  verdict.line = decision.rule->line;
  return verdict;
}

HostBlocker::Status HostBlocker::status() const {
  std::lock_guard<std::mutex> lock(mu_);
  Status status;
  status.lists = lists_;
  if (filter_) {
    status.blocked_hosts = filter_->blocking_hosts();
    status.page_dependent_exceptions = filter_->page_dependent_exceptions();
  }
  return status;
}

}  // namespace cvie::https
