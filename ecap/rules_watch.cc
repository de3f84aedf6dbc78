// ecap/rules_watch.cc

#include "rules_watch.h"

#include <sys/stat.h>
#include <unistd.h>

#include "lists/list_set.h"
#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/text.h"
#include "rules/rule_loading.h"
#include "rules/rules_holder.h"

namespace cvie::ecap {

// The installed rule file's identity: a new install (an atomic rename)
// changes its inode or modification time.
RulesWatch::FileStamp RulesWatch::StampOf(const std::string& path) {
  struct stat st;
  FileStamp stamp;
  if (stat(path.c_str(), &st) != 0) return stamp;
  stamp.inode = st.st_ino;
  stamp.mtime_ns =
      static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  stamp.size = st.st_size;
  return stamp;
}

void RulesWatch::Start() {
  std::lock_guard<std::mutex> lock(thread_mu_);
  const pid_t pid = getpid();
  if (thread_ && owner_ == pid) return;
  if (thread_) (void)thread_.release();
  path_ = RuleFilePath();
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
  std::lock_guard<std::mutex> lock(mu_);
  return current_;
}

int RulesWatch::loads() const {
  std::lock_guard<std::mutex> lock(mu_);
  return loads_;
}

void RulesWatch::Reload() {
  std::lock_guard<std::mutex> reloading(reload_mu_);
  // Subscribed filter lists: reloaded when `cvie lists` changed them.
  lists::CurrentListSet::Process().ReloadIfChanged(lists::ListsFolderPath());
  FileStamp stamp = StampOf(ToNarrow(path_));
  if (stamp == loaded_stamp_) return;
  std::shared_ptr<RulesHolder> fresh(LoadRuleFile(path_).release());
  loaded_stamp_ = stamp;
  if (!fresh) {
    Logger::Instance().Log(LOG_WARNING, L"eCAP: the rule file %ls fails its check\n",
                           path_.c_str());
    return;  // the rules in force stay
  }
  Logger::Instance().Log(LOG_NOTICE, L"eCAP: rules loaded from %ls\n", path_.c_str());
  std::lock_guard<std::mutex> lock(mu_);
  current_ = std::move(fresh);
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
