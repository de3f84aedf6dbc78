// app/https/host_blocker.h
//
// Blocks advertising and tracking hosts at CONNECT for the tunnels the proxy
// does not open: the host-level rules of the subscribed lists
// (lists::HostFilter), undone for hosts on the user's whitelist (an entry,
// reduced to its host, covers that host and every name under it, as a site
// entry covers the pages under it). The product's own rule file plays no part:
// its rules are about addresses and page elements, not hosts.
//
// The lists are every `lists/*.txt` of the shared folder, read by
// LoadListsFolder (the one place that reads them for this purpose). They are
// read when the blocker is made and again, by a thread of its own, whenever
// the content of `lists/generation` changes (looked at every `refresh`,
// about 2 s); the whitelist is read by the same thread. CheckTunnelHost only
// takes the current tables: it never waits on a file or the registry.
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
#include "lists/filter_list.h"
#include "lists/host_filter.h"
#include "proxy/host_policy.h"

namespace cvie::https {

// The subscribed lists: every `*.txt` of `folder`, in file-name order, each
// named by its file name (its title, when it has one, names it in verdicts).
// A missing folder gives no lists; an unreadable file is left out.
std::vector<lists::FilterList> LoadListsFolder(const std::filesystem::path& folder);

// `<shared folder>/lists`.
std::filesystem::path SharedListsFolder();

class HostBlocker : public proxy::HostPolicy {
 public:
  struct Sources {
    std::filesystem::path lists_folder;  // SharedListsFolder()
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
  // Rereads the lists when the generation changed (always on the first call)
  // and the whitelist.
  void Refresh(bool first);
  void RefreshUntilStopped();

  const Sources sources_;
  const std::function<void(const std::string&)> log_;
  std::string generation_;  // only the refresher (and the constructor) use it

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
