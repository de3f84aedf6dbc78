// lists/page_checker.h
//
// The rule checker of one page: the product's own rules (any checker, the
// process's RulesHolder normally) and the current filter lists, with the
// page's address, which lists need for third-party and domain= options.
//
// An element is blocked when the product's rules block it (exactly as they
// decide without lists), or when a list rule blocks its address and no list
// exception applies (an "important" rule wins over exceptions; a "document"
// exception on the page lets everything through). The address lists judge is
// the element's text resolved against the page address (a relative "/ad.js"
// becomes "https://host/ad.js"). Element kinds map to request types with
// RequestTypeOfKind; kinds without one (marquee, division) and whole script
// blocks are decided by the product's rules alone.
//
// It is also the page's style source: it collects the classes, ids, hrefs and srcs the
// editor shows it and makes the hiding style element from the list set's
// hiding rules for the page's host, honouring elemhide, generichide and
// document exceptions.
//
// One object serves one page on one thread; the product checker and the list
// set must outlive it.

#pragma once

#include <string>
#include <string_view>

#include "anyhtml/page_style.h"
#include "anyhtml/rule_checker.h"
#include "lists/hiding.h"
#include "lists/list_engine.h"

namespace cvie::lists {

struct ListSet;

// The rule that hides with a sheet's selectors.
inline constexpr char kHidingDeclaration[] = "{display:none!important}";

class PageChecker : public AnyHtmlEditorRuleChecker, public AnyHtmlEditorPageStyle {
 public:
  // `product` may be null (no own rules), `lists` may be null (no lists).
  PageChecker(AnyHtmlEditorRuleChecker* product, const ListSet* lists,
              std::string page_url);

  bool CheckElement(int kind, const char* text, int encoding) override;
  bool CheckScript(const char* text, int encoding) override;
  bool ExplainElementCheck(int kind, const char* text, int encoding,
                           CheckVerdict* verdict) override;
  bool ExplainScriptCheck(const char* text, int encoding, CheckVerdict* verdict) override;

  void NoteClassAttribute(std::string_view value) override;
  void NoteId(std::string_view value) override;
  void NoteAttribute(std::string_view name, std::string_view value) override;
  // "<style>sel1,sel2{display:none!important}</style>", or empty.
  std::string StyleElement() override;
  // The selectors of the sheet, joined with "," (empty when none).
  std::string HidingSelectors() const;

  const std::string& page_url() const { return page_url_; }

 private:
  // The lists' decision for an element; not blocked without lists.
  Decision ListDecision(int kind, const char* text) const;

  AnyHtmlEditorRuleChecker* product_;
  const ListSet* lists_;
  std::string page_url_;
  std::string page_host_;
  PageExceptions page_exceptions_;
  PageKeys keys_;
};

}  // namespace cvie::lists
