// Filtering one whole HTML page: the editor run shared by every front end.

#include "ie/page_filter.h"

#include <atomic>

#include "anyhtml/html_editor.h"
#include "config/options.h"
#include "ie/blocked_pages.h"
#include "ie/host_process.h"
#include "lists/list_set.h"
#include "lists/page_checker.h"
#include "log/logger.h"
#include "platform/text.h"
#include "platform/url.h"
#include "rules/current_rules.h"
#include "rules/rule_loading.h"
#include "rules/rules_holder.h"
#include "whitelist/whitelist.h"

namespace cvie {
namespace {

// Rules and checker put in place of the defaults (null: the defaults).
std::atomic<RulesHolder*> g_rules_override{nullptr};
std::atomic<AnyHtmlEditorRuleChecker*> g_checker_override{nullptr};

}  // namespace

HRESULT EditHtmlPage(const std::string& page_url, const char* page, size_t size,
                     CEasyBuffer* out, RulesHolder* rules) {
  if (!rules) rules = g_rules_override.load(std::memory_order_acquire);
  // The rules in force when the page starts serve it to its end, also when a
  // newer rule file is loaded meanwhile.
  std::shared_ptr<RulesHolder> current;
  if (!rules) {
    current = CurrentRules::Process().Get();
    rules = current.get();
  }
  if (!rules) rules = ProcessRules();
  if (!rules || !rules->loaded() || !page || !out) return E_FAIL;
  AnyHtmlEditorRuleChecker* checker = g_checker_override.load(std::memory_order_acquire);
  if (!checker) checker = rules;
  const EditorOptions options = CVCfg::Instance().GetEditorOptions();
  // The lists in use when the page starts serve it to its end.
  const std::shared_ptr<const lists::ListSet> list_set =
      lists::CurrentListSet::Process().Get();
  lists::PageChecker page_checker(checker, list_set.get(), page_url);
  if (list_set) checker = &page_checker;
  std::unique_ptr<RecordingChecker> recording;  // notes what the page blocked
  checker = RecordPage(checker, platform::ToWide(page_url), &recording);
  AnyHtmlEditor editor(out, &options, checker);
  if (list_set) editor.SetPageStyle(&page_checker);
  int edited = editor.Edit(page, size, 0);
  if (edited == 0) return S_OK;
  if (edited == ANYHTML_WRITE_FAILED) {
    Logger::Instance().Log(LOG_NOTICE, L"output buffer refused the edited page (%x)\n",
                           static_cast<unsigned>(editor.write_result()));
    return E_OUTOFMEMORY;
  }
  return E_FAIL;
}

bool PageIsFiltered(const std::wstring& url) {
  if (!IsBrowserProcess() || CVCfg::Instance().GetEnableCorvane() == 0) return false;
  if (Whitelist::Instance().Contains(url, false)) return false;
  switch (platform::UrlScheme(url)) {
    case platform::INTERNET_SCHEME_HTTP:
    case platform::INTERNET_SCHEME_HTTPS:
      return true;
    case platform::INTERNET_SCHEME_FILE:
      return CVCfg::Instance().GetBlockAdsOnLocalPage() != 0;
    default:
      return false;
  }
}

PageFilterResult FilterHtmlPage(const std::wstring& url, const char* page, size_t size,
                                CEasyBuffer* out, RulesHolder* rules) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(page);
  const bool utf16 = size > 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
  if (utf16 || !PageIsFiltered(url)) {
    out->Reset();
    return PageFilterResult::kExempt;
  }
  if (FAILED(EditHtmlPage(platform::ToNarrow(url), page, size, out, rules))) {
    out->Reset();
    return PageFilterResult::kFailed;
  }
  return PageFilterResult::kFiltered;
}

void SetHtmlFilterRules(RulesHolder* rules) {
  g_rules_override.store(rules, std::memory_order_release);
}

void SetHtmlFilterChecker(AnyHtmlEditorRuleChecker* checker) {
  g_checker_override.store(checker, std::memory_order_release);
}

}  // namespace cvie
