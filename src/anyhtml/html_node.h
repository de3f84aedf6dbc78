// anyhtml/html_node.h
//
// The nodes a page is cut into. A node records the span of the caller's input
// buffer it came from (start, end: one past the last byte) and never copies the
// page: writing an unchanged node reproduces its input bytes exactly. Only names
// and attribute values carry text of their own (ownText), and only a node that
// was changed is written from it. The input buffer must outlive every node made
// from it, clones included.
//
// Nodes are not shared between threads, not even for reading (own_text()
// fills a cache); each page is parsed and edited on one thread.
// Copying is only through Clone, which deep-copies what the node owns (the copy
// still points into the same input buffer).

#pragma once

#include <stddef.h>

#include <memory>
#include <string>
#include <string_view>

#include "anyhtml/html_types.h"

namespace cvie {

// A span of input with a type. Text, comments, declarations and CDATA sections
// are plain nodes.
class AnyHtmlNode : public AnyHtmlBase {
 public:
  AnyHtmlNode() = default;
  explicit AnyHtmlNode(int type) : type_(type) {}
  ~AnyHtmlNode() override = default;
  AnyHtmlNode& operator=(const AnyHtmlNode&) = delete;

  // A new node of the same class with the same contents.
  virtual std::unique_ptr<AnyHtmlNode> Clone() const;
  // The node's text: for a plain node its source span. Returns 0 and sets *text
  // and *length (0 bytes is success); -1 when start or end is null or end is
  // before start (the outputs are then untouched).
  virtual int GetText(const char** text, size_t* length) const;

  int type() const { return type_; }
  void set_type(int type) { type_ = type; }
  const char* start() const { return start_; }
  const char* end() const { return end_; }
  void set_start(const char* start) { start_ = start; }
  void set_end(const char* end) { end_ = end; }
  void SetSpan(const char* start, const char* end) {
    start_ = start;
    end_ = end;
  }

 protected:
  AnyHtmlNode(const AnyHtmlNode&) = default;
  // The span check shared by every GetText.
  int GetSpanText(const char** text, size_t* length) const {
    if (!start_ || !end_ || end_ < start_) return -1;
    *text = start_;
    *length = static_cast<size_t>(end_ - start_);
    return 0;
  }

 private:
  int32_t type_ = NODE_TEXT;
  const char* start_ = nullptr;
  const char* end_ = nullptr;
};

// An attribute value, or (re-typed NODE_SCRIPT) the body of a script element.
// A parsed value keeps its source span (quotes included) for writing and its
// characters (quotes excluded, entities not decoded) as ownText for reading.
// The parser hands ownText over as a view of the input; it is copied into the
// node's own string only when somebody asks for it as a string.
class AnyHtmlValue : public AnyHtmlNode {
 public:
  explicit AnyHtmlValue(bool own_text_valid = false)
      : AnyHtmlNode(NODE_VALUE), own_text_valid_(own_text_valid) {}
  ~AnyHtmlValue() override = default;

  std::unique_ptr<AnyHtmlNode> Clone() const override;
  // The source span when ownText is not valid and both span ends are set;
  // otherwise ownText. Never fails.
  int GetText(const char** text, size_t* length) const override;

  // Stores `text` as ownText; the node is from now on written from it.
  void SetText(std::string_view text) {
    SetParsedText(text);
    own_text_valid_ = true;
  }
  // Stores `text` as ownText without changing how the node is written.
  void SetParsedText(std::string_view text) {
    own_text_.assign(text.data(), text.size());
    view_ = nullptr;
  }
  // As SetParsedText, for bytes of the input buffer: they are copied only
  // when ownText is asked for as a string.
  void SetParsedInputText(const char* text, size_t length) {
    view_ = text;
    view_length_ = length;
  }

