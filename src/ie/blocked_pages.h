// ie/blocked_pages.h
//
// What filtering blocked on the most recent pages, kept in memory for the
// control panel: per page its address, time, the number of elements checked
// and blocked, and every blocked element (and every allowed one an exception
// let through) with the rule that decided. Never written to disk; the panel
// exports it as JSON on request. Bounded in pages and bytes: the oldest page
// goes first. Also counts blocked elements per kind, since start and today.
//
// A page is recorded by wrapping its rule checker in a RecordingChecker for
// the time of the edit. BlockedPages is shared by every thread that filters a
// page: all its operations are safe from any thread at once.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "anyhtml/rule_checker.h"

namespace cvie {

// Element kinds as the record names them: the editor's kinds, then the whole
// script block, then a secure site refused at CONNECT.
constexpr int kRecordedKindCount = 11;
constexpr int kScriptBlockKind = 9;
constexpr int kSecureSiteKind = 10;
// "link", "image", ..., "div", "script-block", "secure-site"; "?" outside
// 0..10.
const char* RecordedKindName(int kind);

// How much of an element's text is kept.
constexpr size_t kRecordedCharacters = 200;

// The first `characters` characters of `text` (UTF-8 sequences kept whole).
std::string ShortenText(std::string_view text, size_t characters);

struct RecordedElement {
  int kind = 0;           // 0..9 (kScriptBlockKind: a whole script)
  std::string text;       // address or text, at most kRecordedCharacters characters
  size_t length = 0;      // bytes of the whole text
  bool blocked = false;   // false: allowed because of `exception`
  std::string rule;       // the deciding rule, "source:line: text"; may be empty
  std::string exception;  // the exception that allowed it; may be empty
};

struct RecordedPage {
  uint64_t serial = 0;  // 1 for the first page recorded, then counting up
  std::string address;
  int64_t time = 0;    // seconds since 1970 (UTC) when filtering ended
  size_t checked = 0;  // elements and script blocks the rules were asked about
  size_t blocked = 0;
  std::vector<RecordedElement> elements;  // in page order
  bool elements_cut = false;              // more were blocked than the page may keep

  // About the bytes the page holds in memory.
  size_t Bytes() const;
};

struct BlockedCounts {
  std::array<uint64_t, kRecordedKindCount> since_start{};
  std::array<uint64_t, kRecordedKindCount> today{};
  uint64_t total_since_start = 0;
  uint64_t total_today = 0;
  uint64_t pages = 0;  // pages recorded since start
};

class BlockedPages {
 public:
  // Keeps at most `max_pages` pages and about `max_bytes` bytes of them.
  explicit BlockedPages(size_t max_pages = 50, size_t max_bytes = 2u << 20);
  BlockedPages(const BlockedPages&) = delete;
  BlockedPages& operator=(const BlockedPages&) = delete;

  // The record of this process (the proxy's).
  static BlockedPages& Instance();

  // When off, pages are not recorded (RecordingChecker then passes through).
  void set_enabled(bool on);
  bool enabled() const;

  // Adds a page (its serial is set here), then drops the oldest pages until
  // the bounds hold; a page alone over the byte bound loses its elements
  // beyond it (elements_cut). Counts its blocked elements by kind; "today"
  // is the local calendar day of `page.time`.
  void Add(RecordedPage page);

  // The pages kept, newest first.
  std::vector<RecordedPage> Recent() const;
  // The page with that serial; false when it is no longer kept.
  bool Find(uint64_t serial, RecordedPage* page) const;
  // The counts, "today" being the local day of `now` (seconds since 1970).
  BlockedCounts Counts(int64_t now) const;
  // The pages kept, newest first, as one JSON document (valid UTF-8: bytes
  // that are not are replaced by U+FFFD).
  std::string ExportJson() const;

  size_t max_pages() const { return max_pages_; }
  size_t max_bytes() const { return max_bytes_; }
  // Bytes the kept pages take (Bytes() summed).
  size_t bytes() const;

 private:
  const size_t max_pages_;
  const size_t max_bytes_;
  mutable std::mutex mutex_;
  bool enabled_ = true;              // guarded by mutex_
  std::vector<RecordedPage> pages_;  // oldest first; guarded by mutex_
  size_t bytes_ = 0;                 // Bytes() of pages_; guarded by mutex_
  uint64_t next_serial_ = 1;         // guarded by mutex_
  BlockedCounts counts_;             // guarded by mutex_
  int64_t today_ = -1;               // local day counts_.today is for
};

// Records a refused CONNECT to `host_port` in `pages` as a page of its own
// ("https://host_port/"), its one element of kSecureSiteKind blocked by
// `rule` ("list:line: rule"), so that the panel lists it with the pages.
void RecordTunnelBlock(BlockedPages& pages, const std::string& host_port,
                       const std::string& rule, int64_t now);

// A JSON string literal of `text`: quotes, backslashes and control characters
// escaped, "<", ">" and "&" as \u escapes (safe inside HTML), bytes that are
// not UTF-8 replaced by U+FFFD.
std::string JsonString(const std::string& text);

// Wraps the checker of one page: answers as `inner` does (through its Explain
// methods) and notes each blocked element, and each one an exception allowed,
// into a page record that goes to `sink` when Finish is called or the
// checker is destroyed. One page, one thread.
class RecordingChecker : public AnyHtmlEditorRuleChecker {
 public:
  RecordingChecker(AnyHtmlEditorRuleChecker* inner, std::string address,
                   BlockedPages* sink);
  ~RecordingChecker() override;
  RecordingChecker(const RecordingChecker&) = delete;
  RecordingChecker& operator=(const RecordingChecker&) = delete;

  bool CheckElement(int kind, const char* text, int encoding) override;
  bool CheckScript(const char* text, int encoding) override;
  bool ExplainElementCheck(int kind, const char* text, int encoding,
                           CheckVerdict* verdict) override;
  bool ExplainScriptCheck(const char* text, int encoding, CheckVerdict* verdict) override;

  // Hands the page to the sink (once; later calls do nothing).
  void Finish();

 private:
  void Note(int kind, const char* text, CheckVerdict verdict);

  AnyHtmlEditorRuleChecker* inner_;
  BlockedPages* sink_;  // null once finished
  RecordedPage page_;
  size_t page_bytes_ = 0;
};

// The checker FilterPage hands the editor: `checker` itself when recording
// is off, else `recording` built over it for the page at `address`.
AnyHtmlEditorRuleChecker* RecordPage(AnyHtmlEditorRuleChecker* checker,
                                     const std::wstring& address,
                                     std::unique_ptr<RecordingChecker>* recording);

}  // namespace cvie
