// anyhtml/editor_element_copy.cc

#include "anyhtml/editor_element_copy.h"

namespace cvie {

namespace {

void CopyValue(const AnyHtmlValue& from, AnyHtmlValue* to) {
  to->set_type(from.type());
  to->SetSpan(from.start(), from.end());
  to->SetParsedText(from.own_text_view());
}

}  // namespace

bool CopyElementInto(const AnyHtmlElement& from, AnyHtmlElement* to) {
  to->Reset();
  if (from.has_rebuilt_text()) return false;
  to->set_type(from.type());
  to->SetSpan(from.start(), from.end());
  to->set_flags(from.flags());
  if (const AnyHtmlName* name = from.name()) {
    CopyValue(*name, to->NewName(name->own_text_valid()));
  }
  for (size_t i = 0; i < from.attribute_count(); ++i) {
    const AnyHtmlAttr* attr = from.attribute(i);
    AnyHtmlAttr* copy = to->NewAttribute();
    copy->SetSpan(attr->start(), attr->end());
    if (const AnyHtmlName* name = attr->name()) {
      CopyValue(*name, copy->NewName(name->own_text_valid()));
    }
    if (const AnyHtmlValue* value = attr->value()) {
      CopyValue(*value, copy->NewValue(value->own_text_valid()));
    }
  }
  return true;
}

}  // namespace cvie
