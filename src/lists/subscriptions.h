// lists/subscriptions.h
//
// The filter lists a user is subscribed to, kept in one folder (the shared
// folder's "lists"):
//   subscriptions.json  the subscribed addresses with what the last download
//                       found (title, version, rule counts), when it was, when
//                       the list is due again, the last error, and the default
//                       lists the user removed (so they are not added again)
//   <id>.txt            the body of each list downloaded so far (id: 16 hex
//                       digits of a hash of the address); none until then
//   generation          a decimal number rewritten after every change of the
//                       set of .txt files, which readers of the folder watch
// Every file is replaced atomically (written beside, flushed, renamed).
//
// SubscriptionStore is the in-memory copy of one load: plain data, no
// locking, no downloads. Several processes share the folder, so callers hold
// the folder's lock (OpenStoreMutex) from Load to Save (comm/list_updater does).

#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lists/filter_list.h"
#include "platform/sync.h"

namespace cvie::lists {

// The largest list body accepted (EasyList is about 2 MB).
constexpr size_t kMaxListBytes = 32u << 20;
// How long a list that cannot be refreshed waits before the next attempt.
constexpr int64_t kRetryAfterFailureSeconds = 60 * 60;

struct Subscription {
  std::string url;
  std::string id;  // file name stem of the body, ListId(url)
  std::string title;
  bool title_from_user = false;  // given with --title: a download keeps it
  std::string version;
  uint64_t network_rules = 0;
  uint64_t hiding_rules = 0;
  uint64_t skipped = 0;
  int64_t last_update = 0;   // Unix seconds of the last good download; 0: never
  int64_t next_update = 0;   // Unix seconds from which the list is due
  int64_t last_attempt = 0;  // Unix seconds of the last download attempt; 0: none
  std::string last_error;    // of the last attempt; empty when it succeeded

  bool downloaded() const { return last_update != 0; }
  // True when an update without --force should download it at `now`.
  bool Due(int64_t now) const { return !downloaded() || now >= next_update; }
};

// How a list stands, in a few words for tables: "ok", "not downloaded yet"
// (with the last error when an attempt failed), or "update failed: <error>"
// when a refresh failed and the previous copy is kept.
std::string StateText(const Subscription& subscription);

// "YYYY-MM-DD HH:MM" in local time, or "never" for 0.
std::string FormatTime(int64_t unix_seconds);

// The lists a new user is subscribed to: EasyList and EasyPrivacy, unless the
// environment variable CVIE_DEFAULT_LISTS is set; then its space-separated
// addresses (none when it is empty).
std::vector<std::string> DefaultListUrls();

// The file name stem of a list's body: 16 lower-case hex digits of the
// address's 64-bit FNV-1a hash. The same in every process.
std::string ListId(std::string_view url);

// Empty when `url` can be subscribed to (http or https, a host, no spaces or
// control characters, at most 2000 characters); else why not.
std::string CheckListUrl(std::string_view url);

// Judges a downloaded answer. Empty when it is a filter list (an
// "[Adblock Plus" header, or at least one rule line), with the list parsed
// into `*parsed`; else a short reason: empty, too big, an HTML page, binary
// data, no rules.
std::string CheckListBody(std::string_view body, FilterList* parsed);

// The lock every process takes around a Load .. Save of the folder's store.
// Never null.
std::unique_ptr<platform::NamedMutex> OpenStoreMutex();

// What removing a subscription did.
enum class RemoveResult { kRemoved, kNotSubscribed, kFailed };

class SubscriptionStore {
 public:
  explicit SubscriptionStore(std::wstring folder);

  // Reads subscriptions.json. Without the file the store holds the default
  // lists (not yet written). Default lists neither present nor removed are
  // added. False when the file cannot be read or is not a store (`*error`
  // says so; the file is left as it is and Save refuses to replace it until
  // it is repaired or deleted by hand).
  bool Load(std::string* error);

  // Writes subscriptions.json (making the folder when missing). False with
  // `*error` when it cannot.
  bool Save(std::string* error);

  const std::vector<Subscription>& subscriptions() const { return subscriptions_; }
  const std::vector<std::string>& removed_defaults() const { return removed_defaults_; }
  Subscription* Find(std::string_view url);

  // Subscribes to `url` (not yet downloaded). False when it is subscribed
  // already.
  bool Add(const std::string& url, const std::string& title);

  // Unsubscribes from `url`, deletes its body and, when the set of bodies
  // changed, the generation. A default list is remembered as removed.
  // kFailed when the body could not be deleted (`*error`; the subscription is
  // then kept).
  RemoveResult Remove(const std::string& url, std::string* error);

  // Installs a good download of `url` (see CheckListBody): writes <id>.txt,
  // then the generation, and records the list's metadata with `now`. Returns
  // false with `*error` when a file could not be written (the previous
  // body is then kept; the failure is recorded).
  bool Install(const std::string& url, std::string_view body, const FilterList& parsed,
               int64_t now, std::string* error);

  // Records a failed download or a refused answer of `url` at `now`; a body
  // downloaded before stays.
  void RecordFailure(const std::string& url, const std::string& error, int64_t now);

  // The path of a list's body (which exists only once downloaded).
  std::wstring BodyPath(const Subscription& subscription) const;
  std::wstring StorePath() const;
  std::wstring GenerationPath() const;

  // Rewrites the generation file with a number greater than the one it holds.
  bool BumpGeneration(std::string* error);

 private:
  std::wstring folder_;
  bool corrupt_ = false;  // Load found a file it could not read: never overwrite
  std::vector<Subscription> subscriptions_;
  std::vector<std::string> removed_defaults_;
};

}  // namespace cvie::lists
