// The node model: texts of types and errors, UTF-8 lengths, GetText of every
// class, the flag predicates, and the element operations the page editor uses.

#include <string.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "anyhtml/html_element.h"
#include "anyhtml/html_node.h"
#include "anyhtml/html_scan.h"

using namespace cvie;

namespace {

// Parses one tag of `text` (which must outlive the element) into `element`.
void ParseTag(const std::string& text, AnyHtmlElement* element) {
  const char* stop;
  int result = ParseElement(element, text.data(), text.data() + text.size(),
                            ENCODING_UNKNOWN, &stop);
  ASSERT_EQ(result, 0) << text;
  element->SetSpan(text.data(), stop);
}

std::string TextOf(const AnyHtmlNode& node) {
  const char* text;
  size_t length;
  if (node.GetText(&text, &length) != 0) return "<GetText failed>";
  return std::string(text, length);
}

TEST(AnyHtmlTypes, NamesAndErrorTexts) {
  const char* kTypes[] = {"TEXT",  "ELEMENT", "COMMENT", "DTD", "SCRIPT",
                          "CDATA", "NAME",    "VALUE",   "ATTR"};
  for (int i = 0; i < 9; ++i) EXPECT_STREQ(AnyHtmlNodeTypeName(i), kTypes[i]) << i;
  EXPECT_STREQ(AnyHtmlNodeTypeName(9), "UNKNOWN");
  EXPECT_STREQ(AnyHtmlNodeTypeName(-1), "UNKNOWN");

  const char* kErrors[] = {"No error",
                           "EOF",
                           "Failed to read a name",
                           "Encountered invalid char",
                           "Error parsing Element",
                           "Failed to read Element name",
                           "Error reading attributes",
                           "Error reading attr name",
                           "Error reading attr value"};
  for (int i = 0; i < 9; ++i) EXPECT_STREQ(AnyHtmlErrorText(i), kErrors[i]) << i;
  EXPECT_STREQ(AnyHtmlErrorText(42), "Unknown error");
}

TEST(AnyHtmlTypes, Utf8SequenceLengthByLeadByte) {
  struct Case {
    int lead;
    int length;
  };
  const Case kCases[] = {{0x00, 1}, {0x41, 1}, {0x7F, 1}, {0x80, 1}, {0xBF, 1},
                         {0xC0, 1}, {0xC1, 1}, {0xC2, 2}, {0xDF, 2}, {0xE0, 3},
                         {0xEF, 3}, {0xF0, 4}, {0xF4, 4}, {0xF5, 1}, {0xFF, 1}};
  for (const Case& c : kCases) {
    EXPECT_EQ(Utf8SequenceLength(static_cast<uint8_t>(c.lead)), c.length)
        << std::hex << c.lead;
  }
}

TEST(AnyHtmlTypes, CharacterClassesAndCaseFolding) {
  struct Case {
    int byte;
    bool space, letter, name_char;
  };
  const Case kCases[] = {
      {' ', true, false, false},  {'\t', true, false, false}, {'\n', true, false, false},
      {'\v', true, false, false}, {'\f', true, false, false}, {'\r', true, false, false},
      {'a', false, true, true},   {'Z', false, true, true},   {0x7F, false, true, true},
      {0xFF, false, true, true},  {'5', false, false, true},  {'_', false, false, true},
      {'-', false, false, true},  {'.', false, false, true},  {':', false, false, true},
      {'>', false, false, false}, {'/', false, false, false}, {0, false, false, false},
  };
  for (const Case& c : kCases) {
    uint8_t b = static_cast<uint8_t>(c.byte);
    EXPECT_EQ(IsHtmlSpace(b), c.space) << c.byte;
    EXPECT_EQ(IsHtmlLetter(b), c.letter) << c.byte;
    EXPECT_EQ(IsHtmlNameChar(b), c.name_char) << c.byte;
  }
  EXPECT_TRUE(EqualsIgnoreCase("SCRIPT", "script"));
  EXPECT_FALSE(EqualsIgnoreCase("script", "scripts"));
  EXPECT_FALSE(EqualsIgnoreCase("\xC3\x89", "\xC3\xA9"));  // only A-Z fold
  EXPECT_FALSE(EqualsIgnoreCase(nullptr, "a"));
  EXPECT_TRUE(StartsWithIgnoreCase("utf-8", "UTF-8"));
  EXPECT_FALSE(StartsWithIgnoreCase("utf", "UTF-8"));
}

TEST(AnyHtmlNode, GetTextNeedsAWholeSpan) {
  const char kText[] = "abcdef";
  struct Case {
    const char* name;
    const char* start;
    const char* end;
    int result;
    std::string text;
  };
  const Case kCases[] = {
      {"no span", nullptr, nullptr, -1, ""},
      {"start only", kText, nullptr, -1, ""},
      {"end only", nullptr, kText + 2, -1, ""},
      {"end before start", kText + 3, kText + 1, -1, ""},
      {"empty span", kText + 2, kText + 2, 0, ""},
      {"span", kText + 1, kText + 4, 0, "bcd"},
  };
  for (const Case& c : kCases) {
    AnyHtmlNode node;
    node.SetSpan(c.start, c.end);
    const char* text = nullptr;
    size_t length = 99;
    EXPECT_EQ(node.GetText(&text, &length), c.result) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(std::string(text, length), c.text) << c.name;
    } else {
      EXPECT_EQ(length, 99u) << c.name << ": output touched on failure";
    }
  }
}

