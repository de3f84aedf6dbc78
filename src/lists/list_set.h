// lists/list_set.h
//
// The process's current filter lists: every "*.txt" of the lists folder
// (<shared folder>/lists), in file-name order, parsed, compiled into one
// ListEngine and arranged into HidingTables. A ListSet is immutable once
// built; pages take the current one once at their start (a shared pointer)
// and finish with it even when a newer one replaces it meanwhile.
//
// The compiled index is kept in the folder's "lists.idx" between runs, so a
// start with unchanged lists skips compiling it.
//
// The folder's "generation" file holds a number the list writer changes
// after every change of the .txt files. CurrentListSet reloads when that
// text differs from the one its set was built for; ListSetWatcher asks it to
// every couple of seconds on its own thread, so loading and compiling never
// happen on a page's way.
//
// Threads: Get, Publish and ReloadIfChanged may be called from any threads at
// once (a lock guards the pointer; building happens outside it, and one
// reload at a time).

#pragma once

#include <stddef.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lists/filter_list.h"
#include "lists/hiding.h"
#include "lists/host_filter.h"
#include "lists/list_engine.h"

namespace cvie::lists {

struct ListSet {
  std::unique_ptr<ListEngine> engine;    // the lists live in engine->lists()
  std::unique_ptr<HidingTables> hiding;  // points into engine->lists()
  std::unique_ptr<HostFilter> hosts;     // whole-host rules, for tunnels
  std::string generation;                // the generation it was built for

  const std::vector<FilterList>& lists() const { return engine->lists(); }
};

// Compiles `lists` into a set (index, hiding tables, host table). Null when Vectorscan
// cannot build the index. With `index_cache` the index comes from that cache
// file when it is valid for these lists, else is compiled and written there
// (ListEngine::LoadOrBuild).
std::shared_ptr<const ListSet> BuildListSet(
    std::vector<FilterList> lists, std::string generation,
    const std::wstring& index_cache = std::wstring());

// The index cache of the lists in `folder`: `folder`/lists.idx.
std::wstring ListIndexCachePath(const std::wstring& folder);

// Reads every "*.txt" of `folder` in file-name order into `lists`, each named
// by its "! Title:" line or else its file name. A file that cannot be read is
// left out. False when the folder cannot be listed (for instance missing).
bool ReadListFolder(const std::wstring& folder, std::vector<FilterList>* lists);

// The content of `folder`/generation without surrounding white space; empty
// when there is none.
std::string ReadGeneration(const std::wstring& folder);

// The lists folder of this installation: <SharedFolderPath()>/lists.
std::wstring ListsFolderPath();

class CurrentListSet {
 public:
  // The process's set, used by the page filter.
  static CurrentListSet& Process();

  // The set pages use now; null when no list is loaded.
  std::shared_ptr<const ListSet> Get() const;
  // Makes `set` (may be null) the one later pages take.
  void Publish(std::shared_ptr<const ListSet> set);

  // Loads `folder` when its generation differs from the one last loaded (or
  // nothing was loaded yet) and publishes the result: null when the folder
  // holds no list. A set that cannot be built keeps the previous one. True
  // when a new set (or null) was published.
  bool ReloadIfChanged(const std::wstring& folder);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const ListSet> current_;
  std::mutex reload_mutex_;  // one reload at a time
  bool loaded_once_ = false;
  std::string loaded_generation_;
};

// Polls a folder's generation on its own thread and reloads the set on a
// change. The first load happens on the thread too, at once.
class ListSetWatcher {
 public:
  ListSetWatcher(CurrentListSet* target, std::wstring folder,
                 std::chrono::milliseconds interval = std::chrono::seconds(2));
  // Stops the thread and waits for it.
  ~ListSetWatcher();
  ListSetWatcher(const ListSetWatcher&) = delete;
  ListSetWatcher& operator=(const ListSetWatcher&) = delete;

 private:
  void Run();

  CurrentListSet* target_;
  const std::wstring folder_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace cvie::lists
