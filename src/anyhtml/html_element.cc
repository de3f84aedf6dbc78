#include "anyhtml/html_element.h"

#include <string.h>

#include <algorithm>
#include <utility>

namespace cvie {

AnyHtmlElement::AnyHtmlElement() : AnyHtmlNode(NODE_ELEMENT) {}

AnyHtmlElement::~AnyHtmlElement() = default;

AnyHtmlElement::AnyHtmlElement(const AnyHtmlElement& other)
    : AnyHtmlNode(other),
      flags_(other.flags_),
      name_(other.name_),
      has_name_(other.has_name_),
      has_rebuilt_text_(other.has_rebuilt_text_),
      rebuilt_text_(other.rebuilt_text_),
      attribute_count_(other.attribute_count_) {
  attributes_.reserve(other.attribute_count_);
  for (size_t i = 0; i < other.attribute_count_; ++i) {
    attributes_.emplace_back(
        static_cast<AnyHtmlAttr*>(other.attributes_[i]->Clone().release()));
  }
}

std::unique_ptr<AnyHtmlNode> AnyHtmlElement::Clone() const { return CloneElement(); }

std::unique_ptr<AnyHtmlElement> AnyHtmlElement::CloneElement() const {
  return std::unique_ptr<AnyHtmlElement>(new AnyHtmlElement(*this));
}

int AnyHtmlElement::GetText(const char** text, size_t* length) const {
  if (has_rebuilt_text_) {
    *text = rebuilt_text_.data();
    *length = rebuilt_text_.size();
    return 0;
  }
  return GetSpanText(text, length);
}

void AnyHtmlElement::AppendTextTo(std::string* out) const {
  const char* text;
  size_t length;
  if (GetText(&text, &length) == 0 && length > 0) out->append(text, length);
}

void AnyHtmlElement::SetName(std::unique_ptr<AnyHtmlName> name) {
  if (!name) {
    has_name_ = false;
    return;
  }
  name_.Reset(NODE_NAME, name->own_text_valid());
  name_.SetSpan(name->start(), name->end());
  std::string_view text = name->own_text_view();
  name_.mutable_own_text()->assign(text.data(), text.size());
  has_name_ = true;
}

void AnyHtmlElement::AddAttribute(std::unique_ptr<AnyHtmlAttr> attr) {
  if (!attr) return;
  attributes_.insert(attributes_.begin() + static_cast<ptrdiff_t>(attribute_count_),
                     std::move(attr));
  ++attribute_count_;
}

namespace {

bool ViewEqualsIgnoreCase(std::string_view view, const char* text) {
  return text && view.size() == strlen(text) &&
         BytesEqualIgnoreCase(view.data(), text, view.size());
}

}  // namespace

const AnyHtmlAttr* AnyHtmlElement::FindAttribute(const char* name) const {
  for (size_t i = 0; i < attribute_count_; ++i) {
    const AnyHtmlName* attr_name = attributes_[i]->name();
    if (attr_name && ViewEqualsIgnoreCase(attr_name->own_text_view(), name)) {
      return attributes_[i].get();
    }
  }
  return nullptr;
}

AnyHtmlAttr* AnyHtmlElement::FindAttribute(const char* name) {
  return const_cast<AnyHtmlAttr*>(std::as_const(*this).FindAttribute(name));
}

const char* AnyHtmlElement::GetAttribute(const char* name) const {
  const AnyHtmlAttr* attr = FindAttribute(name);
  if (!attr || !attr->value()) return nullptr;
  return attr->value()->own_text().c_str();
}

void AnyHtmlElement::SetAttribute(const char* name, std::string_view text) {
  AnyHtmlAttr* attr = FindAttribute(name);
  if (!attr) {
    attr = NewAttribute();
    attr->NewName(true)->SetText(name);
  }
  AnyHtmlValue* value = attr->value();
  if (!value) value = attr->NewValue(true);
  value->SetText(text);
}

void AnyHtmlElement::RemoveAttribute(const char* name) {
  for (size_t i = 0; i < attribute_count_; ++i) {
    const AnyHtmlName* attr_name = attributes_[i]->name();
    if (attr_name && ViewEqualsIgnoreCase(attr_name->own_text_view(), name)) {
      // Keep the object past the live attributes for reuse.
      std::rotate(attributes_.begin() + static_cast<ptrdiff_t>(i),
                  attributes_.begin() + static_cast<ptrdiff_t>(i) + 1,
                  attributes_.begin() + static_cast<ptrdiff_t>(attribute_count_));
      --attribute_count_;
      attributes_[attribute_count_]->Reset();
      return;
    }
  }
}

namespace {

// Appends a value so that it stays one attribute value in the regenerated tag.
// A value written from a quoted span of the page is copied as it stands.
void AppendQuotedValue(const AnyHtmlValue& value, const char* text, size_t length,
                       std::string* out) {
  bool from_span = !value.own_text_valid() && value.start() && value.end();
  if (from_span && length > 0 && (text[0] == '"' || text[0] == '\'')) {
    out->append(text, length);
    return;
  }
  if (!memchr(text, '"', length)) {
    out->push_back('"');
    out->append(text, length);
    out->push_back('"');
  } else if (!memchr(text, '\'', length)) {
    out->push_back('\'');
    out->append(text, length);
    out->push_back('\'');
  } else {
    out->push_back('"');
    for (size_t i = 0; i < length; ++i) {
      if (text[i] == '"') {
        out->append("&quot;");
      } else {
        out->push_back(text[i]);
      }
    }
    out->push_back('"');
  }
}

}  // namespace

int AnyHtmlElement::RebuildText() {
  has_rebuilt_text_ = true;
  rebuilt_text_.clear();
  const char* text;
  size_t length;
  if (!has_name_ || name_.GetText(&text, &length) != 0) return -1;

  std::string& out = rebuilt_text_;
  if (IsProcessingInstruction()) {
    out.append("<?");
  } else if (IsEndTag()) {
    out.append("</");
  } else {
    out.push_back('<');
  }
  out.append(text, length);
  for (size_t i = 0; i < attribute_count_; ++i) {
    const AnyHtmlAttr& attr = *attributes_[i];
    if (!attr.name() || attr.name()->GetText(&text, &length) != 0) continue;
    out.push_back(' ');
    out.append(text, length);
    if (attr.value() && attr.value()->GetText(&text, &length) == 0) {
      out.push_back('=');
      AppendQuotedValue(*attr.value(), text, length, &out);
    }
  }
  if (IsProcessingInstruction()) {
    out.append(" ?>");
  } else if (IsEmptyElementTag()) {
    out.append(" />");
  } else {
    out.push_back('>');
  }
  return 0;
}

}  // namespace cvie
