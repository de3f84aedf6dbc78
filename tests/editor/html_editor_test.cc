// The page editor's decisions and output, with a checker that blocks from a
// small table and records every question it is asked.

#include "anyhtml/html_editor.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "editor/editor_test_support.h"

namespace cvie {
namespace {

using testing::EditPage;
using testing::StringWriter;
using testing::TableChecker;

using Tweak = void (*)(EditorOptions&);

struct EditCase {
  const char* name;
  Tweak tweak;          // changes to the default options, or null
  const char* blocked;  // TableChecker lines
  const char* page;
  const char* expected;  // output
  const char* calls;     // questions asked, in order, joined with " | "
};

void RunCases(const EditCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const EditCase& c = cases[i];
    EditorOptions options;
    if (c.tweak) c.tweak(options);
    TableChecker checker(c.blocked);
    int result = -1;
    std::string out = EditPage(c.page, options, &checker, &result);
    EXPECT_EQ(result, 0) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
    EXPECT_EQ(checker.Calls(), c.calls) << c.name;
  }
}

void NoCollapse(EditorOptions& o) { o.collapse_blocked = 0; }

// ---- Images ----

const EditCase kImageCases[] = {
    {"image without size is taken as 100x100 and checked", nullptr, "image ad.gif",
     "<p><img src=ad.gif></p>", "<p></p>", "image ad.gif"},
    {"image at the minimum width is not checked", nullptr, "image ad.gif",
     "<img src=ad.gif width=10 height=300>", "<img src=ad.gif width=10 height=300>", ""},
    {"image at the minimum height is not checked", nullptr, "image ad.gif",
     "<img src=ad.gif width=300 height=10>", "<img src=ad.gif width=300 height=10>", ""},
    {"percent width counts as its number", nullptr, "image ad.gif",
     "<img src=ad.gif width=50%>", "", "image ad.gif"},
    {"one pixel above the minimum is checked",
     [](EditorOptions& o) {
       o.min_image_width = 49;
       o.min_image_height = 0;
     },
     "", "<img src=a.gif width=50 height=1>", "<img src=a.gif width=50 height=1>",
     "image a.gif"},
    {"huge width does not overflow", nullptr, "",
     "<img src=a.gif width=99999999999999999999>",
     "<img src=a.gif width=99999999999999999999>", "image a.gif"},
    {"negative width is below the minimum", nullptr, "", "<img src=a.gif width=-300>",
     "<img src=a.gif width=-300>", ""},
    {"image without src is never checked", nullptr, "", "<img width=200 height=200>",
     "<img width=200 height=200>", ""},
    {"image with an empty src is never checked", nullptr, "", "<img src=\"\">",
     "<img src=\"\">", ""},
    {"blocked image is hidden when collapsing is off", NoCollapse, "image ad.gif",
     "<IMG SRC=\"ad.gif\" Width=200 Height=200>",
     "<IMG SRC=\"ad.gif\" Width=\"200\" Height=\"200\" style=\"display: none;\">",
     "image ad.gif"},
    {"image element name is an image too", nullptr, "image ad.gif",
     "a<image src=ad.gif/>b", "ab", "image ad.gif"},
    {"image filter off", [](EditorOptions& o) { o.filter_image = 0; }, "image ad.gif",
     "<img src=ad.gif>", "<img src=ad.gif>", ""},
    {"allowed image passes unchanged", nullptr, "", "<img  src = 'ok.gif'\n alt=x >",
     "<img  src = 'ok.gif'\n alt=x >", "image ok.gif"},
    {"image end tag is not checked", nullptr, "image ad.gif", "</img src=ad.gif>",
     "</img src=ad.gif>", ""},
};

TEST(EditorImages, ChecksImagesAboveTheMinimumSize) {
  RunCases(kImageCases, std::size(kImageCases));
}

// ---- Links around images ----

const EditCase kAnchorCases[] = {
    {"blocked banner link is hidden, image checked twice", nullptr, "link /ads/x.html",
     "<a href=/ads/x.html><img src=b.gif></a>",
     "<a href=\"/ads/x.html\" style=\"display: none;\"><img src=b.gif></a>",
     "link /ads/x.html | image b.gif | image b.gif"},
    {"image in an allowed link is collapsed when blocked", nullptr, "image b.gif",
     "<a href=x><img src=b.gif></a>", "<a href=x></a>",
     "link x | image b.gif | image b.gif"},
    {"image hidden twice carries the style twice", NoCollapse, "image b.gif",
     "<a href=x><img src=b.gif></a>",
     "<a href=x><img src=\"b.gif\" style=\"display: none;display: none;\"></a>",
     "link x | image b.gif | image b.gif"},
    {"link without image is written unchecked", nullptr, "link x", "<a href=x>text</a>",
     "<a href=x>text</a>", ""},
    {"text and tags before the image are kept in order", nullptr, "link /ad",
     "<A HREF='/ad' target=_blank>\n <b>Buy</b> <!-- c --><img src=b.gif>\n</A>",
     "<A HREF='/ad' target=\"_blank\" style=\"display: none;\">\n <b>Buy</b> <!-- c "
     "--><img "
     "src=b.gif>\n</A>",
     "link /ad | image b.gif | image b.gif"},
    {"elements inside a link before the image are not examined", nullptr,
     "frame ad.html\nlink x",
     "<a href=x><iframe src=ad.html></iframe><div id=ad>d</div><img src=b.gif "
     "width=5></a>",
     "<a href=\"x\" style=\"display: none;\"><iframe src=ad.html></iframe><div "
     "id=ad>d</div><img "
     "src=b.gif width=5></a>",
     "link x"},
    {"image in a link is checked even with the image filter off",
     [](EditorOptions& o) { o.filter_image = 0; }, "image b.gif",
     "<a href=x><img src=b.gif></a>",
     "<a href=x><img src=\"b.gif\" style=\"display: none;\"></a>",
     "link x | image b.gif"},
    {"link check off: links open no region",
     [](EditorOptions& o) { o.check_banner_link = 0; }, "link /ads/x.html",
     "<a href=/ads/x.html><img src=b.gif></a>", "<a href=/ads/x.html><img src=b.gif></a>",
     "image b.gif"},
    {"after a link region the next element is examined again", nullptr, "frame f",
     "<a href=x>t</a><iframe src=f>",
     "<a href=x>t</a><iframe src=\"f\" style=\"display: none;\">", "frame f"},
    {"empty-element a ends the region", nullptr, "", "<a href=x>t<a/><img src=b.gif>",
     "<a href=x>t<a/><img src=b.gif>", "image b.gif"},
    {"a second link inside a link is kept pending", nullptr, "link x",
     "<a href=x><a href=y><img src=b.gif></a>",
     "<a href=\"x\" style=\"display: none;\"><a href=y><img src=b.gif></a>",
     "link x | image b.gif | image b.gif"},
    {"link with an empty href is not asked about", nullptr, "",
     "<a href=\"\"><img src=b.gif></a>", "<a href=\"\"><img src=b.gif></a>",
     "image b.gif | image b.gif"},
};

TEST(EditorAnchors, ChecksLinkTargetsOnlyAroundImages) {
  RunCases(kAnchorCases, std::size(kAnchorCases));
}

// ---- Flash ----

const EditCase kFlashCases[] = {
    {"object hidden by its movie param, embed by its src", nullptr, "flash ad.swf",
     "<object><param name=Movie value=ad.swf><embed src=ad.swf></object>",
     "<object style=\"display: none;\"><param name=Movie value=ad.swf><embed "
     "src=\"ad.swf\" "
     "style=\"display: none;\"></object>",
     "flash ad.swf | flash ad.swf"},
    {"movie is a prefix of the param name", nullptr, "flash ad.swf",
     "<object data=x>\n<param name=\"movieURL\" value=\"ad.swf\">\n</object>",
     "<object data=\"x\" style=\"display: none;\">\n<param name=\"movieURL\" "
     "value=\"ad.swf\">\n</object>",
     "flash ad.swf"},
    {"other params are not asked about", nullptr, "flash ad.swf",
     "<object><param name=quality value=ad.swf></object>",
     "<object><param name=quality value=ad.swf></object>", ""},
    {"allowed movie leaves the object as written", nullptr, "",
     "<object  width=1><param name=movie value=ok.swf></object>",
     "<object  width=1><param name=movie value=ok.swf></object>", "flash ok.swf"},
    {"the element that ends the object region is handled at once", nullptr,
     "image ad.gif", "<object><param name=movie value=m.swf><img src=ad.gif></object>",
     "<object><param name=movie value=m.swf></object>", "flash m.swf | image ad.gif"},
    {"embed outside an object", nullptr, "flash ad.swf", "<embed src=ad.swf width=1>",
     "<embed src=\"ad.swf\" width=\"1\" style=\"display: none;\">", "flash ad.swf"},
    {"flash filter off: neither object nor embed examined",
     [](EditorOptions& o) { o.filter_flash = 0; }, "flash ad.swf",
     "<object><param name=Movie value=ad.swf><embed src=ad.swf></object>",
     "<object><param name=Movie value=ad.swf><embed src=ad.swf></object>", ""},
};

TEST(EditorFlash, ChecksMovieParamsAndEmbeds) {
  RunCases(kFlashCases, std::size(kFlashCases));
}

// ---- Scripts ----

const EditCase kScriptCases[] = {
    {"blocked script source removes tags and body", nullptr, "script ad.js",
     "a<script src=ad.js>var x;</script>b", "ab", "script ad.js"},
    {"allowed script source is written as it is", nullptr, "",
     "<script src=ok.js>var x;</script>", "<script src=ok.js>var x;</script>",
     "script ok.js"},
    {"inline script is asked about as a whole", nullptr, "script-block document.write",
     "<script>document.write(\"ad\")</script><p>", "<p>",
     "script-block <script>document.write(\"ad\")</script>"},
    {"allowed inline script passes unchanged", nullptr, "",
     "<SCRIPT type=text/javascript>if (a<b) x();</Script>",
     "<SCRIPT type=text/javascript>if (a<b) x();</Script>",
     "script-block <SCRIPT type=text/javascript>if (a<b) x();</Script>"},
    {"empty src is checked by text", nullptr, "", "<script src=\"\"></script>",
     "<script src=\"\"></script>", "script-block <script src=\"\"></script>"},
    {"script without any later element is written unchecked", nullptr, "script ad.js",
     "<p><script src=ad.js>x", "<p><script src=ad.js>x", ""},
    {"empty-element script takes the text up to the next element", nullptr,
     "script ad.js", "<script src=ad.js />text<b>bold</b>", "<b>bold</b>",
     "script ad.js"},
    {"the element that ends a script region can open another", nullptr, "script ad.js",
     "<script src=ad.js /><script src=ad.js></script>|", "|",
     "script ad.js | script ad.js"},
    {"script filter off", [](EditorOptions& o) { o.filter_script = 0; }, "script ad.js",
     "<script src=ad.js></script>", "<script src=ad.js></script>", ""},
    {"a comment in a script hides an inner end tag", nullptr, "script-block ads",
     "<script><!-- document.write(\"<script src=ads.js></script>\"); --></script>!", "!",
     "script-block <script><!-- document.write(\"<script src=ads.js></script>\"); "
     "--></script>"},
};

TEST(EditorScripts, RemovesBlockedScriptsWithTheirBodies) {
  RunCases(kScriptCases, std::size(kScriptCases));
}

// ---- Style sheets, frames, divisions, backgrounds ----

const EditCase kLinkCases[] = {
    {"blocked style sheet goes with the text up to the next element", nullptr,
     "stylesheet ad.css",
     "<link rel=stylesheet type=text/css href=ad.css>\n<title>t</title>",
     "<title>t</title>", "stylesheet ad.css"},
    {"type is compared as a prefix, ignoring case", nullptr, "stylesheet ad.css",
     "<link type=\"TEXT/CSS; charset=utf-8\" href=ad.css /><b>", "<b>",
     "stylesheet ad.css"},
    {"link without type is not asked about", nullptr, "stylesheet ad.css",
     "<link rel=stylesheet href=ad.css><b>", "<link rel=stylesheet href=ad.css><b>", ""},
    {"other link types are not asked about", nullptr, "stylesheet ad.css",
     "<link type=image/png href=ad.css><b>", "<link type=image/png href=ad.css><b>", ""},
    {"style sheet filter off", [](EditorOptions& o) { o.filter_css = 0; },
     "stylesheet ad.css", "<link type=text/css href=ad.css><b>",
     "<link type=text/css href=ad.css><b>", ""},
    {"a blocked link takes a link end tag with it", nullptr, "stylesheet ad.css",
     "<link type=text/css href=ad.css></link>x", "x", "stylesheet ad.css"},
    {"one region closes before the next opens", nullptr,
     "stylesheet ad.css\nscript ad.js",
     "<link type=text/css href=ad.css><script src=ad.js></script>.", ".",
     "stylesheet ad.css | script ad.js"},
};

TEST(EditorStyleSheets, RemovesBlockedStyleSheetLinks) {
  RunCases(kLinkCases, std::size(kLinkCases));
}

const EditCase kElementCases[] = {
    {"frame style gains the hiding style", nullptr, "frame ad.html",
     "<iframe src=ad.html style=\"border:0;\"></iframe>",
     "<iframe src=\"ad.html\" style=\"border:0;display: none;\"></iframe>",
     "frame ad.html"},
    {"a style without a closing semicolon gets one before the hiding style", nullptr,
     "frame ad.html", "<iframe src=ad.html style=\"border:0\">",
     "<iframe src=\"ad.html\" style=\"border:0;display: none;\">", "frame ad.html"},
    {"trailing white space is kept and the semicolon follows it", nullptr, "div ad",
     "<div class=ad style=\"color:red \t\">",
     "<div class=\"ad\" style=\"color:red \t;display: none;\">", "div ad"},
    {"a style ending in a semicolon and white space is kept byte for byte", nullptr,
     "div ad", "<div class=ad style='color:red; '>",
     "<div class=\"ad\" style=\"color:red; display: none;\">", "div ad"},
    {"an empty style takes the hiding style alone", nullptr, "div ad",
     "<div class=ad style=\"\">", "<div class=\"ad\" style=\"display: none;\">",
     "div ad"},
    {"a blank style takes no semicolon", nullptr, "div ad", "<div class=ad style=\"  \">",
     "<div class=\"ad\" style=\"  display: none;\">", "div ad"},
    {"frame filter off", [](EditorOptions& o) { o.filter_frame = 0; }, "frame ad.html",
     "<iframe src=ad.html>", "<iframe src=ad.html>", ""},
    {"div id is asked first", nullptr, "div banner1", "<div id=banner1 class=ad>",
     "<div id=\"banner1\" class=\"ad\" style=\"display: none;\">", "div banner1"},
    {"div class when the id is allowed", nullptr, "div ad", "<div id=banner1 class=ad>",
     "<div id=\"banner1\" class=\"ad\" style=\"display: none;\">",
     "div banner1 | div ad"},
    {"empty div class is asked about as it is", nullptr, "", "<div class=\"\">x</div>",
     "<div class=\"\">x</div>", "div "},
    {"div check off", [](EditorOptions& o) { o.check_div = 0; }, "div ad",
     "<div class=ad>", "<div class=ad>", ""},
    {"blocked background is stripped", nullptr, "background ad.jpg",
     "<td background=ad.jpg bgcolor=red>", "<td bgcolor=\"red\">", "background ad.jpg"},
    {"backgrounds of body, table, tbody and tr", nullptr, "background b.jpg",
     "<body background=b.jpg><table background=b.jpg><tbody background=b.jpg><tr "
     "background=b.jpg>",
     "<body><table><tbody><tr>",
     "background b.jpg | background b.jpg | background b.jpg | background b.jpg"},
    {"background of other elements is not asked about", nullptr, "background b.jpg",
     "<th background=b.jpg>", "<th background=b.jpg>", ""},
    {"background filter off", [](EditorOptions& o) { o.filter_background = 0; },
     "background b.jpg", "<td background=b.jpg>", "<td background=b.jpg>", ""},
};

TEST(EditorElements, HidesFramesDivisionsAndStripsBackgrounds) {
  RunCases(kElementCases, std::size(kElementCases));
}

// ---- Marquees ----

const EditCase kMarqueeCases[] = {
    {"marquee with a blocked link disappears whole", nullptr, "link ad",
     "x<marquee><a href=ad><img src=b.gif></a></marquee>y", "xy", "link ad"},
    {"any end tag other than a link's ends the region", nullptr, "link ad",
     "<marquee><a href=ad>t</b>rest", "rest", "link ad"},
    {"every link in the marquee is asked about", nullptr, "link ad1",
     "<marquee><a href=ad1>1</a><a href=ad2>2</a></marquee>", "", "link ad1 | link ad2"},
    {"allowed marquee is written unchanged and its end tag handled", nullptr, "",
     "<marquee><a href=ok><img src=b.gif></a></marquee>",
     "<marquee><a href=ok><img src=b.gif></a></marquee>", "link ok"},
    {"images and frames inside a marquee are not examined", nullptr,
     "image b.gif\nframe f", "<marquee><img src=b.gif><iframe src=f></marquee>",
     "<marquee><img src=b.gif><iframe src=f></marquee>", ""},
    {"marquee filter off", [](EditorOptions& o) { o.filter_marquee = 0; }, "link ad",
     "<marquee><a href=ad>t</a></marquee>", "<marquee><a href=ad>t</a></marquee>", ""},
};

TEST(EditorMarquees, RemovesMarqueesWithBlockedLinks) {
  RunCases(kMarqueeCases, std::size(kMarqueeCases));
}

// ---- Marking instead of removing ----

void Highlight(EditorOptions& o) {
  o.remove_blocked = 0;
  o.highlight = 1;
}

const char kMark[] =
    "outline-color: yellow; outline-style: double; outline-width: thick;";

const EditCase kHighlightCases[] = {
    {"blocked image is marked, not collapsed", Highlight, "image ad.gif",
     "<img src=ad.gif>",
     "<img src=\"ad.gif\" style=\"outline-color: yellow; outline-style: double; "
     "outline-width: "
     "thick;\">",
     "image ad.gif"},
    {"blocked background is marked and kept", Highlight, "background b.jpg",
     "<td background=b.jpg>",
     "<td background=\"b.jpg\" style=\"outline-color: yellow; outline-style: double; "
     "outline-width: thick;\">",
     "background b.jpg"},
    {"blocked script is written unchanged", Highlight, "script ad.js",
     "<script src=ad.js></script>", "<script src=ad.js></script>", "script ad.js"},
    {"blocked style sheet is written unchanged", Highlight, "stylesheet a.css",
     "<link type=text/css href=a.css><b>", "<link type=text/css href=a.css><b>",
     "stylesheet a.css"},
    {"marquee and its blocked link are marked", Highlight, "link ad",
     "<marquee><a href=ad>t</a></marquee>",
     "<marquee style=\"outline-color: yellow; outline-style: double; outline-width: "
     "thick;\"><a href=\"ad\" style=\"outline-color: yellow; outline-style: double; "
     "outline-width: thick;\">t</a></marquee>",
     "link ad"},
    {"a style without a closing semicolon gets one before the mark", Highlight,
     "background b.jpg", "<td background=b.jpg style=\"color:red\">",
     "<td background=\"b.jpg\" style=\"color:red;outline-color: yellow; outline-style: "
     "double; outline-width: thick;\">",
     "background b.jpg"},
    {"neither removing nor highlighting still sets the style",
     [](EditorOptions& o) { o.remove_blocked = 0; }, "frame f",
     "<iframe src=f><iframe src=f style=\"a:b;\"><iframe src=f style=\"a:b\">",
     "<iframe src=\"f\" style=\"\"><iframe src=\"f\" style=\"a:b;\"><iframe "
     "src=\"f\" style=\"a:b\">",
     "frame f | frame f | frame f"},
};

TEST(EditorMarking, MarksBlockedElementsWhenRemovalIsOff) {
  ASSERT_EQ(std::string(kMark), kEditorHighlightingStyle);
  RunCases(kHighlightCases, std::size(kHighlightCases));
}

// ---- Writing ----

// Pages where nothing is blocked come out as they went in, whatever they hold.
const char* const kAwkwardPages[] = {
    "",
    "plain text only",
    "a < b and <1> and <",
    "<!--> <!-- unterminated comment <a href=x><img src=y>",
    "<!DOCTYPE html><![CDATA[ <img src=x> ]]><?xml version=\"1.0\"?>",
    "<td width=\"50",
    "<a href=<b>x</b></a>",
    "<A HREF = 'x'\n\tTARGET=_top ><IMG\nSRC=b.gif WIDTH=300 ismap></A >",
    "<script><!-- document.write(\"</script>\"); --></script><script src=x.js />",
    "<object><param name=movie value=m.swf><embed src=m.swf></embed></object>",
    "<marquee><a href=x>1</a><b>2</b></marquee><marquee>open",
    "<link type=text/css href=a.css><link type=text/css href=b.css/>",
    "\xEF\xBB\xBF<p>\xC3\xA9t\xC3\xA9 <img src=\"\xE2\x82\xAC.gif\"></p>\xF0\x9F",
    "<div id=a class=b><div/><tr background=x><body background=y>",
    "<a href=x><script src=y></script><object><param name=movie value=z>",
    "<img src=a.gif><img src=b.gif width=1><image src=c.gif/>",
};

TEST(EditorOutput, PageWithNothingBlockedIsUnchanged) {
  for (const char* page : kAwkwardPages) {
    EditorOptions options;
    TableChecker checker;
    EXPECT_EQ(EditPage(page, options, &checker), page) << page;
  }
}

// A node whose text cannot be obtained is replaced by the error marker.
TEST(EditorOutput, WritesTheErrorMarkerForANodeWithoutText) {
  EditorOptions options;
  StringWriter writer;
  AnyHtmlEditor editor(&writer, &options, nullptr);
  editor.PushFrontPending(std::make_unique<AnyHtmlNode>());  // no span
  auto text = std::make_unique<AnyHtmlNode>(NODE_TEXT);
  const char kText[] = "after";
  text->SetSpan(kText, kText + 5);
  editor.PushFrontPending(std::move(text));
  editor.EndDocument(0);
  EXPECT_EQ(writer.out, std::string("after") + "<!-- AnyHtml Output ERROR -->");
  EXPECT_EQ(std::string(kEditorErrorMarker).size(), 29u);
  EXPECT_EQ(editor.pending_count(), 0u);
}

// An editor destroyed in the middle of a region writes nothing of it.
TEST(EditorOutput, DestructorDropsPendingNodesWithoutWriting) {
  EditorOptions options;
  StringWriter writer;
  TableChecker checker;
  const std::string page = std::string("x<a href=y>link text<b>bold") + '\0' + '\0';
  {
    AnyHtmlEditor editor(&writer, &options, &checker);
    editor.StartDocument(0);
    editor.Parse(page.data(), page.size() - 2, 0);
    EXPECT_EQ(editor.mode(), MODE_ANCHOR);
    EXPECT_GT(editor.pending_count(), 0u);
  }
  EXPECT_EQ(writer.out, "x");
}

TEST(EditorOutput, EndOfPageWritesPendingUnchecked) {
  EditorOptions options;
  TableChecker checker("link y\nscript s.js\nflash m.swf");
  const std::string page = "x<a href=y>link <b>text";
  EXPECT_EQ(EditPage(page, options, &checker), page);
  EXPECT_EQ(checker.Calls(), "");
}

TEST(EditorOutput, StartDocumentClearsARegionLeftOpen) {
  EditorOptions options;
  StringWriter writer;
  TableChecker checker;
  const std::string first = std::string("<marquee>unfinished") + '\0' + '\0';
  const std::string second = std::string("<b>x</b>") + '\0' + '\0';
  AnyHtmlEditor editor(&writer, &options, &checker);
  editor.Parse(first.data(), first.size() - 2, 0);
  EXPECT_EQ(editor.mode(), MODE_MARQUEE);
  editor.StartDocument(0);
  EXPECT_EQ(editor.mode(), MODE_NORMAL);
  EXPECT_EQ(editor.pending_count(), 0u);
  editor.Parse(second.data(), second.size() - 2, 0);
  EXPECT_EQ(writer.out, "<b>x</b>");
}

// Collects what it is given, but refuses the `fail_at`-th append (1 for the
// first) with an out-of-memory code, as a full output buffer does.
class FailingWriter : public AnyHtmlEditorWriter {
 public:
  static constexpr int32_t kRefused = static_cast<int32_t>(0x8007000E);
  explicit FailingWriter(int fail_at) : fail_at_(fail_at) {}
  int32_t Write(const char* data, uint32_t length) override {
    if (++calls == fail_at_) return kRefused;
    out.append(data, length);
    return 0;
  }
  std::string out;
  int calls = 0;

