#include "ie/blocked_pages.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <utility>

#include "platform/local_time.h"
#include "platform/text.h"

namespace cvie {

namespace {

const char* const kKindNames[kRecordedKindCount] = {
    "link",       "image",   "background", "flash",        "script",     "frame",
    "stylesheet", "marquee", "div",        "script-block", "secure-site"};

// Fixed cost of a page and of an element beside their strings.
constexpr size_t kPageOverhead = sizeof(RecordedPage);
constexpr size_t kElementOverhead = sizeof(RecordedElement);

size_t ElementBytes(const RecordedElement& e) {
  return kElementOverhead + e.text.size() + e.rule.size() + e.exception.size();
}

// The local calendar day of `when`, as one number.
int64_t LocalDay(int64_t when) {
  time_t t = static_cast<time_t>(when);
  struct tm parts;
  if (!platform::LocalTime(t, &parts)) return when / 86400;
  return (parts.tm_year + 1900) * 10000LL + (parts.tm_mon + 1) * 100 + parts.tm_mday;
}

// Length of the UTF-8 sequence at `p` (of `left` bytes), 0 when not valid.
size_t Utf8Sequence(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  size_t n;
  uint32_t min;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (left < n) return 0;
  uint32_t code = c & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (p[i] & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

void AppendPageJson(const RecordedPage& page, std::string* out) {
  *out += "{\"serial\":" + std::to_string(page.serial);
  *out += ",\"address\":" + JsonString(page.address);
  *out += ",\"time\":" + std::to_string(page.time);
  *out += ",\"checked\":" + std::to_string(page.checked);
  *out += ",\"blocked\":" + std::to_string(page.blocked);
  *out += ",\"elements_cut\":";
  *out += page.elements_cut ? "true" : "false";
  *out += ",\"elements\":[";
  for (size_t i = 0; i < page.elements.size(); ++i) {
    const RecordedElement& e = page.elements[i];
    if (i > 0) *out += ',';
    *out += "{\"kind\":" + JsonString(RecordedKindName(e.kind));
    *out += ",\"text\":" + JsonString(e.text);
    *out += ",\"length\":" + std::to_string(e.length);
    *out += ",\"blocked\":";
    *out += e.blocked ? "true" : "false";
    *out += ",\"rule\":" + JsonString(e.rule);
    *out += ",\"exception\":" + JsonString(e.exception) + "}";
  }
  *out += "]}";
}

}  // namespace

void RecordTunnelBlock(BlockedPages& pages, const std::string& host_port,
                       const std::string& rule, int64_t now) {
  if (!pages.enabled()) return;
  RecordedPage page;
  page.address = "https://" + ShortenText(host_port, kRecordedCharacters) + "/";
  page.time = now;
  page.checked = 1;
  page.blocked = 1;
  RecordedElement element;
  element.kind = kSecureSiteKind;
  element.text = ShortenText(host_port, kRecordedCharacters);
  element.length = host_port.size();
  element.blocked = true;
  element.rule = ShortenText(rule, kRecordedCharacters);
  page.elements.push_back(std::move(element));
  pages.Add(std::move(page));
}

const char* RecordedKindName(int kind) {
  return kind >= 0 && kind < kRecordedKindCount ? kKindNames[kind] : "?";
}

std::string ShortenText(std::string_view text, size_t characters) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++count > characters) {
      return std::string(text.substr(0, i));
    }
  }
  return std::string(text);
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t left = text.size();
  while (left > 0) {
    size_t n = Utf8Sequence(p, left);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++p, --left;
      continue;
    }
    if (n > 1) {
      out.append(reinterpret_cast<const char*>(p), n);
    } else {
      unsigned char c = *p;
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == 0x7F) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
      } else {
        out += static_cast<char>(c);
      }
    }
    p += n, left -= n;
  }
  out += '"';
  return out;
}

size_t RecordedPage::Bytes() const {
  size_t bytes = kPageOverhead + address.size();
  for (const RecordedElement& e : elements) bytes += ElementBytes(e);
  return bytes;
}

BlockedPages::BlockedPages(size_t max_pages, size_t max_bytes)
    : max_pages_(std::max<size_t>(max_pages, 1)), max_bytes_(max_bytes) {}

BlockedPages& BlockedPages::Instance() {
  static BlockedPages* const pages = new BlockedPages();  // never destroyed
  return *pages;
}

void BlockedPages::set_enabled(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  enabled_ = on;
}

bool BlockedPages::enabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_;
}

