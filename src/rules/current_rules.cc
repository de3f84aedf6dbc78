#include "rules/current_rules.h"

#include <time.h>

#include "log/logger.h"
#include "platform/files.h"
#include "rules/rule_file.h"
#include "rules/rule_loading.h"

namespace cvie {

CurrentRules& CurrentRules::Process() {
  // Never destroyed: threads still filtering while the process exits keep
  // a valid object.
  static CurrentRules* rules = new CurrentRules;
  return *rules;
}

std::shared_ptr<RulesHolder> CurrentRules::Get() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

CurrentRules::State CurrentRules::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void CurrentRules::Publish(std::shared_ptr<RulesHolder> holder,
                           const std::string& version) {
  if (!holder) return;
  std::shared_ptr<RulesHolder> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = std::move(current_);
    current_ = std::move(holder);
    state_.version = version;
    state_.loaded_at = static_cast<long long>(time(nullptr));
  }
  // `previous` goes here, outside the lock, unless pages still hold it.
}

void CurrentRules::AssumeLoaded(const std::string& stamp, const std::string& version) {
  std::lock_guard<std::mutex> lock(reload_mutex_);
  if (stamped_) return;
  stamp_ = stamp;
  stamped_ = true;
  std::lock_guard<std::mutex> state(mutex_);
  state_.version = version;
}

bool CurrentRules::ReloadIfChanged(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(reload_mutex_);
  const std::string stamp = platform::FileVersionStamp(path);
  if (stamp.empty() || (stamped_ && stamp == stamp_)) return false;
  std::shared_ptr<RulesHolder> fresh(LoadRuleFile(path).release());
  // The version text the check just stored; only this thread checks rule
  // files while the reload lock is held here, and others store the same
  // kind of value, so at worst a concurrent check elsewhere shows its own.
  const std::string version = RuleFileVersion();
  // A file that was replaced while it was read is read again next time.
  const std::string after = platform::FileVersionStamp(path);
  stamp_ = stamp == after ? stamp : std::string();
  stamped_ = true;
  if (!fresh) {
    Logger::Instance().Log(
        LOG_WARNING, L"the rule file %ls fails its check; the rules in force stay\n",
        path.c_str());
    std::lock_guard<std::mutex> state(mutex_);
    ++state_.refused;
    return false;
  }
  fresh->LogRuleCount();
  Logger::Instance().Log(LOG_NOTICE, L"rules loaded from %ls (version %s)\n",
                         path.c_str(), version.c_str());
  Publish(std::move(fresh), version);
  return true;
}

RulesWatcher::RulesWatcher(CurrentRules* target, std::wstring path,
                           std::chrono::milliseconds interval)
    : target_(target), path_(std::move(path)), interval_(interval) {
  thread_ = std::thread([this] { Run(); });
}

RulesWatcher::~RulesWatcher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void RulesWatcher::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lock.unlock();
    target_->ReloadIfChanged(path_);
    lock.lock();
    wake_.wait_for(lock, interval_, [this] { return stop_; });
  }
}

}  // namespace cvie