  bool own_text_valid() const { return own_text_valid_; }
  // ownText as a string (NUL-terminated by c_str()).
  const std::string& own_text() const {
    if (view_) Materialize();
    return own_text_;
  }
  // ownText without copying it.
  std::string_view own_text_view() const {
    return view_ ? std::string_view(view_, view_length_) : std::string_view(own_text_);
  }
  std::string* mutable_own_text() {
    if (view_) Materialize();
    return &own_text_;
  }

  // Back to the state of a new node of `type`, keeping the string's storage.
  void Reset(int type, bool own_text_valid) {
    set_type(type);
    SetSpan(nullptr, nullptr);
    own_text_valid_ = own_text_valid;
    own_text_.clear();
    view_ = nullptr;
  }

 protected:
  AnyHtmlValue(int type, bool own_text_valid)
      : AnyHtmlNode(type), own_text_valid_(own_text_valid) {}
  AnyHtmlValue(const AnyHtmlValue&) = default;
  friend class AnyHtmlAttr;
  friend class AnyHtmlElement;

 private:
  void Materialize() const {
    own_text_.assign(view_, view_length_);
    view_ = nullptr;
  }

  bool own_text_valid_;
  // When view_ is set, ownText is view_[0, view_length_) of the input and
  // own_text_ is not in use yet.
  mutable const char* view_ = nullptr;
  size_t view_length_ = 0;
  mutable std::string own_text_;
};

// An element or attribute name: a value of type NODE_NAME.
class AnyHtmlName : public AnyHtmlValue {
 public:
  explicit AnyHtmlName(bool own_text_valid = false)
      : AnyHtmlValue(NODE_NAME, own_text_valid) {}
  ~AnyHtmlName() override = default;

  std::unique_ptr<AnyHtmlNode> Clone() const override;

 protected:
  AnyHtmlName(const AnyHtmlName&) = default;
  friend class AnyHtmlAttr;
  friend class AnyHtmlElement;
};

// An attribute: a name (may be absent) and a value (absent for an attribute
// written without one). The attribute owns both. The parser does not set an
// attribute's own span, so its GetText fails unless a caller set one.
class AnyHtmlAttr : public AnyHtmlNode {
 public:
  AnyHtmlAttr();
  // Takes ownership of both; either may be null.
  AnyHtmlAttr(std::unique_ptr<AnyHtmlName> name, std::unique_ptr<AnyHtmlValue> value);
  ~AnyHtmlAttr() override = default;

  std::unique_ptr<AnyHtmlNode> Clone() const override;

  // Null when absent.
  AnyHtmlName* name() { return has_name_ ? &name_ : nullptr; }
  const AnyHtmlName* name() const { return has_name_ ? &name_ : nullptr; }
  AnyHtmlValue* value() { return has_value_ ? &value_ : nullptr; }
  const AnyHtmlValue* value() const { return has_value_ ? &value_ : nullptr; }

  // Replaces the name or value with (the contents of) `name` / `value`; null
  // removes it.
  void SetName(std::unique_ptr<AnyHtmlName> name);
  void SetValue(std::unique_ptr<AnyHtmlValue> value);
  // Gives the attribute a fresh name / value (as new, with `own_text_valid`)
  // and returns it. Storage of an earlier one is reused.
  AnyHtmlName* NewName(bool own_text_valid) {
    name_.Reset(NODE_NAME, own_text_valid);
    has_name_ = true;
    return &name_;
  }
  AnyHtmlValue* NewValue(bool own_text_valid) {
    value_.Reset(NODE_VALUE, own_text_valid);
    has_value_ = true;
    return &value_;
  }
  void RemoveValue() { has_value_ = false; }

  // Back to an attribute without name and value, keeping storage.
  void Reset() {
    set_type(NODE_ATTR);
    SetSpan(nullptr, nullptr);
    has_name_ = false;
    has_value_ = false;
  }

 protected:
  AnyHtmlAttr(const AnyHtmlAttr& other);

 private:
  // Stored inline so that a reused attribute needs no allocation.
  AnyHtmlName name_;
  AnyHtmlValue value_;
  bool has_name_ = false;
  bool has_value_ = false;
};

}  // namespace cvie
