#include "lists/subscriptions.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/local_time.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace cvie::lists {
namespace {

constexpr char kEasyList[] = "https://easylist.to/easylist/easylist.txt";
constexpr char kEasyPrivacy[] = "https://easylist.to/easylist/easyprivacy.txt";
constexpr int kStoreFormat = 1;
constexpr size_t kMaxUrlLength = 2000;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == prefix;
}

// The text after a UTF-8 byte order mark and leading white space.
std::string_view SkipLeadingSpace(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  size_t start = text.find_first_not_of(" \t\r\n");
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

bool LooksLikeHtml(std::string_view text) {
  std::string_view start = SkipLeadingSpace(text);
  if (start.empty() || start[0] != '<') return false;
  std::string head = Lower(start.substr(0, 4096));
  for (const char* tag : {"<!doctype", "<html", "<head", "<body", "<?xml", "<title",
                          "<meta", "<script", "<div", "<p>"}) {
    if (head.find(tag) != std::string::npos) return true;
  }
  return false;
}

nlohmann::json ToJson(const Subscription& s) {
  return {{"url", s.url},
          {"title", s.title},
          {"title_from_user", s.title_from_user},
          {"version", s.version},
          {"network_rules", s.network_rules},
          {"hiding_rules", s.hiding_rules},
          {"skipped", s.skipped},
          {"last_update", s.last_update},
          {"next_update", s.next_update},
          {"last_attempt", s.last_attempt},
          {"last_error", s.last_error}};
}

// False when `j` is no subscription (a missing or mistyped "url").
bool FromJson(const nlohmann::json& j, Subscription* s) {
  if (!j.is_object() || !j.contains("url") || !j["url"].is_string()) return false;
  s->url = j["url"].get<std::string>();
  s->id = ListId(s->url);
  s->title = j.value("title", std::string());
  s->title_from_user = j.value("title_from_user", false);
  s->version = j.value("version", std::string());
  s->network_rules = j.value("network_rules", uint64_t{0});
  s->hiding_rules = j.value("hiding_rules", uint64_t{0});
  s->skipped = j.value("skipped", uint64_t{0});
  s->last_update = j.value("last_update", int64_t{0});
  s->next_update = j.value("next_update", int64_t{0});
  s->last_attempt = j.value("last_attempt", int64_t{0});
  s->last_error = j.value("last_error", std::string());
  return true;
}

}  // namespace

std::string StateText(const Subscription& s) {
  if (!s.downloaded()) {
    return s.last_error.empty() ? "not downloaded yet"
                                : "not downloaded yet: " + s.last_error;
  }
  if (!s.last_error.empty()) {
    return "update failed: " + s.last_error + " (the copy of " +
           FormatTime(s.last_update) + " is kept)";
  }
  return "ok";
}

std::string FormatTime(int64_t unix_seconds) {
  if (unix_seconds == 0) return "never";
  time_t t = static_cast<time_t>(unix_seconds);
  struct tm parts;
  if (!platform::LocalTime(t, &parts)) return "?";
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M", &parts);
  return text;
}

std::vector<std::string> DefaultListUrls() {
  const char* configured = getenv("CVIE_DEFAULT_LISTS");
  if (!configured) return {kEasyList, kEasyPrivacy};
  std::vector<std::string> urls;
  std::string_view rest(configured);
  while (!rest.empty()) {
    size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    size_t end = std::min(rest.find(' '), rest.size());
    urls.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end);
  }
  return urls;
}

std::string ListId(std::string_view url) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : url) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string CheckListUrl(std::string_view url) {
  if (url.empty()) return "no address given";
  if (url.size() > kMaxUrlLength) return "the address is too long";
  for (unsigned char c : url) {
    if (c <= ' ' || c == 0x7f) return "the address holds a space or a control character";
  }
  std::string_view rest;
  if (StartsWithNoCase(url, "http://")) {
    rest = url.substr(7);
  } else if (StartsWithNoCase(url, "https://")) {
    rest = url.substr(8);
  } else {
    return "only http:// and https:// addresses can be subscribed to";
  }
  size_t host_end = rest.find_first_of("/?#");
  if (host_end == 0 || rest.empty()) return "the address has no host";
  return "";
}

