// The scanning routines: character reading, marker search (character
// boundaries in UTF-8 mode), white space, names, and the tag parser's results
// and stopping points.

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "anyhtml/html_scan.h"

using namespace cvie;

namespace {

// An exactly sized heap copy, so that AddressSanitizer catches reads past it.
class Exact {
 public:
  explicit Exact(const std::string& text)
      : size_(text.size()), data_(new char[size_ + 1]) {
    memcpy(data_.get(), text.data(), size_);
  }
  const char* begin() const { return data_.get(); }
  const char* end() const { return data_.get() + size_; }

 private:
  size_t size_;
  std::unique_ptr<char[]> data_;
};

TEST(HtmlScan, ReadChar) {
  struct Case {
    std::string input;
    size_t offset;
    int encoding;
    int result;
    int length;
    std::string copied;
  };
  const Case kCases[] = {
      {"a", 0, 0, 0, 1, "a"},
      {"a", 1, 0, 1, 0, ""},  // at end
      {"\xC3\xA9x", 0, 1, 0, 2, "\xC3\xA9"},
      {"\xC3\xA9x", 0, 0, 0, 1, "\xC3"},  // single-byte mode
      {"\xE2\x82\xAC", 0, 1, 0, 3, "\xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80", 0, 1, 0, 4, "\xF0\x9F\x98\x80"},
      {"\xE2\x82", 0, 1, 0, 2, "\xE2\x82"},  // shortened at the end of input
      {std::string("\xE2\x00\x41", 3), 0, 1, 0, 3, "\xE2"},  // copy stops at zero
      {std::string("\x00", 1), 0, 1, 0, 1, std::string("\x00", 1)},
      {"\xBF", 0, 1, 0, 1, "\xBF"},  // continuation byte alone
  };
  for (const Case& c : kCases) {
    Exact in(c.input);
    char bytes[4];
    int length = 0;
    int copied = 0;
    int result =
        ReadChar(in.begin() + c.offset, in.end(), c.encoding, bytes, &length, &copied);
    EXPECT_EQ(result, c.result) << c.input;
    if (result == 0) {
      EXPECT_EQ(length, c.length) << c.input;
      EXPECT_EQ(std::string(bytes, copied), c.copied) << c.input;
    }
  }
}

TEST(HtmlScan, MatchText) {
  struct Case {
    const char* p;
    const char* text;
    bool case_insensitive;
    bool whole;
    bool expected;
  };
  const Case kCases[] = {
      {"-->x", "-->", false, false, true},
      {"-->x", "-->", false, true, false},
      {"-->", "-->", false, true, true},
      {"--", "-->", false, false, false},
      {"</SCRIPT>", "</script>", true, false, true},
      {"</SCRIPT>", "</script>", false, false, false},
      {"", "", false, true, true},
      {"", "a", false, false, false},
      {"", "", false, false, true},
      {"abc", "", false, false, true},
      {"abc", "", false, true, false},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(MatchText(c.p, c.text, c.case_insensitive, c.whole), c.expected)
        << "'" << c.p << "' vs '" << c.text << "' ci=" << c.case_insensitive
        << " whole=" << c.whole;
  }
}

TEST(HtmlScan, FindMarker) {
  struct Case {
    const char* name;
    std::string input;
    const char* marker;
    bool case_insensitive;
    int encoding;
    int result;
    size_t position;  // offset from the start of input
    std::string collected;
  };
  const Case kCases[] = {
      {"found", "ab-->cd", "-->", false, 0, 0, 5, "ab"},
      {"found at start", "-->", "-->", false, 0, 0, 3, ""},
      {"missing", "ab--", "-->", false, 0, 1, 4, "ab--"},
      {"marker cut by the end", "ab-", "-->", false, 0, 1, 3, "ab-"},
      {"case-insensitive", "x</ScRiPt>y", "</script>", true, 0, 0, 10, "x"},
      {"case-sensitive misses", "x</ScRiPt>y", "</script>", false, 0, 1, 11,
       "x</ScRiPt>y"},
      {"single-byte mode sees every byte", "\xE0-->x-->", "-->", false, 0, 0, 4, "\xE0"},
      {"UTF-8 mode steps over a character", "\xE0-->x-->", "-->", false, 1, 0, 8,
       "\xE0-->x"},
      {"UTF-8 mode, valid text", "\xC3\xA9\xE2\x82\xAC\"", "\"", false, 1, 0, 6,
       "\xC3\xA9\xE2\x82\xAC"},
      {"UTF-8 lead byte swallows the quote", "\xE9\"ab\"c", "\"", false, 1, 0, 5,
       "\xE9\"ab"},
      {"zero byte inside a character is not collected",
       std::string("a\xC3\x00"
                   "b\"",
                   5),
       "\"", false, 1, 0, 5,
       "a\xC3"
       "b"},
      {"zero byte in single-byte mode is collected",
       std::string("a\x00"
                   "b\"",
                   4),
       "\"", false, 0, 0, 4,
       std::string("a\x00"
                   "b",
                   3)},
      {"long ASCII run before a lead byte", "0123456789abcdef\xE2\x82\xAC-->", "-->",
       false, 1, 0, 22, "0123456789abcdef\xE2\x82\xAC"},
  };
  for (const Case& c : kCases) {
    Exact in(c.input);
    std::string collected;
    const char* position = nullptr;
    int result = FindMarker(in.begin(), in.end(), c.marker, c.case_insensitive,
                            c.encoding, &collected, &position);
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(static_cast<size_t>(position - in.begin()), c.position) << c.name;
    EXPECT_EQ(collected, c.collected) << c.name;
    // Without a collector the search ends the same way.
    const char* position2 = nullptr;
    EXPECT_EQ(FindMarker(in.begin(), in.end(), c.marker, c.case_insensitive, c.encoding,
                         nullptr, &position2),
              c.result)
        << c.name;
    EXPECT_EQ(position2, position) << c.name;
  }
}

TEST(HtmlScan, FindMarkerAtOrPastEndFails) {
  Exact in("abc");
  const char* position = nullptr;
  EXPECT_EQ(FindMarker(in.end(), in.end(), "x", false, 0, nullptr, &position), 1);
  EXPECT_EQ(position, in.end());
}

TEST(HtmlScan, SkipWhitespace) {
  struct Case {
    const char* name;
    std::string input;
    int encoding;
    int result;
    size_t position;
  };
  const Case kCases[] = {
      {"all kinds of space", " \t\n\v\f\rx", 0, 0, 6},
      {"nothing to skip", "x ", 0, 0, 0},
      {"to the end", " \t ", 0, 1, 3},
      {"empty", "", 0, 1, 0},
      {"BOM in UTF-8 mode", " \xEF\xBB\xBF x", 1, 0, 5},
      {"BOM in single-byte mode", " \xEF\xBB\xBF x", 0, 0, 1},
      {"EF BF BE and EF BF BF", "\xEF\xBF\xBE\xEF\xBF\xBFx", 1, 0, 6},
      {"other EF sequence", "\xEF\xBB\xBE", 1, 0, 0},
      {"BOM cut by the end", "\xEF\xBB", 1, 0, 0},
  };
  for (const Case& c : kCases) {
    Exact in(c.input);
    const char* position = nullptr;
    EXPECT_EQ(SkipWhitespace(in.begin(), in.end(), c.encoding, &position), c.result)
        << c.name;
    EXPECT_EQ(static_cast<size_t>(position - in.begin()), c.position) << c.name;
  }
}

TEST(HtmlScan, ReadName) {
  struct Case {
    std::string input;
    int result;
    std::string name;
    size_t position;
  };
  const Case kCases[] = {
      {"abc def", 0, "abc", 3},
      {"_x-1.y:z>", 0, "_x-1.y:z", 8},
      {"data-src=", 0, "data-src", 8},
      {"\xC3\xA9t\xC3\xA9 ", 0, "\xC3\xA9t\xC3\xA9", 5},
      {"1abc", 2, "", 0},
      {"-x", 2, "", 0},
      {"\"x", 2, "", 0},
      {"", 1, "", 0},
      {"name", 0, "name", 4},  // runs to the end of input
  };
  for (const Case& c : kCases) {
    Exact in(c.input);
    std::string name = "";
    const char* position = nullptr;
    EXPECT_EQ(ReadName(in.begin(), in.end(), &name, &position), c.result) << c.input;
    EXPECT_EQ(name, c.name) << c.input;
    EXPECT_EQ(static_cast<size_t>(position - in.begin()), c.position) << c.input;
  }
}

// What ParseElement made of a tag: "name|flags|attr=value|attr|..." where a
// value is written as its span text.
std::string DescribeElement(const AnyHtmlElement& e) {
  std::string out = e.name() ? e.name()->own_text() : "(none)";
  out += "|" + std::to_string(e.flags());
  for (size_t i = 0; i < e.attribute_count(); ++i) {
    const AnyHtmlAttr* attr = e.attribute(i);
    out += "|" + attr->name()->own_text();
    if (attr->value()) {
      const char* text;
      size_t length;
      attr->value()->GetText(&text, &length);
      out += "=" + std::string(text, length) + "(" + attr->value()->own_text() + ")";
    }
  }
  return out;
}

TEST(HtmlScan, ParseElement) {
  constexpr uint32_t O = ELEMENT_OPEN, C = ELEMENT_CLOSE, P = ELEMENT_PI;
  struct Case {
    std::string input;
    int encoding;
    int result;
    size_t stop;
    std::string description;  // checked when result is 0
  };
  const Case kCases[] = {
      {"<img src=a.gif alt=\"x y\" ismap>", 0, 0, 31,
       "img|" + std::to_string(O) + "|src=a.gif(a.gif)|alt=\"x y\"(x y)|ismap"},
      {"<a href=>", 0, 0, 9, "a|" + std::to_string(O) + "|href"},
      {"<a href=/>", 0, 0, 10, "a|" + std::to_string(O | C) + "|href"},
      {"<a x=y/>", 0, 0, 8, "a|" + std::to_string(O | C) + "|x=y(y)"},
      {"<br/>", 0, 0, 5, "br|" + std::to_string(O | C)},
      {"</td >", 0, 0, 6, "td|" + std::to_string(C)},
      {"<?xml version=\"1.0\"?>", 0, 0, 21,
       "xml|" + std::to_string(O | P) + "|version=\"1.0\"(1.0)"},
      {"<a b = 'c' d\n=\ne>", 0, 0, 17, "a|" + std::to_string(O) + "|b='c'(c)|d=e(e)"},
      {"<p a=x<b>", 0, 7, 6, ""},  // "<" ends the value, then is no attribute name
      {"<a \xEF\xBB\xBF href=x>", 1, 0, 14, "a|" + std::to_string(O) + "|href=x(x)"},
      {"<a \xEF\xBB\xBF href=x>", 0, 0, 14,
       "a|" + std::to_string(O) + "|\xEF\xBB\xBF|href=x(x)"},
      // Failures and where they stop.
      {"<a href=<b>", 0, 4, 8, ""},
      {"<td width=\"50", 0, 1, 13, ""},
      {"<a", 0, 1, 2, ""},
      {"<a ", 0, 4, 3, ""},
      {"<a b", 0, 8, 4, ""},
      {"<a b=", 0, 8, 5, ""},
      {"<a b=c", 0, 1, 6, ""},
      {"<a / b>", 0, 6, 4, ""},
      {"<a \"x\">", 0, 7, 3, ""},
      {"<a?>", 0, 7, 2, ""},
      {"<?a ? >", 0, 6, 5, ""},
      {"</ >", 0, 5, 2, ""},
      {"</", 0, 5, 2, ""},
      {"<", 0, 1, 1, ""},
      {"x", 0, 4, 0, ""},
  };
  for (const Case& c : kCases) {
    Exact in(c.input);
    AnyHtmlElement e;
    const char* stop = nullptr;
    int result = ParseElement(&e, in.begin(), in.end(), c.encoding, &stop);
    EXPECT_EQ(result, c.result) << c.input;
    EXPECT_EQ(static_cast<size_t>(stop - in.begin()), c.stop) << c.input;
    if (c.result == 0) {
      EXPECT_EQ(DescribeElement(e), c.description) << c.input;
    }
  }
}

TEST(HtmlScan, ParseElementNameSpanKeepsSpelling) {
  Exact in("<DiV Class=x>");
  AnyHtmlElement e;
  const char* stop;
  ASSERT_EQ(ParseElement(&e, in.begin(), in.end(), 0, &stop), 0);
  const char* text;
  size_t length;
  ASSERT_EQ(e.name()->GetText(&text, &length), 0);
  EXPECT_EQ(std::string(text, length), "DiV");
  EXPECT_EQ(text, in.begin() + 1);  // a span of the input, not a copy
  EXPECT_FALSE(e.name()->own_text_valid());
}

}  // namespace
