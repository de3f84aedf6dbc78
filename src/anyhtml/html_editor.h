// anyhtml/html_editor.h
//
// AnyHtmlEditor: the page editor. It parses one page and writes every node
// straight to its writer, except where an element may be advertising; for
// those it asks the rule checker whether a URL, a name or a script is blocked,
// and has a blocked element hidden (an inline style), stripped (a background
// attribute removed), collapsed (an image left out) or removed (a script, a
// style-sheet link, a marquee). Decisions that need more than one element (a
// link around an image, an object and its "movie" parameter, a script and its
// body, a marquee and the links inside it) open a region: the nodes that
// follow are kept in a pending list and written or dropped together when the
// element that ends the region arrives.
//
// Where nothing is blocked the output equals the input byte for byte: an
// unchanged node is always written from its source span, and only a changed
// tag is regenerated (AnyHtmlElement::RebuildText).
//
// One editor serves one page on one thread. The writer, the options record and
// the checker are not owned and must outlive the editor; the options record is
// read on every element and never written. The input buffer must outlive the
// editor (pending nodes point into it).

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "anyhtml/editor_options.h"
#include "anyhtml/editor_writer.h"
#include "anyhtml/html_element.h"
#include "anyhtml/html_node.h"
#include "anyhtml/html_parser.h"
#include "anyhtml/page_style.h"
#include "anyhtml/rule_checker.h"

namespace cvie {

// The region the editor is in.
enum EditorMode : int32_t {
  MODE_NORMAL = 0,
  MODE_ANCHOR = 1,   // after an <a> start tag, up to the first image or </a>
  MODE_OBJECT = 2,   // after an <object> start tag, up to the first element
                     // that is neither param nor embed
  MODE_SCRIPT = 3,   // after a <script> tag, up to the next element
  MODE_LINK = 4,     // after a <link> tag, up to the next element
  MODE_MARQUEE = 5,  // after a <marquee> start tag, up to its end or any end
                     // tag other than </a>
};

// Written in place of a node whose text cannot be obtained.
inline constexpr char kEditorErrorMarker[] = "<!-- AnyHtml Output ERROR -->";
// Appended to the style of a blocked element (remove-blocked option on).
inline constexpr char kEditorHidingStyle[] = "display: none;";
// Appended instead when the remove-blocked option is off and highlighting on.
inline constexpr char kEditorHighlightingStyle[] =
    "outline-color: yellow; outline-style: double; outline-width: thick;";

class AnyHtmlEditor : public AnyHtmlParser {
 public:
  // None of the three is owned. A null checker blocks nothing.
  AnyHtmlEditor(AnyHtmlEditorWriter* writer, const EditorOptions* options,
                AnyHtmlEditorRuleChecker* checker);
  // Deletes pending nodes that were never written (nothing is written).
  ~AnyHtmlEditor() override;
  AnyHtmlEditor(const AnyHtmlEditor&) = delete;
  AnyHtmlEditor& operator=(const AnyHtmlEditor&) = delete;

  // Edits one page: StartDocument, Parse, EndDocument. Returns the parser's
  // result (0 = the whole input was scanned), or ANYHTML_WRITE_FAILED when the
  // writer refused an append (write_result() says how; the output is then
  // incomplete and must not be served). The caller appends two zero bytes
  // after the page, as the parser expects.
  int Edit(const char* data, size_t length, int encoding);

  // Adds the style element `style` gives to every page edited from now on
  // (null: none, the default). Not owned; must outlive the editing. The
  // classes and ids are collected in a first pass over the page.
  void SetPageStyle(AnyHtmlEditorPageStyle* style) { page_style_ = style; }

  // The writer's failure code of the first refused append since the last
  // StartDocument, or 0 when every append succeeded.
  int32_t write_result() const { return write_result_; }

  // Parser callbacks. OnNode refuses a null node (-1); both return 0
  // otherwise.
  int OnNode(AnyHtmlNode* node, int encoding) override;
  int OnElement(AnyHtmlElement* element, int encoding) override;

  // Hooks for a derived editor that rewrites addresses or script bodies: return
  // true with the replacement in *out. These versions return false and leave
  // *out alone.
  virtual bool RewriteUrl(const char* url, bool is_image, std::string* out, int encoding);
  virtual bool RewriteScript(const char* text, size_t length, std::string* out,
                             int encoding);

  // Back to MODE_NORMAL with nothing pending and no write failure.
  virtual void StartDocument(int encoding);
  // Writes, unchecked, whatever is still pending at the end of the page.
  virtual void EndDocument(int encoding);
  // Writes the node's text: its source bytes, or its regenerated text when it
  // was changed; the error marker when the text cannot be obtained; nothing
  // for 0 bytes, nor after the writer has failed once.
  virtual void WriteNode(const AnyHtmlNode* node, int encoding);
  // Writes every pending node, front to back, and empties the list.
  virtual void FlushPending(int encoding);
  // Puts `node` at the front of the pending list (the editor itself never
  // does; for derived editors). Null is ignored.
  virtual void PushFrontPending(std::unique_ptr<AnyHtmlNode> node);

