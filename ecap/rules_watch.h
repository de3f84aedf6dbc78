// ecap/rules_watch.h
//
// The rules of one Squid worker: the process's rules in force
// (rules/current_rules.h), loaded from the installed rule file (and its
// cached index), and a watcher thread that looks at the file every period and
// loads a changed one off the page path;
// it also reloads the subscribed filter lists when `cvie lists` changed them.
// Pages take the current holder when they start and keep it while they are
// edited, so a reload never pulls rules from under a page.
//
// Threads: Current() may be called from any thread while the watcher runs;
// Start and Stop from any thread (they serialise on their own lock). Squid
// calls the adapter on its main thread, tests from many.

#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace cvie {
class RulesHolder;
}

namespace cvie::ecap {

class RulesWatch {
 public:
  explicit RulesWatch(std::chrono::milliseconds period = std::chrono::seconds(2))
      : period_(period) {}
  ~RulesWatch() { Stop(); }
  RulesWatch(const RulesWatch&) = delete;
  RulesWatch& operator=(const RulesWatch&) = delete;

  // Loads the rule file now (when it changed since the last load) and starts
  // the watcher, once per process: a watcher started before Squid forked this
  // worker does not run here, so the worker starts its own (the copy of the
  // parent's thread object is left alone, since joining it would wait
  // forever). Calling it again while the watcher runs does nothing.
  void Start();

  // Stops the watcher and waits for it. The holder in force stays, so a
  // reconfiguration that starts the watcher again reuses it instead of
  // loading another copy.
  void Stop();

  // The holder in force; null until a rule file loaded cleanly.
  std::shared_ptr<RulesHolder> Current() const;

  // How many times a rule file was loaded into a new holder.
  int loads() const;

 private:
  void Reload();
  void Watch();

  const std::chrono::milliseconds period_;
  std::mutex thread_mu_;  // Start and Stop
  std::unique_ptr<std::thread> thread_;
  pid_t owner_ = 0;  // the process that started thread_
  std::wstring path_;
  std::mutex reload_mu_;   // one Reload at a time
  mutable std::mutex mu_;  // stopping_, loads_
  std::condition_variable wake_;
  bool stopping_ = false;
  int loads_ = 0;
};

}  // namespace cvie::ecap