void BlockedPages::Add(RecordedPage page) {
  // A page alone may take at most the byte bound: its elements beyond it go.
  size_t page_bytes = kPageOverhead + page.address.size();
  for (size_t i = 0; i < page.elements.size(); ++i) {
    size_t element = ElementBytes(page.elements[i]);
    if (page_bytes + element > max_bytes_) {
      page.elements.resize(i);
      page.elements_cut = true;
      break;
    }
    page_bytes += element;
  }
  const int64_t day = LocalDay(page.time);
  std::lock_guard<std::mutex> lock(mutex_);
  if (day != today_) {
    today_ = day;
    counts_.today.fill(0);
    counts_.total_today = 0;
  }
  for (const RecordedElement& e : page.elements) {
    if (!e.blocked || e.kind < 0 || e.kind >= kRecordedKindCount) continue;
    ++counts_.since_start[e.kind];
    ++counts_.today[e.kind];
  }
  // Blocked elements a cut page could not keep still count, as their kind
  // is no longer known only in the totals.
  counts_.total_since_start += page.blocked;
  counts_.total_today += page.blocked;
  ++counts_.pages;
  page.serial = next_serial_++;
  bytes_ += page_bytes;
  pages_.push_back(std::move(page));
  size_t drop = 0;
  while (pages_.size() - drop > max_pages_ ||
         (bytes_ > max_bytes_ && pages_.size() - drop > 1)) {
    bytes_ -= pages_[drop].Bytes();
    ++drop;
  }
  pages_.erase(pages_.begin(), pages_.begin() + static_cast<ptrdiff_t>(drop));
}

std::vector<RecordedPage> BlockedPages::Recent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<RecordedPage>(pages_.rbegin(), pages_.rend());
}

bool BlockedPages::Find(uint64_t serial, RecordedPage* page) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const RecordedPage& p : pages_) {
    if (p.serial == serial) {
      *page = p;
      return true;
    }
  }
  return false;
}

BlockedCounts BlockedPages::Counts(int64_t now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  BlockedCounts counts = counts_;
  if (LocalDay(now) != today_) {
    counts.today.fill(0);
    counts.total_today = 0;
  }
  return counts;
}

size_t BlockedPages::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

std::string BlockedPages::ExportJson() const {
  std::vector<RecordedPage> pages = Recent();
  std::string out = "{\"pages\":[";
  for (size_t i = 0; i < pages.size(); ++i) {
    if (i > 0) out += ',';
    AppendPageJson(pages[i], &out);
  }
  out += "]}\n";
  return out;
}

RecordingChecker::RecordingChecker(AnyHtmlEditorRuleChecker* inner, std::string address,
                                   BlockedPages* sink)
    : inner_(inner), sink_(sink) {
  page_.address = std::move(address);
}

RecordingChecker::~RecordingChecker() { Finish(); }

// The editor asks through CheckElement and CheckScript: their verdict is
// handed over to the record, not copied.
bool RecordingChecker::CheckElement(int kind, const char* text, int encoding) {
  CheckVerdict verdict;
  bool blocked = inner_->ExplainElementCheck(kind, text, encoding, &verdict);
  Note(kind, text, std::move(verdict));
  return blocked;
}

bool RecordingChecker::CheckScript(const char* text, int encoding) {
  CheckVerdict verdict;
  bool blocked = inner_->ExplainScriptCheck(text, encoding, &verdict);
  Note(kScriptBlockKind, text, std::move(verdict));
  return blocked;
}

bool RecordingChecker::ExplainElementCheck(int kind, const char* text, int encoding,
                                           CheckVerdict* verdict) {
  bool blocked = inner_->ExplainElementCheck(kind, text, encoding, verdict);
  Note(kind, text, *verdict);
  return blocked;
}

bool RecordingChecker::ExplainScriptCheck(const char* text, int encoding,
                                          CheckVerdict* verdict) {
  bool blocked = inner_->ExplainScriptCheck(text, encoding, verdict);
  Note(kScriptBlockKind, text, *verdict);
  return blocked;
}

void RecordingChecker::Note(int kind, const char* text, CheckVerdict verdict) {
  ++page_.checked;
  if (verdict.blocked) ++page_.blocked;
  if (!verdict.blocked && verdict.exception.empty()) return;
  if (page_.elements_cut || sink_ == nullptr) return;
  RecordedElement element;
  element.kind = kind;
  // Only the kept characters are copied (a script block may be long).
  const std::string_view whole = text != nullptr ? text : "";
  element.text = ShortenText(whole, kRecordedCharacters);
  element.length = whole.size();
  element.blocked = verdict.blocked;
  element.rule = std::move(verdict.rule);
  element.exception = std::move(verdict.exception);
  // Stop keeping elements once the page alone would fill the record.
  size_t bytes = ElementBytes(element);
  if (page_bytes_ + bytes > sink_->max_bytes()) {
    page_.elements_cut = true;
    return;
  }
  page_bytes_ += bytes;
  page_.elements.push_back(std::move(element));
}

void RecordingChecker::Finish() {
  if (sink_ == nullptr) return;
  page_.time = static_cast<int64_t>(::time(nullptr));
  sink_->Add(std::move(page_));
  sink_ = nullptr;
}

AnyHtmlEditorRuleChecker* RecordPage(AnyHtmlEditorRuleChecker* checker,
                                     const std::wstring& address,
                                     std::unique_ptr<RecordingChecker>* recording) {
  BlockedPages& pages = BlockedPages::Instance();
  if (checker == nullptr || !pages.enabled()) return checker;
  *recording =
      std::make_unique<RecordingChecker>(checker, platform::ToNarrow(address), &pages);
  return recording->get();
}

}  // namespace cvie
