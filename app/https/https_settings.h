// app/https/https_settings.h
//
// The user's HTTPS filtering choices: whether the proxy opens secure
// connections to filter them (REG_DWORD "InspectHttps" under the options key,
// 0 when absent; kept apart from the filter options record), and the hosts it
// must never open: the per-user "https-passthrough.txt".
//
// Passthrough file format: one host a line; blank lines and lines starting
// with '#' are ignored, as is a '#' comment after a host. Hosts compare
// without regard to case, a trailing dot is ignored, and an entry matches that
// exact host only, except "*.example.com", which matches example.com and
// every name under it. For convenience a pasted address is reduced to its
// host ("https://www.bank.example:443/login" → www.bank.example; an IPv6
// address may be written with or without brackets). A line that is still no
// plausible host (spaces inside, say) is skipped.
//
// Thread safety: the free functions may be called from any thread (the
// registry layer is safe). An HttpsPassthroughList is immutable once loaded:
// any number of threads may call Contains at once; reloading makes a new
// object (LoadIfChanged), so readers holding the old one are never disturbed.

#pragma once

#include <stdint.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unordered_set>

namespace cvie::https {

// True when the user has switched HTTPS filtering on.
bool InspectHttpsEnabled();
// Stores the switch; false with `error` set when the registry refuses.
bool SetInspectHttps(bool on, std::string* error);

// The per-user "https-passthrough.txt".
std::wstring HttpsPassthroughPath();
// Creates the passthrough file with its explaining comment when it is missing
// (an existing file is never touched). False with `error` set on failure.
bool EnsurePassthroughFile(std::string* error);

class HttpsPassthroughList {
 public:
  HttpsPassthroughList() = default;

  // Reads `path`. A missing file gives an empty list and true; false when the
  // file exists but cannot be read (the list is then empty).
  bool Load(const std::filesystem::path& path);
  // Parses file text (what Load does after reading).
  void Parse(const std::string& text);

  // True when `host` (a DNS name or an IP literal, brackets and a trailing dot
  // allowed) is listed.
  bool Contains(const std::string& host) const;
  size_t size() const { return exact_.size() + domains_.size(); }

  // `previous` when the file at `path` still has the modification time and
  // size it had when `previous` was loaded; otherwise a freshly loaded list.
  // A null `previous` always loads.
  static std::shared_ptr<const HttpsPassthroughList> LoadIfChanged(
      const std::filesystem::path& path,
      std::shared_ptr<const HttpsPassthroughList> previous);

 private:
  std::unordered_set<std::string> exact_;    // "www.bank.example"
  std::unordered_set<std::string> domains_;  // "*.example.com" stored as "example.com"
  // What the file looked like when loaded (exists_ false: no file).
  bool exists_ = false;
  std::filesystem::file_time_type mtime_{};
  uintmax_t file_size_ = 0;
};

// The host of a passthrough line or of a host asked about: lower case, no
// scheme, path, port, brackets or trailing dot. Empty when nothing plausible
// is left. Exposed for tests.
std::string NormalizePassthroughHost(const std::string& text);

}  // namespace cvie::https
