#include "anyhtml/html_parser.h"

#include <string.h>

#include "anyhtml/html_scan.h"
#include "anyhtml/scan_internal.h"

namespace cvie {

namespace {

using namespace anyhtml_internal;

constexpr char kScriptEnd[] = "</script>";
constexpr size_t kScriptEndLength = sizeof kScriptEnd - 1;  // 9

// The markers whose searches FindToEnd remembers.
enum { kMarkScriptEnd = 0, kMarkCommentEnd = 1 };
const char* const kRemembered[] = {kScriptEnd, "-->"};
const size_t kRememberedLength[] = {kScriptEndLength, 3};
const bool kRememberedCaseInsensitive[] = {true, false};

bool IsUtf8Name(const char* text) {
  return StartsWithIgnoreCase(text, "UTF-8") || StartsWithIgnoreCase(text, "UTF8");
}

// How far FindToEnd steps to join a remembered search before searching anew.
constexpr int kMaxJoinSteps = 16;

// True when stepping UTF-8 characters from `from` (at or before c) surely
// lands on c: no character starting in the three bytes before c (and not
// before `from`) reaches past c, and a character that starts earlier is at
// most four bytes long.
inline bool StepsJoin(const char* c, const char* from) {
  for (int k = 1; k <= 3 && c - k >= from; ++k) {
    if (Utf8SequenceLength(static_cast<uint8_t>(c[-k])) > k) return false;
  }
  return true;
}

}  // namespace

AnyHtmlParser::AnyHtmlParser() = default;
AnyHtmlParser::~AnyHtmlParser() = default;

void AnyHtmlParser::DeliverNode(int type, const char* start, const char* end) {
  node_.set_type(type);
  node_.SetSpan(start, end);
  OnNode(&node_, encoding_);
}

int AnyHtmlParser::FindToEnd(int which, const char* p, const char* end,
                             const char** position) {
  const char* marker = kRemembered[which];
  const size_t length = kRememberedLength[which];
  const bool case_insensitive = kRememberedCaseInsensitive[which];
  const bool utf8 = encoding_ == ENCODING_UTF8;
  RememberedSearch& last = remembered_[which];
  if (p >= end) {
    *position = p;
    return ANYHTML_EOF;
  }
  if (last.from && p >= last.from) {
    // Step from p until reaching a position that the steps from last.from
    // reach too; from there on both searches see the same characters.
    const char* c = p;
    int steps = 0;
    while (c < end && steps < kMaxJoinSteps && utf8 && !StepsJoin(c, last.from)) {
      if (MatchesAt(c, end, marker, length, case_insensitive)) {
        *position = c + length;
        return ANYHTML_OK;
      }
      c += CharLength(c, end);
      ++steps;
    }
    if (c >= end) {
      *position = end;
      return ANYHTML_EOF;
    }
    if (steps < kMaxJoinSteps) {
      if (!last.found) {
        *position = end;
        return ANYHTML_EOF;
      }
      if (last.found >= c) {
        *position = last.found + length;
        return ANYHTML_OK;
      }
    }
    p = c;  // no match before c on the steps from p; search on from c
  }
  last.from = p;
  last.found = SearchMarker(p, end, marker, length, case_insensitive, utf8);
  *position = last.found ? last.found + length : end;
  return last.found ? ANYHTML_OK : ANYHTML_EOF;
}

const char* AnyHtmlParser::ScriptBody(const char* p, const char* end, int* result) {
  // The body ends before the first "</script>", unless a comment opens before
  // it: then a "</script>" inside the comment does not count, and the body
  // ends before the first "</script>" after the comment's end. One pass over
  // the "<" bytes finds the first "</script>" and the first "<!--" before it.
  const bool utf8 = encoding_ == ENCODING_UTF8;
  const char* end_tag = nullptr;
  const char* comment = nullptr;
  const char* cur = p;
  while (const char* q = FindByte(cur, end, '<', false)) {
    if (utf8) {
      cur = StepTo(cur, q, end);
      if (cur != q) continue;
    }
    if (MatchesAt(q, end, kScriptEnd, kScriptEndLength, true)) {
      end_tag = q;
      break;
    }
    if (!comment && MatchesAt(q, end, "<!--", 4, false)) comment = q;
    cur = q + 1;
  }
  if (!end_tag) {
    *result = ANYHTML_EOF;
    return end;
  }
  *result = ANYHTML_OK;
  const char* body_end = end_tag;
  const char* after_close;
  if (comment &&
      FindToEnd(kMarkCommentEnd, comment + 4, end, &after_close) == ANYHTML_OK) {
    const char* after_real_end;
    if (FindToEnd(kMarkScriptEnd, after_close, end, &after_real_end) == ANYHTML_OK) {
      body_end = after_real_end - kScriptEndLength;
    }
  }
  return body_end;
}

void AnyHtmlParser::CheckXmlDeclaration() {
  if (encoding_ != ENCODING_UNKNOWN || !element_.NameIs("xml")) return;
  look_for_meta_ = false;
  const char* declared = element_.GetAttribute("encoding");
  if (!declared) {
    encoding_ = ENCODING_UTF8;
  } else if (*declared) {
    charset_ = declared;
    encoding_ = IsUtf8Name(declared) ? ENCODING_UTF8 : ENCODING_OTHER;
  }
}

void AnyHtmlParser::CheckMeta() {
  if (encoding_ != ENCODING_UNKNOWN) return;
  const char* http_equiv = element_.GetAttribute("http-equiv");
  if (!http_equiv || !*http_equiv || !StartsWithIgnoreCase(http_equiv, "Content-type")) {
    return;
  }
  const char* content = element_.GetAttribute("content");
  if (content && *content) {
    if (const char* found = strstr(content, "charset=")) {
      charset_ = found + 8;
      encoding_ = IsUtf8Name(charset_.c_str()) ? ENCODING_UTF8 : ENCODING_OTHER;
    }
  }
  look_for_meta_ = false;
}

int AnyHtmlParser::Parse(const char* data, size_t length, int encoding) {
  charset_.clear();
  encoding_ = encoding;
  if (!data || length == 0) return ANYHTML_OK;
  const char* const end = data + length;
  if (encoding_ == ENCODING_UNKNOWN && length >= 3 &&
      memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
    encoding_ = ENCODING_UTF8;
  }
  remembered_[0] = remembered_[1] = RememberedSearch();

  const char* pos = data;
  const char* text_start = nullptr;  // start of the pending text node
  int last = ANYHTML_OK;
  while (pos < end && last != ANYHTML_EOF) {
    if (!text_start) text_start = pos;
    // Text runs to the next "<" (skipping white space and stepping over other
    // bytes one at a time finds every "<").
    const char* lt =
        static_cast<const char*>(memchr(pos, '<', static_cast<size_t>(end - pos)));
    if (!lt) {
      pos = end;
      break;
    }
    DeliverNode(NODE_TEXT, text_start, lt);  // also when empty
    text_start = nullptr;

    size_t left = static_cast<size_t>(end - lt);
    int type;
    const char* marker = nullptr;
    size_t marker_length = 0;
    if (left >= 4 && memcmp(lt, "<!--", 4) == 0) {
      type = NODE_COMMENT;
      marker = "-->";
      marker_length = 3;
    } else if (left >= 9 && memcmp(lt, "<![CDATA[", 9) == 0) {
      type = NODE_CDATA;
      marker = "]]>";
      marker_length = 3;
    } else if (left >= 2 && lt[1] == '!') {
      type = NODE_DTD;
      marker = ">";
      marker_length = 1;
    } else if (left >= 2 && (IsHtmlLetter(static_cast<uint8_t>(lt[1])) || lt[1] == '/' ||
                             lt[1] == '_' || lt[1] == '?')) {
      type = NODE_ELEMENT;
    } else {
      // A "<" that opens no markup is text.
      text_start = lt;
      pos = lt + 1;
      continue;
    }

    if (type != NODE_ELEMENT) {
      // Searched from the "<" itself, so "<!-->" is a whole comment.
      const char* found =
          SearchMarker(lt, end, marker, marker_length, false, encoding_ == ENCODING_UTF8);
      const char* stop = found ? found + marker_length : end;
      last = found ? ANYHTML_OK : ANYHTML_EOF;
      DeliverNode(type, lt, stop);
      pos = stop;
      continue;
    }

    element_.Reset();
    const char* stop;
    last = ParseElement(&element_, lt, end, encoding_, &stop);
    if (stop <= lt) stop = lt + 1;  // a tag always spans at least its "<"
    element_.SetSpan(lt, stop);
    pos = stop;
    if (last != ANYHTML_OK) {
      element_.set_type(NODE_TEXT);  // written back as it stands
      OnNode(&element_, encoding_);
      continue;
    }
    ++element_count_;
    OnElement(&element_, encoding_);
    if (element_count_ == 1 && element_.IsProcessingInstruction()) {
      CheckXmlDeclaration();
    } else if (element_.IsStartTag() && element_.NameIs("script")) {
      const char* body_end = ScriptBody(pos, end, &last);
      script_.Reset(NODE_SCRIPT, false);
      script_.SetSpan(pos, body_end);
      OnNode(&script_, encoding_);
      pos = body_end;
    } else if (look_for_meta_ && element_.NameIs("meta")) {
      CheckMeta();
    } else if (look_for_meta_ && element_.NameIs("body")) {
      look_for_meta_ = false;
    }
  }
  if (text_start) DeliverNode(NODE_TEXT, text_start, pos);
  return pos >= end ? ANYHTML_OK : last;
}

}  // namespace cvie
