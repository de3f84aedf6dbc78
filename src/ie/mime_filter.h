// ie/mime_filter.h
//
// CHTMLMimeFilterPP: the point where pages enter the filter. Registered in the
// process's URL-moniker session as the MIME filter for "text/html", one object
// is made for every HTML download and placed between the source protocol that
// fetches the page and the reader (the browser side): towards the reader it is
// a protocol, towards the source a protocol sink.
//
// The object does not stream. On the reader's first Read it pulls the whole
// page from the source into a memory buffer (answering E_PENDING while the
// source has no more yet), then runs the page editor once over it with the
// current editor options and the process-wide rules, and serves the reader's
// reads from the rewritten page. The page is served exactly as downloaded
// when the editor fails, when no rules are loaded, or when it is UTF-16 (it
// starts with FF FE and has more than two bytes). A bypassed object (filtering
// off: not the browser process or "Enable Corvane" 0; the address on the
// whitelist; a scheme other than http and https, or file while
// "BlockAdsOnLocalPage" is 0) passes every Read straight to the source.
//
// A page limit (what the bind info handed to Start answers through
// IPageBindOptions, platform/page_bind_options.h; none when it answers
// nothing) bounds the memory one page can take: once more than the limit has
// been collected while the source still has more, the object stops collecting, serves
// what it collected unchanged and then passes every Read straight to the source.
//
// The page address is the one the namespace handler recorded for the calling
// thread (GetThreadUrl, ie/ns_handler.h). While filter lists are loaded
// (lists::CurrentListSet), the editor asks a per-page checker that adds the
// lists' decisions for that address to the rules' own, and adds the lists'
// hiding style sheet to the page; without lists the rules are asked as they
// are.
//
// Threads: one object is used on the one thread that owns its download. The
// instance counter and the registration state are shared by all threads and
// are atomic or guarded by a lock. Every log line of an object starts with its
// instance number.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/rule_checker.h"
#include "ie/page_filter.h"
#include "platform/com_registry.h"
#include "platform/urlmon.h"

namespace cvie {

class RulesHolder;

// The dual interface of CHTMLMimeFilterPP; it has no members of its own.
class IHTMLMimeFilterPP : public IDispatch {};

// The filter's states.
enum HMFS : int32_t {
  HMFS_IDLE = 0,     // constructed, not started
  HMFS_STARTED = 1,  // Start accepted (or refused), nothing read yet
  HMFS_READING = 2,  // some data has been read from the source
  HMFS_PARSING = 3,  // the source reported the end; the page is in the input buffer
  HMFS_READY = 4,    // the output buffer holds the page to serve
  HMFS_DONE = 5,     // the reader has read everything
  HMFS_ABORTED = 6,  // Abort was called
};

class CHTMLMimeFilterPP : public ComObject<IHTMLMimeFilterPP, IInternetProtocol,
                                           IInternetProtocolSink, IInMemoryData> {
 public:
  // Takes the next instance number and decides `enabled`: the host is the
  // browser and "Enable Corvane" is not 0. Logs "Create new CHTMLMimeFilterPP".
  CHTMLMimeFilterPP();

  // IDispatch: no members and no type information on this platform.
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID iid, LPWSTR* names, UINT count, LCID locale,
                        DISPID* ids) override;
  HRESULT Invoke(DISPID id, REFIID iid, LCID locale, uint16_t flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argument_error) override;

  // IInternetProtocolRoot. Start (`url` is the MIME type here) takes the
  // page address and the page limit of the calling thread, decides whether
  // the page is exempt,
  // makes a new input buffer and keeps the source protocol of `reserved` (a
  // PROTOCOLFILTERDATA) and the sink. S_OK; E_INVALIDARG without
  // PI_FILTER_MODE or without a source protocol (the object is then started
  // without a source). The others are passed on to the source (E_FAIL when
  // there is none); Abort also stops the object for good.
  HRESULT Start(LPCWSTR url, IInternetProtocolSink* sink, IInternetBindInfo* bind_info,
                DWORD flags, HANDLE_PTR reserved) override;
  HRESULT Continue(PROTOCOLDATA* data) override;
  HRESULT Abort(HRESULT reason, DWORD options) override;
  HRESULT Terminate(DWORD options) override;
  HRESULT Suspend() override;
  HRESULT Resume() override;

