// ie/page_filter.h
//
// Filtering one whole HTML page, the step every front end shares: the HTML
// MIME filter (ie/mime_filter.h) of the proxy's road and the Squid adapter
// (ecap/). EditHtmlPage runs the page editor over a page with the current
// editor options and the rules in force; FilterHtmlPage first decides, from
// the page address, whether the page is filtered at all.
//
// Threads: both functions may run on many threads at once; the rule holder
// and checker they read are shared read-only.

#pragma once

#include <stddef.h>

#include <string>

#include "anyhtml/easy_buffer.h"
#include "anyhtml/rule_checker.h"
#include "platform/com.h"

namespace cvie {

class RulesHolder;

// Runs the page editor over `page` at address `page_url` (UTF-8; the filter
// lists judge third-party requests and site rules by it) (`size` bytes, followed by two
// zero bytes that do not count: the parser relies on them), writing the edited page to
// `out`. The rules are `rules` when not null, else the holder named by
// SetHtmlFilterRules, else the rules in force (see SetHtmlFilterRules); the editor asks
// the checker named by SetHtmlFilterChecker instead of the holder when one is set. S_OK
// when the editor ran to the end; E_OUTOFMEMORY when `out` refused bytes (the
// edited page has a hole and must not be served); E_FAIL when the rules are
// not loaded or the editor stopped early. With subscribed lists loaded
// (lists/list_set.h), their decisions join the rules' and their hiding style
// sheet is added to the page.
HRESULT EditHtmlPage(const std::string& page_url, const char* page, size_t size,
                     CEasyBuffer* out, RulesHolder* rules = nullptr);

// Whether a page at `url` is filtered: filtering is on (the host is the
// browser and "Enable Corvane" is not 0), the address is not on the
// whitelist, and its scheme is http or https (file only with
// "BlockAdsOnLocalPage").
bool PageIsFiltered(const std::wstring& url);

enum class PageFilterResult {
  kFiltered,  // `out` holds the edited page
  kExempt,    // not filtered (PageIsFiltered false, or a UTF-16 page): send it as it is
  kFailed,    // the editor could not edit it (see EditHtmlPage): send it as it is
};

// The per-page entry of a front end: the page at `url` with body `page`
// (followed by two zero bytes, as for EditHtmlPage). On kFiltered `out` holds
// the edited page; otherwise `out` is emptied and the page goes out as it came.
PageFilterResult FilterHtmlPage(const std::wstring& url, const char* page, size_t size,
                                CEasyBuffer* out, RulesHolder* rules = nullptr);

// Where the editor takes its rules from: by default the holder in force
// (CurrentRules::Process(), rules/current_rules.h: a rule file reloaded while
// the process runs), else the process-wide holder loaded at start
// (ProcessRules(), rules/rule_loading.h), used only once it is loaded.
// A tool or test may name another holder (null: back to the default). Safe
// from any thread; the holder must outlive every filter that may use it.
void SetHtmlFilterRules(RulesHolder* rules);

// A checker that the editor asks instead of the holder itself, for instance
// a wrapper that reports every decision it passes on to the holder (null:
// ask the holder). Pages are still filtered only while loaded rules are
// there. Safe from any thread; the checker must outlive every filter that
// may use it.
void SetHtmlFilterChecker(AnyHtmlEditorRuleChecker* checker);

}  // namespace cvie