TEST(AnyHtmlNode, NewNodesHaveTheirTypes) {
  EXPECT_EQ(AnyHtmlNode().type(), NODE_TEXT);
  EXPECT_EQ(AnyHtmlValue().type(), NODE_VALUE);
  EXPECT_EQ(AnyHtmlName().type(), NODE_NAME);
  EXPECT_EQ(AnyHtmlAttr().type(), NODE_ATTR);
  EXPECT_EQ(AnyHtmlElement().type(), NODE_ELEMENT);
  AnyHtmlNode node;
  EXPECT_EQ(node.start(), nullptr);
  EXPECT_EQ(node.end(), nullptr);
}

TEST(AnyHtmlValue, WrittenFromSpanUntilSetText) {
  const char kPage[] = "'a.gif'";
  struct Case {
    const char* name;
    bool own_text_valid;
    bool with_span;
    const char* parsed_text;
    const char* set_text;  // null: no SetText
    std::string expected;
  };
  const Case kCases[] = {
      {"parsed value", false, true, "a.gif", nullptr, "'a.gif'"},
      {"parsed then changed", false, true, "a.gif", "b.gif", "b.gif"},
      {"own text from the start", true, true, "a.gif", nullptr, "a.gif"},
      {"no span", false, false, "a.gif", nullptr, "a.gif"},
      {"changed to empty", false, true, "a.gif", "", ""},
  };
  for (const Case& c : kCases) {
    AnyHtmlValue value(c.own_text_valid);
    if (c.with_span) value.SetSpan(kPage, kPage + strlen(kPage));
    value.SetParsedText(c.parsed_text);
    EXPECT_EQ(value.own_text_valid(), c.own_text_valid) << c.name;
    if (c.set_text) {
      value.SetText(c.set_text);
      EXPECT_TRUE(value.own_text_valid()) << c.name;
    }
    EXPECT_EQ(TextOf(value), c.expected) << c.name;
  }
}

TEST(AnyHtmlElement, FlagPredicates) {
  struct Case {
    uint32_t flags;
    bool pi, start, end, empty, open, close;
  };
  const Case kCases[] = {
      {ELEMENT_OPEN, false, true, false, false, true, false},
      {ELEMENT_CLOSE, false, false, true, false, false, true},
      {ELEMENT_OPEN | ELEMENT_CLOSE, false, false, false, true, true, true},
      {ELEMENT_PI | ELEMENT_OPEN, true, true, false, false, true, false},
      {0, false, false, false, false, false, false},
  };
  for (const Case& c : kCases) {
    AnyHtmlElement e;
    e.set_flags(c.flags);
    EXPECT_EQ(e.IsProcessingInstruction(), c.pi) << c.flags;
    EXPECT_EQ(e.IsStartTag(), c.start) << c.flags;
    EXPECT_EQ(e.IsEndTag(), c.end) << c.flags;
    EXPECT_EQ(e.IsEmptyElementTag(), c.empty) << c.flags;
    EXPECT_EQ(e.HasOpen(), c.open) << c.flags;
    EXPECT_EQ(e.HasClose(), c.close) << c.flags;
  }
}