  // IInternetProtocol. Read: S_OK with bytes of the rewritten page, E_PENDING
  // while the page is still being collected, S_FALSE at the end (and after
  // Abort), a source failure as it came, E_FAIL before Start or without a
  // source. Seek is not supported; the locks are answered S_OK and not passed
  // on.
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override;
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_position) override;
  HRESULT LockRequest(DWORD options) override;
  HRESULT UnlockRequest() override;

  // IInMemoryData: the rewritten page without a copy. PeekData collects and
  // edits as Read does, then points at the unread rest of the rewritten page
  // (S_OK), or answers S_FALSE at its end; E_NOTIMPL for a bypassed object
  // and for a page passed on past the page limit (Read serves those).
  // SkipData marks peeked bytes read.
  HRESULT PeekData(const char** data, ULONG* size) override;
  HRESULT SkipData(ULONG count) override;

  // IInternetProtocolSink: the source's notifications, logged and passed on
  // unchanged to the sink given to Start (E_FAIL without one). Data
  // notifications are no longer passed on after Abort (E_FAIL). A data
  // notification with the page's length, before any byte, reserves that much
  // input buffer (capped by the page limit, else at 64 MiB).
  HRESULT Switch(PROTOCOLDATA* data) override;
  HRESULT ReportProgress(ULONG status, LPCWSTR text) override;
  HRESULT ReportData(DWORD flags, ULONG progress, ULONG maximum) override;
  HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR text) override;

  // Collects the page: the source reads straight into the input buffer's
  // free space, at least 8192 bytes and at most as much as was collected
  // (a source claiming more than it was asked for is held to that), while it
  // answers S_OK. At the source's S_FALSE the page is complete (followed by
  // two zero bytes that do not count) and the state becomes HMFS_PARSING:
  // S_OK. Any other source answer is returned as it is, and a later call
  // goes on where this one stopped. Past the page limit, with more to come,
  // the collected bytes become the output as they are, the state becomes
  // HMFS_READY and passed_on() true: S_OK. E_FAIL outside HMFS_STARTED and
  // HMFS_READING.
  virtual HRESULT ReadAllData();
  // Makes the output buffer from the complete page: the rewritten page, or
  // the page as downloaded when it is UTF-16, bypassed, or the editor
  // failed. State HMFS_READY: S_OK. When the output buffer cannot hold the
  // page, its failure code, and the state stays HMFS_PARSING. E_FAIL outside
  // HMFS_PARSING (S_OK at once in HMFS_READY).
  virtual HRESULT ParseData();
  // Serves the reader from the output buffer: E_PENDING before HMFS_READY,
  // S_FALSE once done (the state becomes HMFS_DONE when the buffer is
  // drained), else S_OK with up to `count` bytes.
  virtual HRESULT ReadParsedData(void* buffer, ULONG count, ULONG* read);
  // Runs the page editor over the input into the output buffer. S_OK when the
  // editor ran to the end; E_OUTOFMEMORY when the output buffer refused bytes
  // (the edited page would have a hole: ParseData and Read then fail the page
  // instead of serving it); E_FAIL when no loaded rules are there, the object
  // is bypassed, or the editor stopped early.
  virtual HRESULT FilterPage();

  // Filtering is off for this page: not enabled, whitelisted, or a scheme
  // that is not filtered.
  bool IsBypassed() const { return !enabled_ || whitelisted_ || !page_filterable_; }

  int32_t instance_number() const { return instance_number_; }
  int32_t state() const { return state_; }
  bool enabled() const { return enabled_; }
  bool whitelisted() const { return whitelisted_; }
  bool page_filterable() const { return page_filterable_; }
  bool is_utf16() const { return is_utf16_; }
  bool aborted() const { return aborted_; }
  bool has_source() const { return static_cast<bool>(source_protocol_); }
  // True once the page outgrew the page limit and is passed on unedited.
  bool passed_on() const { return passed_on_; }

 protected:
  ~CHTMLMimeFilterPP() override;  // logs "Destroied one CHTMLMimeFilterPP"
  void* FindInterface(REFIID iid) override;

 private:
  // Reads of a page passed on past the page limit: the collected bytes,
  // then the source.
  HRESULT ReadPassedOn(void* buffer, ULONG count, ULONG* read);

  const int32_t instance_number_;
  int32_t state_ = HMFS_IDLE;
  bool is_utf16_ = false;
  bool page_filterable_ = false;
  ComPtr<IInternetProtocolSink> browser_sink_;
  ComPtr<IInternetProtocol> source_protocol_;
  bool aborted_ = false;
  const bool enabled_;
  bool whitelisted_ = false;
  uint64_t page_limit_ = 0;  // 0: no limit
  std::string page_url_;     // the page address from the namespace handler
  bool passed_on_ = false;
  std::unique_ptr<CEasyBuffer> input_buffer_;
  std::unique_ptr<CEasyBuffer> output_buffer_;
};

// Registers the filter for "text/html" in the process's session on the first
// call (count 0 or less); later calls only count and return S_OK. The first
// call returns the result of the registration, or of the step that failed
// (class object, session); the count becomes 1 when the class object and the
// session were had.
HRESULT RegisterHtmlFilter();

// Undoes one RegisterHtmlFilter: while the count is above 1 only counts down
// (S_OK); the last one unregisters the filter, releases the cached class
// object and sets the count to 0, returning the result of the unregistration
// or of the step that failed.
HRESULT UnregisterHtmlFilter();

// RegisterHtmlFilter calls not yet undone.
int HtmlFilterRegistrationCount();

// SetHtmlFilterRules and SetHtmlFilterChecker (ie/page_filter.h) choose the
// rules and checker the filter's editor uses.

}  // namespace cvie
