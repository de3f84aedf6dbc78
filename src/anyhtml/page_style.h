// anyhtml/page_style.h
//
// A style sheet the page editor adds to a page: before editing, the editor
// shows the source every class, id, href and src attribute of the page's tags, then asks
// once for the element to add (a whole "<style>...</style>", or nothing). The
// editor puts it just after the first <head> start tag, or, in a page without
// one, just before the first tag (after any doctype or leading comment, so
// that the page's rendering mode stays as it was). Every other byte of the
// page stays as the editor would write it without a sheet.

#pragma once

#include <string>
#include <string_view>

namespace cvie {

class AnyHtmlEditorPageStyle {
 public:
  virtual ~AnyHtmlEditorPageStyle() = default;
  // The value of a class attribute of a tag of the page.
  virtual void NoteClassAttribute(std::string_view value) = 0;
  // The value of an id attribute of a tag of the page.
  virtual void NoteId(std::string_view value) = 0;
  // The value of an href or src attribute (`name`) of a tag of the page.
  virtual void NoteAttribute(std::string_view /*name*/, std::string_view /*value*/) {}
  // The element to add, asked once after every attribute was noted; empty
  // adds nothing.
  virtual std::string StyleElement() = 0;
};

}  // namespace cvie
