// anyhtml/editor_element_copy.h
//
// Copying a tag into an element object that is used again and again, so that
// the page editor can keep the tag that opens a region (one per link on a
// typical page) without allocating a new element each time. The copy has the
// same type, span, flags, name and attributes as the original (names and
// values keep their spans, their own text and how they are written), so it
// reads, changes and regenerates exactly as a Clone does.

#pragma once

#include "anyhtml/html_element.h"

namespace cvie {

// Makes `to` a copy of `from`, reusing the storage `to` already has. `from`
// must not have been regenerated (has_rebuilt_text() false): a regenerated
// element is copied with Clone. Returns false, leaving `to` reset, in that case.
bool CopyElementInto(const AnyHtmlElement& from, AnyHtmlElement* to);

}  // namespace cvie
