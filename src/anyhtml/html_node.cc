#include "anyhtml/html_node.h"

namespace cvie {

// --- AnyHtmlNode ---

std::unique_ptr<AnyHtmlNode> AnyHtmlNode::Clone() const {
  return std::unique_ptr<AnyHtmlNode>(new AnyHtmlNode(*this));
}

int AnyHtmlNode::GetText(const char** text, size_t* length) const {
  return GetSpanText(text, length);
}

// --- AnyHtmlValue / AnyHtmlName ---

std::unique_ptr<AnyHtmlNode> AnyHtmlValue::Clone() const {
  return std::unique_ptr<AnyHtmlNode>(new AnyHtmlValue(*this));
}

int AnyHtmlValue::GetText(const char** text, size_t* length) const {
  if (!own_text_valid_ && start() && end()) {
    if (GetSpanText(text, length) == 0) return 0;
  }
  std::string_view own = own_text_view();
  *text = own.data();
  *length = own.size();
  return 0;
}

std::unique_ptr<AnyHtmlNode> AnyHtmlName::Clone() const {
  return std::unique_ptr<AnyHtmlNode>(new AnyHtmlName(*this));
}

// --- AnyHtmlAttr ---

AnyHtmlAttr::AnyHtmlAttr() : AnyHtmlNode(NODE_ATTR) {}

AnyHtmlAttr::AnyHtmlAttr(std::unique_ptr<AnyHtmlName> name,
                         std::unique_ptr<AnyHtmlValue> value)
    : AnyHtmlNode(NODE_ATTR) {
  SetName(std::move(name));
  SetValue(std::move(value));
}

AnyHtmlAttr::AnyHtmlAttr(const AnyHtmlAttr& other)
    : AnyHtmlNode(other),
      name_(other.name_),
      value_(other.value_),
      has_name_(other.has_name_),
      has_value_(other.has_value_) {}

std::unique_ptr<AnyHtmlNode> AnyHtmlAttr::Clone() const {
  return std::unique_ptr<AnyHtmlNode>(new AnyHtmlAttr(*this));
}

namespace {

// Copies type, span and text state of `from` into `to`.
void CopyValue(const AnyHtmlValue& from, AnyHtmlValue* to) {
  to->Reset(from.type(), from.own_text_valid());
  to->SetSpan(from.start(), from.end());
  std::string_view text = from.own_text_view();
  to->mutable_own_text()->assign(text.data(), text.size());
}

}  // namespace

void AnyHtmlAttr::SetName(std::unique_ptr<AnyHtmlName> name) {
  has_name_ = name != nullptr;
  if (name) CopyValue(*name, &name_);
}

void AnyHtmlAttr::SetValue(std::unique_ptr<AnyHtmlValue> value) {
  has_value_ = value != nullptr;
  if (value) CopyValue(*value, &value_);
}

}  // namespace cvie
