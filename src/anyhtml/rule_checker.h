// anyhtml/rule_checker.h
//
// The question the page editor asks about each element: is this text (a URL, a
// name, an identifier) of an element of this kind advertising, and is this
// whole script block advertising? The rule engine (rules/rules_holder.h)
// implements it; the HTML library depends only on this interface.

#pragma once

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

class AnyHtmlEditorRuleChecker {
 public:
  virtual ~AnyHtmlEditorRuleChecker() = default;
  // True when `text` (NUL-terminated, may be null) of an element of `kind` is
  // blocked. `encoding` is the page encoding (0 unknown, 1 UTF-8, 2 other).
  virtual bool CheckElement(int kind, const char* text, int encoding) = 0;
  // True when the script block `text` (NUL-terminated, may be null) is blocked.
  virtual bool CheckScript(const char* text, int encoding) = 0;
};

}  // namespace cvie
