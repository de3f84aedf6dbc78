// comm/list_updater.h
//
// Subscribing to filter lists and keeping them current: the one download code
// that `cvie lists`, the control panel and the update worker share, on top of
// the store in lists/subscriptions.h (folder lists::ListsFolderPath()).
//
// A download is held in memory up to lists::kMaxListBytes and judged
// (lists::CheckListBody) before anything is written: a failed, cut, refused or
// oversized answer never replaces a list downloaded before; the error is
// logged and kept with the subscription for display. The store's lock is
// held only while the store is read and written, never during a download,
// so a slow server does not hold up another process.
//
// Every function is safe to call from any thread and from several processes
// at once. The functions that download run the calling thread's message loop
// until their transfer ends (platform/download.h).

#pragma once

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "lists/list_set.h"  // ListsFolderPath
#include "lists/subscriptions.h"

namespace cvie {

// The longest a list download may take, in milliseconds.
constexpr int kListDownloadTimeoutMs = 120 * 1000;

// Downloads `url` into `*body`. False with `*error` (a short lower-case text,
// e.g. "could not resolve host: example.org") when the transfer failed, timed
// out after `timeout_ms`, grew past `max_bytes`, or `stop` became true (also
// when the thread's loop was asked to quit).
bool FetchListText(const std::string& url, size_t max_bytes, int timeout_ms,
                   const std::atomic<bool>* stop, std::string* body, std::string* error);

// The subscriptions as stored, with the defaults a new user gets. False with
// `*error` when the store is damaged.
bool ReadSubscriptions(std::vector<lists::Subscription>* subscriptions,
                       std::string* error);

// How adding a list ended.
enum class AddListResult { kAdded, kBadAddress, kAlreadySubscribed, kFailed };

// Downloads `url` at once and subscribes to it when the answer is a filter
// list; otherwise nothing is subscribed and `*error` says why. `title`, when
// not empty, names the list in place of its "! Title:".
AddListResult AddList(const std::string& url, const std::string& title,
                      std::string* error);

// Unsubscribes from `url` and deletes its body (a default list is remembered
// as removed). kFailed with `*error` when the body or the store could not be
// written.
lists::RemoveResult RemoveList(const std::string& url, std::string* error);

struct ListRefresh {
  std::string url;
  bool ok = false;
  std::string detail;  // the error when not ok; else "<n> network rules, ..."
};

// Downloads every list that is due (never downloaded, or its "! Expires:"
// time has passed), or every list with `force`. One entry per list tried.
// True when the store could be read and written (each list's own failure is
// in its entry), false with `*error` otherwise.
bool RefreshLists(bool force, const std::atomic<bool>* stop,
                  std::vector<ListRefresh>* results, std::string* error);

// Shortens the download timeout of RefreshLists and AddList (0: the usual).
void SetListDownloadTimeoutForTesting(int timeout_ms);

}  // namespace cvie
