// anyhtml/html_parser.h
//
// AnyHtmlParser cuts a page held whole in memory into nodes in one forward
// pass and hands them, in page order, to two callbacks that a derived class
// supplies: OnElement for every tag that parsed, OnNode for everything else
// (text, comments, declarations, CDATA sections, script bodies, and tags that
// failed to parse, delivered as NODE_TEXT). Every input byte belongs to exactly
// one delivered node, so writing every node's GetText reproduces the page.
// Nothing in a page makes parsing fail: bad markup becomes text.
//
// While scanning it decides the page encoding (0 unknown, 1 UTF-8, 2 other)
// from a byte-order mark, an XML declaration as the first tag, or a
// <meta http-equiv="Content-Type" content="...charset=..."> before <body>, and
// passes the current decision to every callback.
//
// Nodes are spans into the caller's buffer; the page is never copied. A node
// is valid only during its callback (the parser reuses its node objects); a
// callback that keeps a node keeps a Clone. One parser object serves one page
// on one thread; callbacks must not call Parse on the same object.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "anyhtml/html_element.h"
#include "anyhtml/html_node.h"
#include "anyhtml/html_types.h"

namespace cvie {

class AnyHtmlParser : public AnyHtmlBase {
 public:
  AnyHtmlParser();
  ~AnyHtmlParser() override;

  // Receives every node that is not a parsed tag. The result is ignored.
  virtual int OnNode(AnyHtmlNode* node, int encoding) = 0;
  // Receives every tag that parsed. The result is ignored.
  virtual int OnElement(AnyHtmlElement* element, int encoding) = 0;

  // Parses data[0, length). `encoding` is what the caller knows (0 when
  // nothing). Callers append two zero bytes after the page; the parser itself
  // reads nothing at or past data + length. Returns 0 when the scan reached the
  // end of the input (always, in practice); a null data pointer or length 0
  // returns 0 and delivers nothing.
  int Parse(const char* data, size_t length, int encoding);

  // The current encoding decision; kept after Parse returns.
  int encoding() const { return encoding_; }
  // The charset name last found in an XML declaration or meta element during
  // the last Parse; empty when none.
  const std::string& charset() const { return charset_; }
  // Tags delivered through OnElement since construction.
  int element_count() const { return element_count_; }
  // True until an XML declaration, a Content-Type meta element or a body tag
  // ended the search for a charset.
  bool look_for_meta() const { return look_for_meta_; }

 private:
  void DeliverNode(int type, const char* start, const char* end);
  // Delivers the body of a script that starts at p; returns where the body
  // ends and sets *result to 1 when no "</script>" follows.
  const char* ScriptBody(const char* p, const char* end, int* result);
  // FindMarker to the end of the input for "</script>" (which == 0) and "-->"
  // (which == 1). The last search for each is remembered and reused when the
  // new search joins its character steps, so that a page of many scripts is
  // not searched to its end again and again.
  int FindToEnd(int which, const char* p, const char* end, const char** position);
  void CheckXmlDeclaration();
  void CheckMeta();

  int32_t element_count_ = 0;
  bool look_for_meta_ = true;
  std::string charset_;
  int32_t encoding_ = ENCODING_UNKNOWN;

  // Node objects reused for every delivery, so that parsing a page allocates
  // nothing per node once names and values have found their sizes.
  AnyHtmlNode node_;
  AnyHtmlValue script_;
  AnyHtmlElement element_;

  // The last search to the end for each of the two markers: from where, and
  // where the marker was found (null: not found before the end).
  struct RememberedSearch {
    const char* from = nullptr;
    const char* found = nullptr;
  };
  RememberedSearch remembered_[2];
};

}  // namespace cvie