std::string CheckListBody(std::string_view body, FilterList* parsed) {
  if (SkipLeadingSpace(body).empty()) return "the answer was empty";
  if (body.size() > kMaxListBytes) {
    return "the answer is larger than " + std::to_string(kMaxListBytes >> 20) + " MiB";
  }
  if (body.find('\0') != std::string_view::npos) {
    return "the answer is binary data, not a filter list";
  }
  if (LooksLikeHtml(body)) return "the answer is an HTML page, not a filter list";
  bool header = StartsWithNoCase(SkipLeadingSpace(body), "[adblock plus");
  FilterList list = ParseFilterList(body, std::string());
  if (!header && list.network.empty() && list.hiding.empty()) {
    return "the answer is not a filter list (no [Adblock Plus header and no rules)";
  }
  *parsed = std::move(list);
  return "";
}

std::unique_ptr<platform::NamedMutex> OpenStoreMutex() {
  return platform::NamedMutex::Open(L"FilterLists");
}

SubscriptionStore::SubscriptionStore(std::wstring folder) : folder_(std::move(folder)) {}

std::wstring SubscriptionStore::StorePath() const {
  return folder_ + L"/subscriptions.json";
}
std::wstring SubscriptionStore::GenerationPath() const {
  return folder_ + L"/generation";
}
std::wstring SubscriptionStore::BodyPath(const Subscription& subscription) const {
  return folder_ + L"/" + platform::ToWide(subscription.id) + L".txt";
}

bool SubscriptionStore::Load(std::string* error) {
  subscriptions_.clear();
  removed_defaults_.clear();
  corrupt_ = false;
  std::string text;
  if (platform::PathExists(StorePath())) {
    if (!platform::ReadWholeFile(StorePath(), &text)) {
      corrupt_ = true;
      *error = "cannot read " + platform::ToNarrow(StorePath());
      return false;
    }
    nlohmann::json j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    bool good = j.is_object() && j.value("format", 0) == kStoreFormat &&
                j.contains("lists") && j["lists"].is_array();
    if (good && j.contains("removed_defaults")) {
      good = j["removed_defaults"].is_array();
    }
    if (good) {
      for (const nlohmann::json& item : j["lists"]) {
        Subscription s;
        if (!FromJson(item, &s)) {
          good = false;
          break;
        }
        if (!Find(s.url)) subscriptions_.push_back(std::move(s));
      }
      if (j.contains("removed_defaults")) {
        for (const nlohmann::json& item : j["removed_defaults"]) {
          if (item.is_string()) removed_defaults_.push_back(item.get<std::string>());
        }
      }
    }
    if (!good) {
      subscriptions_.clear();
      removed_defaults_.clear();
      corrupt_ = true;
      *error = platform::ToNarrow(StorePath()) +
               " is damaged (not a list of subscriptions); repair or delete it";
      return false;
    }
  }
  for (const std::string& url : DefaultListUrls()) {
    if (std::find(removed_defaults_.begin(), removed_defaults_.end(), url) ==
        removed_defaults_.end()) {
      Add(url, "");
    }
  }
  return true;
}

bool SubscriptionStore::Save(std::string* error) {
  if (corrupt_) {
    *error = platform::ToNarrow(StorePath()) + " is damaged; it is kept as it is";
    return false;
  }
  platform::CreateFolder(folder_);
  nlohmann::json lists = nlohmann::json::array();
  for (const Subscription& s : subscriptions_) lists.push_back(ToJson(s));
  nlohmann::json j = {{"format", kStoreFormat},
                      {"lists", lists},
                      {"removed_defaults", removed_defaults_}};
  // Titles come from downloads: invalid UTF-8 is replaced, never refused.
  std::string text =
      j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::string why;
  if (!platform::WriteFileAtomically(StorePath(), text, &why)) {
    *error = "cannot write " + platform::ToNarrow(StorePath()) + ": " + why;
    return false;
  }
  return true;
}