TEST(AnyHtmlElement, NamesAndAttributesCompareIgnoringAsciiCase) {
  const std::string tag = "<IMG SRC='a.gif' Alt=\"x y\" ismap data-x=\"\">";
  AnyHtmlElement e;
  ParseTag(tag, &e);
  EXPECT_TRUE(e.NameIs("img"));
  EXPECT_TRUE(e.NameIs("IMG"));
  EXPECT_FALSE(e.NameIs("im"));
  EXPECT_FALSE(e.NameIs("image"));

  struct Case {
    const char* name;
    const char* value;  // null: GetAttribute gives null
  };
  const Case kCases[] = {
      {"src", "a.gif"}, {"SRC", "a.gif"},   {"alt", "x y"},  {"ismap", nullptr},
      {"data-x", ""},   {"title", nullptr}, {"sr", nullptr},
  };
  for (const Case& c : kCases) {
    const char* got = e.GetAttribute(c.name);
    if (!c.value) {
      EXPECT_EQ(got, nullptr) << c.name;
    } else {
      ASSERT_NE(got, nullptr) << c.name;
      EXPECT_STREQ(got, c.value) << c.name;
    }
  }
  EXPECT_NE(e.FindAttribute("ismap"), nullptr);
  EXPECT_EQ(e.FindAttribute("ismap")->value(), nullptr);
  EXPECT_EQ(e.FindAttribute("nothing"), nullptr);

  AnyHtmlElement unnamed;
  EXPECT_FALSE(unnamed.NameIs("img"));
  EXPECT_EQ(unnamed.GetAttribute("src"), nullptr);
}

// A change to apply to a parsed tag before RebuildText.
enum Change { kNone, kSetStyle, kRemoveBackground, kAppendStyle, kSetIsmap, kSetTitle };

TEST(AnyHtmlElement, RebuildTextRegeneratesTheTag) {
  struct Case {
    const char* tag;
    Change change;
    const char* argument;
    const char* expected;
  };
  const Case kCases[] = {
      {"<img src='a.gif'>", kNone, "", "<img src='a.gif'>"},
      {"<img src=a.gif width=20>", kSetStyle, "display: none;",
       "<img src=\"a.gif\" width=\"20\" style=\"display: none;\">"},
      {"<br/>", kNone, "", "<br />"},
      {"<?xml version=\"1.0\"?>", kNone, "", "<?xml version=\"1.0\" ?>"},
      {"</td >", kNone, "", "</td>"},
      {"<A\n  HREF=x\tismap\r\n>", kNone, "", "<A HREF=\"x\" ismap>"},
      {"<IMG SRC=\"ad.gif\" Width=200 Height=200>", kSetStyle, "display: none;",
       "<IMG SRC=\"ad.gif\" Width=\"200\" Height=\"200\" style=\"display: none;\">"},
      {"<td background=ad.jpg bgcolor=red>", kRemoveBackground, "",
       "<td bgcolor=\"red\">"},
      {"<iframe src=ad.html style=\"border:0;\">", kAppendStyle, "display: none;",
       "<iframe src=\"ad.html\" style=\"border:0;display: none;\">"},
      {"<iframe src=ad.html style=\"border:0\">", kAppendStyle, "display: none;",
       "<iframe src=\"ad.html\" style=\"border:0display: none;\">"},
      {"<img ismap src=x>", kSetIsmap, "1", "<img ismap=\"1\" src=\"x\">"},
      {"<img src=x>", kSetStyle, "", "<img src=\"x\" style=\"\">"},
      {"<a href=>", kNone, "", "<a href>"},
      // A value with quotes of one kind is enclosed in the other kind, so that
      // it stays one attribute.
      {"<div style='font-family:\"Arial\";'>", kAppendStyle, "display: none;",
       "<div style='font-family:\"Arial\";display: none;'>"},
      {"<a title=it's>", kNone, "", "<a title=\"it's\">"},
      {"<a title=x>", kSetTitle, "say \"it's\"", "<a title=\"say &quot;it's&quot;\">"},
  };
  for (const Case& c : kCases) {
    std::string tag = c.tag;
    AnyHtmlElement e;
    ParseTag(tag, &e);
    switch (c.change) {
      case kNone:
        break;
      case kSetStyle:
        e.SetAttribute("style", c.argument);
        break;
      case kRemoveBackground:
        e.RemoveAttribute("background");
        break;
      case kAppendStyle: {
        const char* style = e.GetAttribute("style");
        e.SetAttribute("style", std::string(style ? style : "") + c.argument);
        break;
      }
      case kSetIsmap:
        e.SetAttribute("ISMAP", c.argument);
        break;
      case kSetTitle:
        e.SetAttribute("title", c.argument);
        break;
    }
    EXPECT_EQ(TextOf(e), tag) << c.tag << ": text changed before RebuildText";
    EXPECT_EQ(e.RebuildText(), 0) << c.tag;
    EXPECT_EQ(TextOf(e), c.expected) << c.tag;
    std::string appended = "x";
    e.AppendTextTo(&appended);
    EXPECT_EQ(appended, std::string("x") + c.expected) << c.tag;
  }
}