  // Empties the pending list without writing anything.
  void DropPending();
  // Appends the hiding style (remove-blocked on) or the highlighting style
  // (remove-blocked off, highlight on) to the element's style attribute, adding
  // the attribute when absent, and regenerates the tag. A style that does not
  // end in ";" (trailing white space aside) gets one before the added text;
  // otherwise its bytes are kept as they are.
  void HideElement(AnyHtmlElement* element, int encoding);

  EditorMode mode() const { return mode_; }
  size_t pending_count() const { return pending_.size(); }

 protected:
  // The element handling of MODE_NORMAL and of each region.
  void HandleElement(AnyHtmlElement* e, int encoding);
  void HandleAnchorMode(AnyHtmlElement* e, int encoding);
  void HandleObjectMode(AnyHtmlElement* e, int encoding);
  void HandleScriptMode(AnyHtmlElement* e, int encoding);
  void HandleLinkMode(AnyHtmlElement* e, int encoding);
  void HandleMarqueeMode(AnyHtmlElement* e, int encoding);

  // The checks: each returns true when the element was found blocked, after
  // hiding (or stripping) it.
  bool CheckImage(AnyHtmlElement* e, bool rewrite, int encoding);
  bool CheckBackground(AnyHtmlElement* e, int encoding);
  bool CheckFrame(AnyHtmlElement* e, int encoding);
  bool CheckDiv(AnyHtmlElement* e, int encoding);
  bool CheckEmbed(AnyHtmlElement* e, int encoding);
  bool CheckLink(AnyHtmlElement* e, int encoding);

  const EditorOptions& options() const { return *options_; }

 private:
  // A node waiting in a region. An unchanged node is kept as its span (the
  // input outlives the editor), so a region costs no allocation per node. A
  // node that a later decision may read or change (the tag that opened the
  // region, the links inside a marquee) is kept as a copy in an element
  // object that is used again for later regions; a node that was already
  // changed, or has no usable text, is kept as a Clone.
  struct PendingNode {
    int32_t type = NODE_TEXT;
    const char* start = nullptr;
    const char* end = nullptr;
    std::unique_ptr<AnyHtmlNode> node;  // when set, it is the node
    AnyHtmlElement* element = nullptr;  // `node` as an element, when it is one
    bool recycled = false;              // `node` goes back to spare_elements_
  };

  void EnterMode(EditorMode mode, AnyHtmlElement* e);
  // Keeps a text, comment, script body... in pending.
  void AppendPending(const AnyHtmlNode* node);
  // Keeps an element in pending; `keep_copy` when it will be read or changed.
  void AppendPendingElement(const AnyHtmlElement* e, bool keep_copy);
  // Empties pending, returning reusable element objects to the spare list.
  void ClearPending();
  void WritePending(const PendingNode& pending, int encoding);
  // The text of a pending node; false when it has none.
  static bool PendingText(const PendingNode& pending, const char** text, size_t* length);
  // The first pending node when it is an element, else null.
  AnyHtmlElement* FirstPendingElement();
  // Offers each pending script body to RewriteScript.
  void RewritePendingScripts(int encoding);
  // Asks the checker; a null checker or a null text blocks nothing.
  bool Blocked(int kind, const char* text, int encoding);
  // Hands bytes to the writer unless it has failed before; keeps the first
  // failure in write_result_.
  void Emit(const char* data, uint32_t length);

  // Where the page style element goes in the page being edited.
  enum class StylePlace { kNone, kAfterHead, kBeforeFirstTag };
  // Shows the page style source every class and id of the page and takes its
  // element; finds where it goes.
  void PreparePageStyle(const char* data, size_t length, int encoding);
  // Writes the style element when `e` is the tag it goes before or after.
  void PlaceStyleBefore(const AnyHtmlElement* e);
  void PlaceStyleAfter(const AnyHtmlElement* e);

  AnyHtmlEditorWriter* writer_;
  const EditorOptions* options_;
  AnyHtmlEditorRuleChecker* checker_;
  AnyHtmlEditorPageStyle* page_style_ = nullptr;
  StylePlace style_place_ = StylePlace::kNone;
  std::string style_element_;  // still to be placed when not empty
  EditorMode mode_ = MODE_NORMAL;
  int32_t write_result_ = 0;  // first failure of the writer, 0 while none
  std::vector<PendingNode> pending_;
  std::vector<std::unique_ptr<AnyHtmlElement>> spare_elements_;
  // Scratch text reused from call to call: a style being built, a
  // replacement from a rewrite hook.
  std::string style_;
  std::string rewrite_;
};

}  // namespace cvie