Subscription* SubscriptionStore::Find(std::string_view url) {
  for (Subscription& s : subscriptions_) {
    if (s.url == url) return &s;
  }
  return nullptr;
}

bool SubscriptionStore::Add(const std::string& url, const std::string& title) {
  if (Find(url)) return false;
  Subscription s;
  s.url = url;
  s.id = ListId(url);
  s.title = title;
  s.title_from_user = !title.empty();
  subscriptions_.push_back(std::move(s));
  // Subscribing again to a removed default makes it a default again.
  removed_defaults_.erase(
      std::remove(removed_defaults_.begin(), removed_defaults_.end(), url),
      removed_defaults_.end());
  return true;
}

RemoveResult SubscriptionStore::Remove(const std::string& url, std::string* error) {
  auto it = std::find_if(subscriptions_.begin(), subscriptions_.end(),
                         [&](const Subscription& s) { return s.url == url; });
  if (it == subscriptions_.end()) return RemoveResult::kNotSubscribed;
  const std::wstring body = BodyPath(*it);
  bool had_body = platform::PathExists(body);
  if (had_body && !platform::DeleteFileAt(body)) {
    *error = "cannot delete " + platform::ToNarrow(body);
    return RemoveResult::kFailed;
  }
  subscriptions_.erase(it);
  std::vector<std::string> defaults = DefaultListUrls();
  if (std::find(defaults.begin(), defaults.end(), url) != defaults.end() &&
      std::find(removed_defaults_.begin(), removed_defaults_.end(), url) ==
          removed_defaults_.end()) {
    removed_defaults_.push_back(url);
  }
  if (had_body && !BumpGeneration(error)) return RemoveResult::kFailed;
  return RemoveResult::kRemoved;
}

bool SubscriptionStore::Install(const std::string& url, std::string_view body,
                                const FilterList& parsed, int64_t now,
                                std::string* error) {
  Subscription* s = Find(url);
  if (!s) {
    *error = "not subscribed to " + url;
    return false;
  }
  platform::CreateFolder(folder_);
  std::string why;
  if (!platform::WriteFileAtomically(BodyPath(*s), body, &why)) {
    *error = "cannot store the list: " + why;
    RecordFailure(url, *error, now);
    return false;
  }
  if (!BumpGeneration(&why)) {
    // The new body is in place; readers see it at the next generation change.
    *error = "cannot announce the new list: " + why;
    RecordFailure(url, *error, now);
    return false;
  }
  if (!s->title_from_user) s->title = parsed.title;
  s->version = parsed.version;
  s->network_rules = parsed.network.size();
  s->hiding_rules = parsed.hiding.size();
  s->skipped = parsed.SkippedCount();
  s->last_update = now;
  s->last_attempt = now;
  s->next_update = now + static_cast<int64_t>(parsed.expires_hours) * 3600;
  s->last_error.clear();
  return true;
}

void SubscriptionStore::RecordFailure(const std::string& url, const std::string& error,
                                      int64_t now) {
  Subscription* s = Find(url);
  if (!s) return;
  s->last_attempt = now;
  s->last_error = error;
  if (s->downloaded()) s->next_update = now + kRetryAfterFailureSeconds;
}

bool SubscriptionStore::BumpGeneration(std::string* error) {
  platform::CreateFolder(folder_);
  std::string text;
  unsigned long long previous = 0;
  if (platform::ReadWholeFile(GenerationPath(), &text)) {
    previous = strtoull(text.c_str(), nullptr, 10);
  }
  // Past the old number and the clock's milliseconds: a folder deleted and
  // made anew still gets a number its readers have not seen.
  unsigned long long now = static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count());
  unsigned long long next = std::max(previous + 1, now);
  std::string why;
  if (!platform::WriteFileAtomically(GenerationPath(), std::to_string(next) + "\n",
                                     &why)) {
    *error = "cannot write " + platform::ToNarrow(GenerationPath()) + ": " + why;
    return false;
  }
  return true;
}

}  // namespace cvie::lists