TEST(AnyHtmlElement, RebuildTextWithoutNameFailsWithEmptyText) {
  AnyHtmlElement e;
  e.set_flags(ELEMENT_OPEN);
  e.SetAttribute("style", "x");
  EXPECT_EQ(e.RebuildText(), -1);
  EXPECT_TRUE(e.has_rebuilt_text());
  EXPECT_EQ(TextOf(e), "");
  std::string out = "keep";
  e.AppendTextTo(&out);
  EXPECT_EQ(out, "keep");
}

TEST(AnyHtmlElement, RemoveAttributeRemovesOnlyTheFirstMatch) {
  const std::string tag = "<td class=a CLASS=b id=c>";
  AnyHtmlElement e;
  ParseTag(tag, &e);
  e.RemoveAttribute("class");
  ASSERT_EQ(e.attribute_count(), 2u);
  EXPECT_STREQ(e.GetAttribute("class"), "b");
  e.RemoveAttribute("missing");
  EXPECT_EQ(e.attribute_count(), 2u);
  // An attribute added after a removal goes at the end.
  e.SetAttribute("style", "s");
  ASSERT_EQ(e.RebuildText(), 0);
  EXPECT_EQ(TextOf(e), "<td CLASS=\"b\" id=\"c\" style=\"s\">");
}

TEST(AnyHtmlElement, AddedAttributesAndNamesAreOwned) {
  AnyHtmlElement e;
  e.set_flags(ELEMENT_OPEN | ELEMENT_CLOSE);
  auto name = std::make_unique<AnyHtmlName>(true);
  name->SetText("embed");
  e.SetName(std::move(name));
  auto attr_name = std::make_unique<AnyHtmlName>(true);
  attr_name->SetText("src");
  auto attr_value = std::make_unique<AnyHtmlValue>(true);
  attr_value->SetText("a.swf");
  e.AddAttribute(
      std::make_unique<AnyHtmlAttr>(std::move(attr_name), std::move(attr_value)));
  e.AddAttribute(std::make_unique<AnyHtmlAttr>(nullptr, nullptr));  // no name: skipped
  EXPECT_TRUE(e.NameIs("EMBED"));
  EXPECT_STREQ(e.GetAttribute("src"), "a.swf");
  ASSERT_EQ(e.RebuildText(), 0);
  EXPECT_EQ(TextOf(e), "<embed src=\"a.swf\" />");
  e.SetName(nullptr);
  EXPECT_EQ(e.name(), nullptr);
}

TEST(AnyHtmlElement, CloneIsDeepAndKeepsType) {
  const std::string tag = "<a href=x title='t'>";
  auto original = std::make_unique<AnyHtmlElement>();
  ParseTag(tag, original.get());
  original->set_type(NODE_TEXT);  // as the parser re-types a failed tag
  std::unique_ptr<AnyHtmlNode> clone_node = original->Clone();
  auto* clone = static_cast<AnyHtmlElement*>(clone_node.get());
  EXPECT_EQ(clone->type(), NODE_TEXT);
  EXPECT_EQ(TextOf(*clone), tag);

  clone->SetAttribute("href", "y");
  ASSERT_EQ(clone->RebuildText(), 0);
  EXPECT_STREQ(original->GetAttribute("href"), "x");
  EXPECT_EQ(TextOf(*original), tag);

  // The clone lives on after the original is reset and reused or deleted.
  original->Reset();
  original.reset();
  EXPECT_EQ(TextOf(*clone), "<a href=\"y\" title='t'>");
  EXPECT_STREQ(clone->GetAttribute("title"), "t");

  // Value and name clones keep their class and state.
  AnyHtmlName name(true);
  name.SetText("n");
  std::unique_ptr<AnyHtmlNode> name_clone = name.Clone();
  EXPECT_EQ(name_clone->type(), NODE_NAME);
  EXPECT_NE(dynamic_cast<AnyHtmlName*>(name_clone.get()), nullptr);
  EXPECT_EQ(TextOf(*name_clone), "n");
  AnyHtmlValue script(false);
  script.set_type(NODE_SCRIPT);
  script.SetSpan(tag.data(), tag.data() + 2);
  EXPECT_EQ(script.Clone()->type(), NODE_SCRIPT);
  EXPECT_EQ(TextOf(*script.Clone()), "<a");
}

}  // namespace
