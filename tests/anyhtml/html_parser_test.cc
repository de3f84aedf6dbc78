// The parser: the sequence of nodes for the markup that matters, encoding
// detection, parser state across pages, the byte-for-byte round trip (tricky
// inputs, every prefix of a page that covers every scanner state, and the
// shared corpus), and node lifetime (clones, reuse between callbacks).

#include <string.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "anyhtml/html_parser.h"
#include "anyhtml/parse_recorder.h"
#include "common/test_support.h"

using namespace cvie;
using cvie::testing::ParseExact;
using cvie::testing::RecordingParser;

namespace {

struct SequenceCase {
  std::string input;
  int encoding;
  std::string nodes;  // RecordingParser::Describe()
};

TEST(AnyHtmlParser, CutsPagesIntoNodes) {
  const SequenceCase kCases[] = {
      {"a < b", 0, "TEXT[a ]TEXT[< b]"},
      {"<1>", 0, "TEXT[]TEXT[<1>]"},
      {"x<a href=y>z</a>", 0, "TEXT[x]ELEMENT[<a href=y>]TEXT[z]ELEMENT[</a>]"},
      {"<!-->", 0, "TEXT[]COMMENT[<!-->]"},
      {"<!-- x", 0, "TEXT[]COMMENT[<!-- x]"},
      {"<!-- a -- b -->c", 0, "TEXT[]COMMENT[<!-- a -- b -->]TEXT[c]"},
      {"<!DOCTYPE html>\n", 0, "TEXT[]DTD[<!DOCTYPE html>]TEXT[\n]"},
      {"<![CDATA[x<y]]>", 0, "TEXT[]CDATA[<![CDATA[x<y]]>]"},
      {"<!", 0, "TEXT[]DTD[<!]"},
      {"<![CDATA", 0, "TEXT[]DTD[<![CDATA]"},
      {"<", 0, "TEXT[]TEXT[<]"},
      {"a<", 0, "TEXT[a]TEXT[<]"},
      {"</", 0, "TEXT[]TEXT[</]"},
      {"< p>", 0, "TEXT[]TEXT[< p>]"},
      {"<_x>", 0, "TEXT[]ELEMENT[<_x>]"},
      {"<a href=<b>", 0, "TEXT[]TEXT[<a href=]TEXT[]ELEMENT[<b>]"},
      {"<td width=\"50", 0, "TEXT[]TEXT[<td width=\"50]"},
      {"<a / b>c", 0, "TEXT[]TEXT[<a /]TEXT[ b>c]"},
      {"<script>if (a<b) x();</script>", 0,
       "TEXT[]ELEMENT[<script>]SCRIPT[if (a<b) x();]TEXT[]ELEMENT[</script>]"},
      {"<SCRIPT>x</Script>", 0,
       "TEXT[]ELEMENT[<SCRIPT>]SCRIPT[x]TEXT[]ELEMENT[</Script>]"},
      {"<script><!-- document.write(\"</script>\"); --></script>", 0,
       "TEXT[]ELEMENT[<script>]SCRIPT[<!-- document.write(\"</script>\"); -->]"
       "TEXT[]ELEMENT[</script>]"},
      {"<script src=x.js />y", 0, "TEXT[]ELEMENT[<script src=x.js />]TEXT[y]"},
      {"<script></script>", 0, "TEXT[]ELEMENT[<script>]SCRIPT[]TEXT[]ELEMENT[</script>]"},
      {"<script>x", 0, "TEXT[]ELEMENT[<script>]SCRIPT[x]"},
      {"<script>", 0, "TEXT[]ELEMENT[<script>]SCRIPT[]"},
      // A comment that never closes, or closes with no "</script>" after it,
      // does not hide the first "</script>".
      {"<script><!-- a </script> b", 0,
       "TEXT[]ELEMENT[<script>]SCRIPT[<!-- a ]TEXT[]ELEMENT[</script>]TEXT[ b]"},
      {"<script><!-- </script> --> x", 0,
       "TEXT[]ELEMENT[<script>]SCRIPT[<!-- ]TEXT[]ELEMENT[</script>]TEXT[ --> x]"},
      // A comment opened after the first "</script>" does not count.
      {"<script>a</script><!-- </script> -->", 0,
       "TEXT[]ELEMENT[<script>]SCRIPT[a]TEXT[]ELEMENT[</script>]"
       "TEXT[]COMMENT[<!-- </script> -->]"},
      {"</script>x", 0, "TEXT[]ELEMENT[</script>]TEXT[x]"},  // an end tag opens no body
      {"<?xml version=\"1.0\"?><p>", 0,
       "TEXT[]ELEMENT[<?xml version=\"1.0\"?>]TEXT[]ELEMENT[<p>]"},
      // In UTF-8 mode markers count only at character boundaries.
      {"<!--\xE0-->x-->y", 0, "TEXT[]COMMENT[<!--\xE0-->]TEXT[x-->y]"},
      {"<!--\xE0-->x-->y", 1, "TEXT[]COMMENT[<!--\xE0-->x-->]TEXT[y]"},
      {"<a title=\"\xE9\">b\">c", 1, "TEXT[]ELEMENT[<a title=\"\xE9\">b\">]TEXT[c]"},
      {"<a title=\"\xE9\">b\">c", 0, "TEXT[]ELEMENT[<a title=\"\xE9\">]TEXT[b\">c]"},
  };
  for (const SequenceCase& c : kCases) {
    RecordingParser parser;
    EXPECT_EQ(ParseExact(&parser, c.input, c.encoding), 0) << c.input;
    EXPECT_EQ(parser.Describe(), c.nodes) << c.input;
    EXPECT_EQ(parser.output, c.input) << c.input;
  }
}

TEST(AnyHtmlParser, ElementsComeThroughOnElementAndFailuresThroughOnNode) {
  RecordingParser parser;
  ASSERT_EQ(ParseExact(&parser, "<b>x<a href=<i>", 0), 0);
  ASSERT_EQ(parser.nodes.size(), 6u);
  const bool kThroughOnElement[] = {false, true, false, false, false, true};
  for (size_t i = 0; i < parser.nodes.size(); ++i) {
    EXPECT_EQ(parser.nodes[i].through_on_element, kThroughOnElement[i]) << i;
  }
  EXPECT_EQ(parser.element_count(), 2);
}

TEST(AnyHtmlParser, EmptyInputDeliversNothing) {
  RecordingParser parser;
  EXPECT_EQ(parser.Parse(nullptr, 10, 0), 0);
  EXPECT_EQ(parser.Parse("abc", 0, 0), 0);
  EXPECT_TRUE(parser.nodes.empty());
}

struct EncodingCase {
  const char* name;
  std::string input;
  int given;
  int encoding;
  std::string charset;
  bool look_for_meta;
};

TEST(AnyHtmlParser, DecidesTheEncoding) {
  const EncodingCase kCases[] = {
      {"nothing", "<html><body>x", 0, 0, "", false},
      {"byte-order mark", "\xEF\xBB\xBF<p>", 0, 1, "", true},
      {"mark with encoding given", "\xEF\xBB\xBF<p>", 2, 2, "", true},
      {"XML declaration", "<?xml version=\"1.0\"?><p>", 0, 1, "", false},
      {"XML declaration, other charset",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", 0, 2, "ISO-8859-1", false},
      {"XML declaration, utf8", "<?XML encoding='utf8'?>", 0, 1, "utf8", false},
      {"XML declaration, empty encoding", "<?xml encoding=''?>", 0, 0, "", false},
      {"XML declaration not first", "<p><?xml version=\"1.0\"?>", 0, 0, "", true},
      {"XML declaration after mark", "\xEF\xBB\xBF<?xml encoding='latin1'?>", 0, 1, "",
       true},
      {"meta", "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">",
       0, 1, "utf-8", false},
      {"meta, other charset",
       "<META HTTP-EQUIV=content-type CONTENT=\"text/html; charset=ISO-8859-1\">", 0, 2,
       "ISO-8859-1", false},
      {"meta after body",
       "<body><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">", 0,
       0, "", false},
      {"meta without http-equiv", "<meta charset=\"utf-8\">", 0, 0, "", true},
      {"other meta first",
       "<meta http-equiv=refresh content=5>"
       "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">",
       0, 1, "utf-8", false},
      {"meta without charset ends the search",
       "<meta http-equiv=\"Content-Type\" content=\"text/html\">"
       "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">",
       0, 0, "", false},
      {"charset= is case-sensitive",
       "<meta http-equiv=\"Content-Type\" content=\"text/html; Charset=utf-8\">", 0, 0,
       "", false},
      {"meta with encoding given",
       "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">", 2, 2,
       "", true},
  };
  for (const EncodingCase& c : kCases) {
    RecordingParser parser;
    EXPECT_EQ(ParseExact(&parser, c.input, c.given), 0) << c.name;
    EXPECT_EQ(parser.encoding(), c.encoding) << c.name;
    EXPECT_EQ(parser.charset(), c.charset) << c.name;
    EXPECT_EQ(parser.look_for_meta(), c.look_for_meta) << c.name;
    EXPECT_EQ(parser.output, c.input) << c.name;
  }
}

TEST(AnyHtmlParser, CallbacksSeeTheEncodingDecidedSoFar) {
  RecordingParser parser;
  std::string page =
      "a<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">b";
  ASSERT_EQ(ParseExact(&parser, page, 0), 0);
  ASSERT_EQ(parser.nodes.size(), 3u);
  EXPECT_EQ(parser.nodes[0].encoding, 0);  // a
  EXPECT_EQ(parser.nodes[1].encoding, 0);  // the meta element itself
  EXPECT_EQ(parser.nodes[2].encoding, 1);  // b
}

TEST(AnyHtmlParser, StateSpansParsesOfOneObject) {
  RecordingParser parser;
  ASSERT_EQ(ParseExact(&parser, "<?xml encoding=\"latin1\"?>", 0), 0);
  EXPECT_EQ(parser.charset(), "latin1");
  EXPECT_EQ(parser.element_count(), 1);
  // A second page: the charset is emptied, the count goes on, and the meta
  // search stays ended.
  ASSERT_EQ(
      ParseExact(
          &parser,
          "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">", 0),
      0);
  EXPECT_EQ(parser.charset(), "");
  EXPECT_EQ(parser.encoding(), 0);
  EXPECT_EQ(parser.element_count(), 2);
}

// A page that passes through every state of the scanner: text, markup of each
// kind, tags with every form of attribute, script bodies with and without
// comments, processing instructions, failed tags, UTF-8 characters of each
// length and invalid bytes.
const char kEveryState[] =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding='utf-8'?>\n"
    "<!DOCTYPE html><html><head>"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
    "<title>caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80</title>"
    "<script type=text/javascript>if (a < b && c > d) x('</scr' + 'ipt>');</script>"
    "<script><!-- document.write(\"</script>\"); --></script>"
    "<![CDATA[ x < y ]]><!-- comment -- with dashes -->"
    "</head><body bgcolor = \"#fff\" onload='f(\"x\")'>"
    "<a href=/ads/x.html target=_blank><img src=b.gif width=50% ismap/></a>"
    "<p>a < b, 1<2 </ p> <a href=<b>bold</b> <td width=\"5\xE9\"> "
    "\xE9\xE0\xC3( <div id=banner1\tclass=ad\n>text</div>"
    "<? php ?><?php echo 1 ?><br/><br />"
    "<embed src=\"a.swf\"></embed>";

TEST(AnyHtmlParser, EveryPrefixRoundTripsWithoutReadingPastTheInput) {
  // Each prefix ends the input in a different state (inside a tag, a quoted
  // value, a comment, a script body, a UTF-8 character...). The prefix is
  // handed over in a block of exactly its size: the address sanitizer build
  // reports any read past it.
  const std::string page = kEveryState;
  for (int encoding : {0, 1, 2}) {
    for (size_t length = 0; length <= page.size(); ++length) {
      std::string prefix = page.substr(0, length);
      RecordingParser parser;
      int result = ParseExact(&parser, prefix, encoding);
      ASSERT_EQ(result, 0) << "encoding " << encoding << ", length " << length;
      ASSERT_EQ(parser.output, prefix)
          << "encoding " << encoding << ", length " << length;
      ASSERT_FALSE(parser.text_failed);
    }
  }
}

TEST(AnyHtmlParser, ZeroBytesAndOddBytesRoundTrip) {
  const std::string kInputs[] = {
      std::string("a\0b<p\0>c<!--\0-->", 16),
      std::string("<a href=\"x\0y\">", 14),
      std::string("\0\0\0", 3),
      "\xFF\xFE<\xFF>\x80\x80",
      "<script>\xE0</script>\xF4",
      "\r\n\r\n<BODY\r\n>\r\n",
  };
  for (const std::string& input : kInputs) {
    for (int encoding : {0, 1}) {
      RecordingParser parser;
      EXPECT_EQ(ParseExact(&parser, input, encoding), 0);
      EXPECT_EQ(parser.output, input) << "encoding " << encoding;
    }
  }
}

// Keeps a clone of every node and writes them only after parsing, so that
// clones must stay valid when the parser reuses its node objects.
class CloningParser : public AnyHtmlParser {
 public:
  int OnNode(AnyHtmlNode* node, int) override {
    clones.push_back(node->Clone());
    return 0;
  }
  int OnElement(AnyHtmlElement* element, int) override {
    clones.push_back(element->Clone());
    return 0;
  }
  std::vector<std::unique_ptr<AnyHtmlNode>> clones;
};

TEST(AnyHtmlParser, ClonesOutliveTheCallback) {
  // The page outlives the clones; the parser's own node objects do not.
  const std::string page = kEveryState;
  CloningParser kept;
  ASSERT_EQ(kept.Parse(page.data(), page.size(), 0), 0);
  std::string joined;
  for (const auto& node : kept.clones) {
    const char* text;
    size_t length;
    ASSERT_EQ(node->GetText(&text, &length), 0);
    joined.append(text, length);
  }
  EXPECT_EQ(joined, page);
  // The element clones carry their own attributes.
  size_t elements_with_href = 0;
  for (const auto& node : kept.clones) {
    if (node->type() != NODE_ELEMENT) continue;
    const auto* element = static_cast<const AnyHtmlElement*>(node.get());
    if (element->NameIs("a") && element->GetAttribute("href")) ++elements_with_href;
  }
  EXPECT_EQ(elements_with_href, 1u);  // <a href=<b> failed and is text
}

// Changes every element in its callback, as the page editor does, and records
// what each element looked like when it arrived.
class ChangingParser : public AnyHtmlParser {
 public:
  int OnNode(AnyHtmlNode* node, int) override {
    if (node->type() == NODE_SCRIPT) static_cast<AnyHtmlValue*>(node)->SetText("changed");
    return Write(*node);
  }
  int OnElement(AnyHtmlElement* element, int) override {
    arrived.push_back(std::to_string(element->attribute_count()) +
                      (element->has_rebuilt_text() ? "r" : ""));
    element->SetAttribute("style", "display: none;");
    element->RebuildText();
    return Write(*element);
  }
  int Write(const AnyHtmlNode& node) {
    const char* text;
    size_t length;
    if (node.GetText(&text, &length) == 0) output.append(text, length);
    return 0;
  }
  std::vector<std::string> arrived;
  std::string output;
};

TEST(AnyHtmlParser, EachCallbackGetsAFreshNode) {
  ChangingParser parser;
  std::string page = "<p a=1 b=2><script>x</script><br>";
  ASSERT_EQ(parser.Parse(page.data(), page.size(), 0), 0);
  EXPECT_EQ(parser.arrived, (std::vector<std::string>{"2", "0", "0", "0"}));
  EXPECT_EQ(parser.output,
            "<p a=\"1\" b=\"2\" style=\"display: none;\">"
            "<script style=\"display: none;\">changed"
            "</script style=\"display: none;\">"
            "<br style=\"display: none;\">");
}

TEST(AnyHtmlParser, ManyScriptsWithOpenCommentsKeepTheirBodies) {
  // Every script opens a comment that closes only at the very end, after the
  // last "</script>"... and then no "</script>" follows: each body ends at its
  // own first "</script>".
  std::string page;
  std::string expected_bodies;
  for (int i = 0; i < 200; ++i) page += "<script><!--" + std::to_string(i) + "</script>";
  page += "-->";
  RecordingParser parser;
  ASSERT_EQ(ParseExact(&parser, page, 0), 0);
  EXPECT_EQ(parser.output, page);
  int bodies = 0;
  for (const auto& node : parser.nodes) {
    if (node.type != NODE_SCRIPT) continue;
    EXPECT_EQ(node.text, "<!--" + std::to_string(bodies));
    ++bodies;
  }
  EXPECT_EQ(bodies, 200);
}

TEST(AnyHtmlParser, CorpusPagesRoundTripByteForByte) {
  std::filesystem::path shared = cvie::testing::SharedDir();
  if (shared.empty() || !std::filesystem::is_directory(shared / "corpus" / "pages")) {
    GTEST_SKIP() << "shared corpus absent";
  }
  int pages = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(shared / "corpus" / "pages")) {
    std::string page;
    ASSERT_TRUE(cvie::testing::ReadFile(entry.path(), &page)) << entry.path();
    for (int encoding : {0, 1}) {
      RecordingParser parser;
      ASSERT_EQ(ParseExact(&parser, page, encoding), 0) << entry.path();
      ASSERT_EQ(parser.output.size(), page.size()) << entry.path();
      ASSERT_TRUE(parser.output == page) << entry.path() << " encoding " << encoding;
    }
    ++pages;
  }
  EXPECT_GT(pages, 0);
}

}  // namespace
