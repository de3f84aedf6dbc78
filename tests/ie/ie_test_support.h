// tests/ie/ie_test_support.h
//
// What the browser-integration tests share: a source protocol and a browser
// sink that the test drives and inspects, the options and whitelist set to a
// known state, the test rule list and an ad page, the log file's text, and a
// fixture that puts the process in the browser's role.

#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "anyhtml/editor_options.h"
#include "anyhtml/editor_writer.h"
#include "ie/mime_filter.h"
#include "platform/com_registry.h"
#include "platform/page_bind_options.h"
#include "platform/urlmon.h"
#include "rules/rules_holder.h"

namespace cvie::testing {

// The rules every test here filters with: anything from "adserver.example"
// and anything under an "/ads/" folder.
extern const char kTestRuleText[];

// A page with a script, a banner link and a banner image the test rules
// block, between ordinary text.
extern const char kAdPage[];
// A script address of kAdPage that the filter drops.
extern const char kAdScriptUrl[];

// A holder loaded with kTestRuleText (built once, never destroyed).
RulesHolder* TestRules();

// What the page editor makes of `page` with the stored options and `rules`:
// the expected output of a filtered page.
std::string EditedWithStoredOptions(const std::string& page, RulesHolder* rules);

// Stores option `index` (config/options.h) in the registry.
void SetOption(int index, int value);
// Every option back to its default.
void ResetOptions();
// The process's whitelist emptied (file and memory), then `entries` added and
// saved.
void ResetWhitelist(const std::vector<std::wstring>& entries = {});

// The text of the process's log file ("" when there is none).
std::string LogText();
// How many lines of the log contain `fragment`.
int CountLogLines(const std::string& fragment);

// A source protocol fed by the test. Read hands out what was fed and not yet
// read, up to the count asked; E_PENDING when nothing is left but more may
// come; S_FALSE once Finish was called and all was read. FailNext makes the
// next Read answer a failure with no bytes. Calls are counted.
class FakeSource : public ComObject<IInternetProtocol> {
 public:
  FakeSource() : ComObject(false) {}

  void Feed(const std::string& bytes) { data_ += bytes; }
  void Finish() { finished_ = true; }
  void FailNext(HRESULT hr) { fail_next_ = hr; }
  // Read claims this many bytes more than it copied (a broken source).
  void OverclaimBy(ULONG extra) { overclaim_ = extra; }

  HRESULT Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                HANDLE_PTR) override {
    return S_OK;
  }
  HRESULT Continue(PROTOCOLDATA*) override { return Count("continue"); }
  HRESULT Abort(HRESULT, DWORD) override { return Count("abort"); }
  HRESULT Terminate(DWORD) override { return Count("terminate"); }
  HRESULT Suspend() override { return Count("suspend"); }
  HRESULT Resume() override { return Count("resume"); }
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override;
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return Count("seek"); }
  HRESULT LockRequest(DWORD) override { return Count("lock"); }
  HRESULT UnlockRequest() override { return Count("unlock"); }

  int reads = 0;
  std::vector<std::string> calls;  // every call but Read, in order
  HRESULT answer = S_OK;           // what the counted calls answer

 protected:
  void* FindInterface(REFIID iid) override;

 private:
  HRESULT Count(const char* name) {
    calls.push_back(name);
    return answer;
  }

  std::string data_;
  size_t position_ = 0;
  bool finished_ = false;
  HRESULT fail_next_ = S_OK;
  ULONG overclaim_ = 0;
};

// The browser's side of a filter: records every notification as a line
// ("switch", "progress 13 text/html", "data 1 10 100", "result 0 0 done").
class RecordingSink : public ComObject<IInternetProtocolSink> {
 public:
  RecordingSink() : ComObject(false) {}
  HRESULT Switch(PROTOCOLDATA*) override;
  HRESULT ReportProgress(ULONG status, LPCWSTR text) override;
  HRESULT ReportData(DWORD flags, ULONG progress, ULONG maximum) override;
  HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR text) override;

  std::vector<std::string> notes;

 protected:
  void* FindInterface(REFIID iid) override;
};

// A bind info that tells a page limit, as the binding engine's does.
class LimitingBindInfo : public ComObject<IInternetBindInfo, IPageBindOptions> {
 public:
  explicit LimitingBindInfo(uint64_t page_limit)
      : ComObject(false), page_limit_(page_limit) {}
  HRESULT GetBindInfo(DWORD* bind_flags, BINDINFO* info) override;
  HRESULT GetBindString(ULONG, LPWSTR*, ULONG, ULONG* fetched) override;
  HRESULT GetPageLimit(uint64_t* bytes) override;

 protected:
  void* FindInterface(REFIID iid) override;

 private:
  uint64_t page_limit_;
};

// A new filter object with one reference.
ComPtr<CHTMLMimeFilterPP> NewFilter();

// Starts `filter` in filter mode on `source`, reporting to `sink`, with
// `bind_info` (may be null) as the binding's.
HRESULT StartFilter(CHTMLMimeFilterPP* filter, IInternetProtocol* source,
                    IInternetProtocolSink* sink, DWORD flags = PI_FILTER_MODE,
                    IInternetBindInfo* bind_info = nullptr);

// Reads `filter` with pieces of `count` bytes until it answers anything but
// S_OK. Returns what was read; *last gets the last answer.
std::string ReadFilter(CHTMLMimeFilterPP* filter, ULONG count, HRESULT* last);

// Puts the process in the browser's role with default options, an empty
// whitelist, the test rules in the filter's place, and log folders made;
// restores the filter's rules and checker afterwards.
class BrowserProcessTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Declares the host's role and lets the host test ask again.
  static void DeclareBrowser(bool is_browser);
};

}  // namespace cvie::testing
