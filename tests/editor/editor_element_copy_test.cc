// Copying a tag into a reused element object gives what a Clone gives.

#include "anyhtml/editor_element_copy.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "anyhtml/html_parser.h"

namespace cvie {
namespace {

// Keeps a Clone of the first tag of a text.
class FirstTag : public AnyHtmlParser {
 public:
  int OnNode(AnyHtmlNode*, int) override { return 0; }
  int OnElement(AnyHtmlElement* element, int) override {
    if (!tag) tag = element->CloneElement();
    return 0;
  }
  std::unique_ptr<AnyHtmlElement> tag;
};

std::string Text(const AnyHtmlElement& e) {
  const char* text;
  size_t length;
  return e.GetText(&text, &length) == 0 ? std::string(text, length) : "(no text)";
}

// Name, flags and every attribute as the element reads them.
std::string Shape(const AnyHtmlElement& e) {
  std::string shape = e.name() ? std::string(e.name()->own_text_view()) : "(none)";
  shape += "|" + std::to_string(e.flags()) + "|" + std::to_string(e.type());
  for (size_t i = 0; i < e.attribute_count(); ++i) {
    const AnyHtmlAttr* attr = e.attribute(i);
    shape += "|" + (attr->name() ? std::string(attr->name()->own_text_view()) : "(none)");
    if (attr->value()) {
      shape += "=" + std::string(attr->value()->own_text_view()) +
               (attr->value()->own_text_valid() ? "(own)" : "(span)");
    }
  }
  return shape;
}

TEST(EditorElementCopy, CopyReadsChangesAndRegeneratesAsACloneDoes) {
  const char* const tags[] = {
      "<a href=/ads/x.html target=_blank title=\"a 'b'\">",
      "<IMG SRC='ad.gif' Width=200 ismap>",
      "<marquee>",
      "<object classid=\"clsid:1\" width=1 height=2 data=>",
      "<script src=ad.js />",
      "<?xml version=\"1.0\"?>",
      "<div id=a class=b style=\"color:red;\" id=c>",
      "<a>",
  };
  // One target object for every row: storage left from a longer tag must
  // not show through in a shorter one.
  AnyHtmlElement target;
  for (const char* tag : tags) {
    const std::string page = std::string(tag) + '\0' + '\0';
    FirstTag parser;
    parser.Parse(page.data(), page.size() - 2, 0);
    ASSERT_NE(parser.tag, nullptr) << tag;
    std::unique_ptr<AnyHtmlElement> clone = parser.tag->CloneElement();
    ASSERT_TRUE(CopyElementInto(*parser.tag, &target)) << tag;
    EXPECT_EQ(Text(target), tag) << tag;
    EXPECT_EQ(Shape(target), Shape(*clone)) << tag;
    const char* href = target.GetAttribute("href");
    const char* clone_href = clone->GetAttribute("href");
    EXPECT_EQ(href == nullptr, clone_href == nullptr) << tag;
    if (href && clone_href) {
      EXPECT_STREQ(href, clone_href) << tag;
    }

    target.SetAttribute("style", "display: none;");
    clone->SetAttribute("style", "display: none;");
    target.RemoveAttribute("width");
    clone->RemoveAttribute("width");
    EXPECT_EQ(target.RebuildText(), clone->RebuildText()) << tag;
    EXPECT_EQ(Text(target), Text(*clone)) << tag;
    EXPECT_EQ(Shape(target), Shape(*clone)) << tag;
  }
}

TEST(EditorElementCopy, RefusesARegeneratedElement) {
  const std::string page = std::string("<img src=a.gif>") + '\0' + '\0';
  FirstTag parser;
  parser.Parse(page.data(), page.size() - 2, 0);
  ASSERT_NE(parser.tag, nullptr);
  parser.tag->RebuildText();
  AnyHtmlElement target;
  EXPECT_FALSE(CopyElementInto(*parser.tag, &target));
  EXPECT_EQ(target.attribute_count(), 0u);
  EXPECT_EQ(target.name(), nullptr);
}

}  // namespace
}  // namespace cvie