 private:
  int fail_at_;
};

TEST(EditorOutput, ARefusedAppendFailsThePageAndStopsWriting) {
  // Plain nodes, a hidden (rebuilt) frame, and a region written at its end.
  const std::string page =
      "<p>a</p><iframe src=ad.html style=\"border:0\"><a href=x><img src=b.gif></a>"
      "<marquee><a href=ok>m</a></marquee>z";
  const std::string padded = page + '\0' + '\0';
  EditorOptions options;
  TableChecker whole_checker("frame ad.html");
  StringWriter whole_writer;
  int whole_result = -1;
  const std::string whole = EditPage(page, options, &whole_checker, &whole_result);
  ASSERT_EQ(whole_result, 0);
  // How many appends the whole page takes.
  {
    TableChecker checker("frame ad.html");
    AnyHtmlEditor editor(&whole_writer, &options, &checker);
    ASSERT_EQ(editor.Edit(padded.data(), page.size(), 0), 0);
  }
  const int appends = whole_writer.writes;
  ASSERT_GT(appends, 4);

  for (int fail_at = 1; fail_at <= appends; ++fail_at) {
    TableChecker checker("frame ad.html");
    FailingWriter writer(fail_at);
    AnyHtmlEditor editor(&writer, &options, &checker);
    EXPECT_EQ(editor.Edit(padded.data(), page.size(), 0), ANYHTML_WRITE_FAILED)
        << "refused append " << fail_at;
    EXPECT_EQ(editor.write_result(), FailingWriter::kRefused) << fail_at;
    // Nothing is handed over after the refusal: the output stops at the hole.
    EXPECT_EQ(writer.calls, fail_at) << fail_at;
    EXPECT_EQ(whole.compare(0, writer.out.size(), writer.out), 0) << fail_at;
    EXPECT_LT(writer.out.size(), whole.size()) << fail_at;
  }

  // A writer that refuses nothing on this page: the page is edited whole.
  TableChecker checker("frame ad.html");
  FailingWriter late(appends + 1);
  AnyHtmlEditor editor(&late, &options, &checker);
  EXPECT_EQ(editor.Edit(padded.data(), page.size(), 0), 0);
  EXPECT_EQ(editor.write_result(), 0);
  EXPECT_EQ(late.out, whole);
}

TEST(EditorOutput, TheNextPageStartsWithoutTheLastPagesWriteFailure) {
  const std::string page = "<p>a</p><b>b</b>";
  const std::string padded = page + '\0' + '\0';
  EditorOptions options;
  TableChecker checker;
  FailingWriter writer(1);
  AnyHtmlEditor editor(&writer, &options, &checker);
  ASSERT_EQ(editor.Edit(padded.data(), page.size(), 0), ANYHTML_WRITE_FAILED);
  writer.out.clear();
  EXPECT_EQ(editor.Edit(padded.data(), page.size(), 0), 0);
  EXPECT_EQ(editor.write_result(), 0);
  EXPECT_EQ(writer.out, page);
}

// ---- Rewrite hooks ----

class RewritingEditor : public AnyHtmlEditor {
 public:
  using AnyHtmlEditor::AnyHtmlEditor;
  bool RewriteUrl(const char* url, bool is_image, std::string* out, int) override {
    urls += std::string(is_image ? "image " : "link ") + url + ";";
    *out = std::string("/proxy?u=") + url;
    return true;
  }
  bool RewriteScript(const char* text, size_t length, std::string* out, int) override {
    scripts += std::string(text, length) + ";";
    *out = "/* rewritten */";
    return true;
  }
  std::string urls;
  std::string scripts;
};

TEST(EditorRewrite, DerivedEditorCanRewriteAddressesAndScripts) {
  struct Case {
    const char* page;
    const char* expected;
    const char* urls;
    const char* scripts;
  } const cases[] = {
      {"<img src=a.gif>", "<img src=\"/proxy?u=a.gif\">", "image a.gif;", ""},
      {"<img src=a.gif width=5>", "<img src=a.gif width=5>", "", ""},
      {"<a href=x>t</a>", "<a href=\"/proxy?u=x\">t</a>", "link x;", ""},
      {"<script>var a;</script><script src=s.js>b</script>",
       "<script>/* rewritten */</script><script src=s.js>b</script>", "", "var a;;"},
  };
  for (const Case& c : cases) {
    EditorOptions options;
    TableChecker checker;
    StringWriter writer;
    std::string buffer = std::string(c.page) + '\0' + '\0';
    RewritingEditor editor(&writer, &options, &checker);
    EXPECT_EQ(editor.Edit(buffer.data(), buffer.size() - 2, 0), 0) << c.page;
    EXPECT_EQ(writer.out, c.expected) << c.page;
    EXPECT_EQ(editor.urls, c.urls) << c.page;
    EXPECT_EQ(editor.scripts, c.scripts) << c.page;
  }
}

TEST(EditorRewrite, OwnHooksChangeNothing) {
  EditorOptions options;
  StringWriter writer;
  AnyHtmlEditor editor(&writer, &options, nullptr);
  std::string out = "unchanged";
  EXPECT_FALSE(editor.RewriteUrl("a.gif", true, &out, 0));
  EXPECT_FALSE(editor.RewriteScript("x", 1, &out, 0));
  EXPECT_EQ(out, "unchanged");
}

}  // namespace
}  // namespace cvie
