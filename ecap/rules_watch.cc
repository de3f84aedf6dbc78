// ecap/rules_watch.cc

#include "rules_watch.h"

#include <unistd.h>

#include "lists/list_set.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "rules/current_rules.h"
#include "rules/rules_holder.h"

namespace cvie::ecap {

void RulesWatch::Start() {
  std::lock_guard<std::mutex> lock(thread_mu_);
  const pid_t pid = getpid();
  if (thread_ && owner_ == pid) return;
  if (thread_) (void)thread_.release();
  path_ = platform::RuleFilePath();
  Reload();
  {
    std::lock_guard<std::mutex> state(mu_);
    stopping_ = false;
  }
  thread_ = std::make_unique<std::thread>([this] { Watch(); });
  owner_ = pid;
}

void RulesWatch::Stop() {
  std::lock_guard<std::mutex> lock(thread_mu_);
  if (!thread_ || owner_ != getpid()) return;
  {
    std::lock_guard<std::mutex> state(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_->join();
  thread_.reset();
}

std::shared_ptr<RulesHolder> RulesWatch::Current() const {
  return CurrentRules::Process().Get();
}

int RulesWatch::loads() const {
  std::lock_guard<std::mutex> lock(mu_);
  return loads_;
}

void RulesWatch::Reload() {
  std::lock_guard<std::mutex> reloading(reload_mu_);
  // Subscribed filter lists: reloaded when `cvie lists` changed them.
  lists::CurrentListSet::Process().ReloadIfChanged(lists::ListsFolderPath());
  // The rule file: loaded when an install replaced it; a file that fails its
  // check leaves the rules in force (and is not tried again).
  if (!CurrentRules::Process().ReloadIfChanged(path_)) return;
  Logger::Instance().Log(LOG_NOTICE, L"eCAP: rules loaded from %ls\n", path_.c_str());
  std::lock_guard<std::mutex> lock(mu_);
  ++loads_;
}

void RulesWatch::Watch() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    wake_.wait_for(lock, period_, [this] { return stopping_; });
    if (stopping_) break;
    lock.unlock();
    Reload();
    lock.lock();
  }
}

}  // namespace cvie::ecap
