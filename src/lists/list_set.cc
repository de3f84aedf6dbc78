#include "lists/list_set.h"

#include <algorithm>
#include <utility>

#include "log/logger.h"
#include "platform/data_folders.h"
#include "platform/files.h"
#include "platform/text.h"

namespace cvie::lists {

namespace {

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::shared_ptr<const ListSet> BuildListSet(std::vector<FilterList> lists,
                                            std::string generation,
                                            const std::wstring& index_cache) {
  auto set = std::make_shared<ListSet>();
  set->engine = ListEngine::LoadOrBuild(std::move(lists), index_cache, nullptr);
  if (!set->engine) return nullptr;
  set->hiding = std::make_unique<HidingTables>(set->engine->lists());
  set->hosts = std::make_unique<HostFilter>(set->engine->lists());
  set->generation = std::move(generation);
  return set;
}

bool ReadListFolder(const std::wstring& folder, std::vector<FilterList>* lists) {
  lists->clear();
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, &entries)) return false;
  std::vector<std::wstring> names;
  for (const platform::FolderEntry& entry : entries) {
    if (!entry.is_folder && EndsWith(entry.name, L".txt")) names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  for (const std::wstring& name : names) {
    std::string text;
    if (!platform::ReadWholeFile(folder + L"/" + name, &text)) {
      Logger::Instance().LogA(LOG_NOTICE, "Filter list %s cannot be read\n",
                              platform::ToNarrow(name).c_str());
      continue;
    }
    FilterList list = ParseFilterList(text, platform::ToNarrow(name));
    if (!list.title.empty()) list.name = list.title;
    lists->push_back(std::move(list));
  }
  return true;
}

std::string ReadGeneration(const std::wstring& folder) {
  std::string text;
  if (!platform::ReadWholeFile(folder + L"/generation", &text)) return {};
  const char* kSpace = " \t\r\n";
  size_t first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::wstring ListIndexCachePath(const std::wstring& folder) {
  return folder + L"/lists.idx";
}

std::wstring ListsFolderPath() { return platform::SharedFolderPath() + L"/lists"; }

CurrentListSet& CurrentListSet::Process() {
  static CurrentListSet* const process = new CurrentListSet();
  return *process;
}

std::shared_ptr<const ListSet> CurrentListSet::Get() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

void CurrentListSet::Publish(std::shared_ptr<const ListSet> set) {
  std::shared_ptr<const ListSet> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = std::move(current_);
    current_ = std::move(set);
  }
  // `previous` is released here, outside the lock (the last page holding it
  // may release it later instead).
}

bool CurrentListSet::ReloadIfChanged(const std::wstring& folder) {
  std::lock_guard<std::mutex> reload(reload_mutex_);
  std::string generation = ReadGeneration(folder);
  if (loaded_once_ && generation == loaded_generation_) return false;
  std::vector<FilterList> lists;
  ReadListFolder(folder, &lists);
  std::shared_ptr<const ListSet> set;
  if (!lists.empty()) {
    size_t count = lists.size();
    set = BuildListSet(std::move(lists), generation, ListIndexCachePath(folder));
    if (!set) {
      Logger::Instance().LogA(LOG_NOTICE,
                              "Filter lists (generation %s) could not be compiled; the "
                              "previous ones stay in use\n",
                              generation.c_str());
      loaded_once_ = true;
      loaded_generation_ = generation;  // not tried again until the next change
      return false;
    }
    Logger::Instance().LogA(LOG_NOTICE, "Filter lists loaded: %zu (generation %s)\n",
                            count, generation.c_str());
  }
  Publish(std::move(set));
  loaded_once_ = true;
  loaded_generation_ = generation;
  return true;
}

ListSetWatcher::ListSetWatcher(CurrentListSet* target, std::wstring folder,
                               std::chrono::milliseconds interval)
    : target_(target), folder_(std::move(folder)), interval_(interval) {
  thread_ = std::thread([this] { Run(); });
}

ListSetWatcher::~ListSetWatcher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ListSetWatcher::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lock.unlock();
    target_->ReloadIfChanged(folder_);
    lock.lock();
    wake_.wait_for(lock, interval_, [this] { return stop_; });
  }
}

}  // namespace cvie::lists
