// anyhtml/html_element.h
//
// A tag of the page: start tag, end tag, empty-element tag or processing
// instruction, with its name and attributes in source order. An unchanged
// element is written from its source span; an element that the page editor
// changed is written from the text RebuildText regenerates from its parts.
//
// Name and attribute comparisons are whole-string and case-insensitive for the
// ASCII letters A-Z only. Attribute values are read as written in the page
// (quotes removed, entities not decoded). Not thread-safe; one page, one thread.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "anyhtml/html_node.h"

namespace cvie {

// Element flag bits.
enum : uint32_t {
  ELEMENT_PI = 1,     // the tag opens with "<?"
  ELEMENT_OPEN = 2,   // the tag opens with "<" not followed by "/"
  ELEMENT_CLOSE = 4,  // the tag opens with "</" or ends with "/>"
};

class AnyHtmlElement : public AnyHtmlNode {
 public:
  AnyHtmlElement();
  ~AnyHtmlElement() override;

  std::unique_ptr<AnyHtmlNode> Clone() const override;
  // Clone with the element's own type.
  std::unique_ptr<AnyHtmlElement> CloneElement() const;
  // The regenerated text when RebuildText ran (even if empty); otherwise the
  // source span as for a plain node.
  int GetText(const char** text, size_t* length) const override;
  // Appends the element's text, as GetText gives it, to `out`; nothing when
  // the text is empty or unavailable.
  virtual void AppendTextTo(std::string* out) const;

  uint32_t flags() const { return flags_; }
  void set_flags(uint32_t flags) { flags_ = flags; }
  void AddFlags(uint32_t flags) { flags_ |= flags; }

  bool IsProcessingInstruction() const { return flags_ & ELEMENT_PI; }
  bool IsStartTag() const { return (flags_ & ELEMENT_OPEN) && !(flags_ & ELEMENT_CLOSE); }
  bool IsEndTag() const { return (flags_ & ELEMENT_CLOSE) && !(flags_ & ELEMENT_OPEN); }
  bool IsEmptyElementTag() const {
    return (flags_ & ELEMENT_OPEN) && (flags_ & ELEMENT_CLOSE);
  }
  bool HasOpen() const { return flags_ & ELEMENT_OPEN; }
  bool HasClose() const { return flags_ & ELEMENT_CLOSE; }

  // Null until a name was set.
  AnyHtmlName* name() { return has_name_ ? &name_ : nullptr; }
  const AnyHtmlName* name() const { return has_name_ ? &name_ : nullptr; }
  // Replaces the previous name with (the contents of) `name`; null removes it.
  void SetName(std::unique_ptr<AnyHtmlName> name);
  // Gives the element a fresh name node (as new, with `own_text_valid`) and
  // returns it; the storage of an earlier name is reused.
  AnyHtmlName* NewName(bool own_text_valid) {
    name_.Reset(NODE_NAME, own_text_valid);
    has_name_ = true;
    return &name_;
  }

  // Attributes in source order; appended ones come last.
  size_t attribute_count() const { return attribute_count_; }
  AnyHtmlAttr* attribute(size_t index) { return attributes_[index].get(); }
  const AnyHtmlAttr* attribute(size_t index) const { return attributes_[index].get(); }
  // Appends `attr`; the element takes ownership. Null is ignored.
  void AddAttribute(std::unique_ptr<AnyHtmlAttr> attr);
  // Appends an attribute without name and value and returns it (storage of a
  // removed or earlier attribute is reused).
  AnyHtmlAttr* NewAttribute() {
    if (attribute_count_ == attributes_.size()) {
      attributes_.push_back(std::make_unique<AnyHtmlAttr>());
    } else {
      attributes_[attribute_count_]->Reset();
    }
    return attributes_[attribute_count_++].get();
  }
  // Removes the last attribute (the parser's undo of a malformed attribute).
  void RemoveLastAttribute() {
    if (attribute_count_ > 0) attributes_[--attribute_count_]->Reset();
  }

  // True when the element has a name whose ownText equals `text`.
  bool NameIs(const char* text) const {
    if (!has_name_ || !text) return false;
    std::string_view name = name_.own_text_view();
    return name.size() == std::char_traits<char>::length(text) &&
           BytesEqualIgnoreCase(name.data(), text, name.size());
  }
  // The first attribute whose name's ownText equals `name`, or null.
  AnyHtmlAttr* FindAttribute(const char* name);
  const AnyHtmlAttr* FindAttribute(const char* name) const;
  // The ownText of that attribute's value (NUL-terminated), or null when there
  // is no such attribute or it has no value. Valid until the attribute changes
  // or the element is deleted.
  const char* GetAttribute(const char* name) const;
  // Gives the first attribute named `name` the value `text` (written from its
  // own text from now on), or appends a new attribute. Does not regenerate the
  // element's text; call RebuildText afterwards.
  void SetAttribute(const char* name, std::string_view text);
  // Removes the first attribute named `name`; nothing when there is none.
  void RemoveAttribute(const char* name);

  // Regenerates the element's text from its flags, name and attributes:
  // "<", "</" or "<?", the name as written, each attribute with a name as
  // " name" or " name=value", and ">", " />" or " ?>". A value that is a
  // quoted span of the page keeps its quotes; any other value is enclosed in
  // double quotes (single quotes when it contains a double quote, and
  // "&quot;" for double quotes when it contains both kinds), so the value
  // always stays one attribute. Returns 0, or -1 when the element has no name
  // or the name gives no text (the regenerated text is then empty).
  int RebuildText();
  bool has_rebuilt_text() const { return has_rebuilt_text_; }
  const std::string& rebuilt_text() const { return rebuilt_text_; }

  // Back to the state of a new element, keeping storage for reuse.
  void Reset() {
    set_type(NODE_ELEMENT);
    SetSpan(nullptr, nullptr);
    flags_ = 0;
    has_name_ = false;
    has_rebuilt_text_ = false;
    rebuilt_text_.clear();
    attribute_count_ = 0;
  }

 protected:
  AnyHtmlElement(const AnyHtmlElement& other);

 private:
  uint32_t flags_ = 0;
  AnyHtmlName name_;  // valid when has_name_
  bool has_name_ = false;
  bool has_rebuilt_text_ = false;
  std::string rebuilt_text_;
  // The first attribute_count_ entries are the attributes; entries past them
  // are kept only so that a reused element allocates nothing.
  std::vector<std::unique_ptr<AnyHtmlAttr>> attributes_;
  size_t attribute_count_ = 0;
};

}  // namespace cvie
