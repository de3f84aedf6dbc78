#include "lists/page_checker.h"

#include <utility>

#include "lists/list_set.h"
#include "lists/site.h"

namespace cvie::lists {

PageChecker::PageChecker(AnyHtmlEditorRuleChecker* product, const ListSet* lists,
                         std::string page_url)
    : product_(product), lists_(lists), page_url_(std::move(page_url)) {
  page_host_ = HostOf(page_url_);
  if (lists_ != nullptr) page_exceptions_ = lists_->engine->PageExceptionsOf(page_url_);
}

Decision PageChecker::ListDecision(int kind, const char* text) const {
  if (lists_ == nullptr || text == nullptr || page_exceptions_.document) return {};
  const uint32_t type = RequestTypeOfKind(kind);
  if (type == 0) return {};
  const std::string url = ResolveAgainst(page_url_, text);
  return lists_->engine->Decide(Request{type, url, page_url_});
}

bool PageChecker::CheckElement(int kind, const char* text, int encoding) {
  if (product_ != nullptr && product_->CheckElement(kind, text, encoding)) return true;
  return ListDecision(kind, text).blocked;
}

bool PageChecker::CheckScript(const char* text, int encoding) {
  return product_ != nullptr && product_->CheckScript(text, encoding);
}

bool PageChecker::ExplainElementCheck(int kind, const char* text, int encoding,
                                      CheckVerdict* verdict) {
  *verdict = CheckVerdict();
  if (product_ != nullptr && product_->ExplainElementCheck(kind, text, encoding, verdict))
    return true;
  const Decision decision = ListDecision(kind, text);
  verdict->blocked = decision.blocked;
  if (decision.blocked) {
    verdict->rule = lists_->engine->Describe(decision.blocking);
  } else if (decision.exception.valid()) {
    verdict->exception = lists_->engine->Describe(decision.exception);
  }
  return verdict->blocked;
}

bool PageChecker::ExplainScriptCheck(const char* text, int encoding,
                                     CheckVerdict* verdict) {
  *verdict = CheckVerdict();
  if (product_ == nullptr) return false;
  return product_->ExplainScriptCheck(text, encoding, verdict);
}

void PageChecker::NoteClassAttribute(std::string_view value) {
  keys_.AddClassAttribute(value);
}

void PageChecker::NoteId(std::string_view value) { keys_.AddId(value); }

void PageChecker::NoteAttribute(std::string_view name, std::string_view value) {
  keys_.AddAttribute(std::string(name), value);
}

std::string PageChecker::HidingSelectors() const {
  if (lists_ == nullptr || page_exceptions_.document || page_exceptions_.elemhide)
    return {};
  return lists_->hiding->SelectorsFor(page_host_, !page_exceptions_.generichide, keys_);
}

std::string PageChecker::StyleElement() {
  const std::string selectors = HidingSelectors();
  if (selectors.empty()) return {};
  return "<style>" + selectors + kHidingDeclaration + "</style>";
}

}  // namespace cvie::lists
