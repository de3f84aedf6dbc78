// anyhtml/rule_checker.h
//
// The question the page editor asks about each element: is this text (a URL, a
// name, an identifier) of an element of this kind advertising, and is this
// whole script block advertising? The rule engine (rules/rules_holder.h)
// implements it; the HTML library depends only on this interface.

#pragma once

#include <string>

namespace cvie {

// Element kinds the editor passes to CheckElement.
enum ElementKind : int {
  kLinkElement = 0,
  kImageElement = 1,
  kBackgroundElement = 2,
  kFlashElement = 3,
  kScriptElement = 4,
  kFrameElement = 5,
  kStylesheetElement = 6,
  kMarqueeElement = 7,
  kDivElement = 8,
};

// Why an element was decided, for explanations and the blocked-elements log.
// A rule is named "source:line: text" (source: the rule file or list name).
struct CheckVerdict {
  bool blocked = false;
  std::string rule;       // the rule that blocked; empty when none did
  std::string exception;  // the exception that let a match through; may be empty
};

class AnyHtmlEditorRuleChecker {
 public:
  virtual ~AnyHtmlEditorRuleChecker() = default;
  // True when `text` (NUL-terminated, may be null) of an element of `kind` is
  // blocked. `encoding` is the page encoding (0 unknown, 1 UTF-8, 2 other).
  virtual bool CheckElement(int kind, const char* text, int encoding) = 0;
  // True when the script block `text` (NUL-terminated, may be null) is blocked.
  virtual bool CheckScript(const char* text, int encoding) = 0;

  // The same decisions with their reasons in `verdict` (cleared first). A
  // checker that cannot name its rules leaves them empty. Slower than the
  // plain checks: use only when the reason is wanted.
  virtual bool ExplainElementCheck(int kind, const char* text, int encoding,
                                   CheckVerdict* verdict) {
    *verdict = CheckVerdict();
    verdict->blocked = CheckElement(kind, text, encoding);
    return verdict->blocked;
  }
  virtual bool ExplainScriptCheck(const char* text, int encoding, CheckVerdict* verdict) {
    *verdict = CheckVerdict();
    verdict->blocked = CheckScript(text, encoding);
    return verdict->blocked;
  }
};

}  // namespace cvie
