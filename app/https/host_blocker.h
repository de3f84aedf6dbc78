// app/https/host_blocker.h
//
// Blocks advertising and tracking hosts at CONNECT for the tunnels the proxy
// does not open: the host-level rules of the subscribed lists
// (lists::HostFilter), undone for hosts on the user's whitelist (an entry,
// reduced to its host, covers that host and every name under it, as a site
// entry covers the pages under it). The product's own rule file plays no part:
// its rules are about addresses and page elements, not hosts.
//
// The host table comes with the process's current list set
// (lists/list_set.h: loaded and reloaded by its watcher); the blocker takes
// the newest set when it is made and, by a thread of its own, every `refresh`
// (about 2 s), when it reads the whitelist too. CheckTunnelHost only takes the
// current tables: it never waits on a file or the registry.
//
// Thread safety: CheckTunnelHost and status may be called from many threads at
// once; the current tables are immutable and swapped under one mutex.

#pragma once

#include <stddef.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "https/https_settings.h"
#include "lists/host_filter.h"
#include "lists/list_set.h"
#include "proxy/host_policy.h"

namespace cvie::https {

class HostBlocker : public proxy::HostPolicy {
 public:
  struct Sources {
    // The current list set (null: none); called on the blocker's own thread.
    std::function<std::shared_ptr<const lists::ListSet>()> lists;
    // The user's whitelist entries; called on the blocker's own thread.
    std::function<std::vector<std::wstring>()> whitelist;
    std::chrono::milliseconds refresh{2000};
  };
  static Sources UserSources();

  struct Status {
    size_t lists = 0;
    size_t blocked_hosts = 0;              // host-level blocking rules
    size_t page_dependent_exceptions = 0;  // exceptions a host cannot judge
  };

  // Reads the lists and the whitelist before returning. `log` gets one line per
  // reload; it may be empty.
  HostBlocker(Sources sources, std::function<void(const std::string&)> log);
  ~HostBlocker() override;
  HostBlocker(const HostBlocker&) = delete;
  HostBlocker& operator=(const HostBlocker&) = delete;

  proxy::HostVerdict CheckTunnelHost(const std::string& host) override;
  Status status() const;

 private:
  // Takes the current list set's host table when the set changed, and
  // rereads the whitelist.
  void Refresh(bool first);
  void RefreshUntilStopped();

  const Sources sources_;
  const std::function<void(const std::string&)> log_;
  // The set the host table comes from; only the refresher (and the
  // constructor) use it.
  std::shared_ptr<const lists::ListSet> set_;

  mutable std::mutex mu_;
  std::shared_ptr<const lists::HostFilter> filter_;        // guarded by mu_
  std::shared_ptr<const HttpsPassthroughList> whitelist_;  // guarded by mu_
  size_t lists_ = 0;                                       // guarded by mu_

  std::mutex stop_mu_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;  // guarded by stop_mu_
  std::thread refresher_;
};

}  // namespace cvie::https
