// anyhtml/html_editor.cc

#include "anyhtml/html_editor.h"

#include <limits.h>
#include <stdint.h>

#include <iterator>
#include <string_view>
#include <utility>

#include "anyhtml/editor_element_copy.h"
#include "anyhtml/html_types.h"

namespace cvie {

namespace {

// The element names the editor acts on. Each element is classified once per
// handler, so a tag costs one length switch and at most three comparisons.
enum TagName {
  kOtherTag,
  kTagA,
  kTagBody,
  kTagDiv,
  kTagEmbed,
  kTagHead,
  kTagIframe,
  kTagImage,
  kTagImg,
  kTagLink,
  kTagMarquee,
  kTagObject,
  kTagParam,
  kTagScript,
  kTagTable,
  kTagTbody,
  kTagTd,
  kTagTr,
};

struct NamedTag {
  const char* text;
  TagName tag;
};

TagName Classify(const AnyHtmlElement* e) {
  const AnyHtmlName* name = e->name();
  if (name == nullptr) return kOtherTag;
  const std::string_view text = name->own_text_view();
  static constexpr NamedTag kLength1[] = {{"a", kTagA}};
  static constexpr NamedTag kLength2[] = {{"tr", kTagTr}, {"td", kTagTd}};
  static constexpr NamedTag kLength3[] = {{"img", kTagImg}, {"div", kTagDiv}};
  static constexpr NamedTag kLength4[] = {
      {"body", kTagBody}, {"link", kTagLink}, {"head", kTagHead}};
  static constexpr NamedTag kLength5[] = {{"image", kTagImage},
                                          {"embed", kTagEmbed},
                                          {"param", kTagParam},
                                          {"table", kTagTable},
                                          {"tbody", kTagTbody}};
  static constexpr NamedTag kLength6[] = {
      {"script", kTagScript}, {"iframe", kTagIframe}, {"object", kTagObject}};
  static constexpr NamedTag kLength7[] = {{"marquee", kTagMarquee}};
  const NamedTag* begin = nullptr;
  const NamedTag* end = nullptr;
  switch (text.size()) {
#define CVIE_TAGS(table)          \
  begin = table;                  \
  end = table + std::size(table); \
  break
    case 1:
      CVIE_TAGS(kLength1);
    case 2:
      CVIE_TAGS(kLength2);
    case 3:
      CVIE_TAGS(kLength3);
    case 4:
      CVIE_TAGS(kLength4);
    case 5:
      CVIE_TAGS(kLength5);
    case 6:
      CVIE_TAGS(kLength6);
    case 7:
      CVIE_TAGS(kLength7);
#undef CVIE_TAGS
    default:
      return kOtherTag;
  }
  for (const NamedTag* t = begin; t != end; ++t) {
    if (BytesEqualIgnoreCase(text.data(), t->text, text.size())) return t->tag;
  }
  return kOtherTag;
}

bool NotEmpty(const char* text) { return text != nullptr && text[0] != '\0'; }

// The whole text of a script element, handed to the checker. Kept per thread
// so that a worker reuses its block from page to page instead of growing a
// new one (and faulting it in) for the scripts of every page.
std::string& ThreadScriptText() {
  thread_local std::string text;
  return text;
}

// Frees the block after an unusually large script, so that a thread keeps at
// most this much between pages.
void ReleaseLargeScriptText(std::string* text) {
  constexpr size_t kKeptBytes = 512 * 1024;
  if (text->capacity() > kKeptBytes) std::string().swap(*text);
}

// The decimal value at the start of `text` as the C library's atoi reads it
// (leading white space, optional sign, digits, anything after ignored), but
// saturated at the int range instead of overflowing. `absent` when text is null.
int IntegerValue(const char* text, int absent) {
  if (text == nullptr) return absent;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (IsHtmlSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value <= INT_MAX) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The first pass of a page with a style sheet: every class, id, href and src attribute
// of a tag goes to the style source, and whether the page has a <head> start
// tag is noted.
class PageKeyCollector : public AnyHtmlParser {
 public:
  explicit PageKeyCollector(AnyHtmlEditorPageStyle* style) : style_(style) {}
  int OnNode(AnyHtmlNode*, int) override { return 0; }
  int OnElement(AnyHtmlElement* e, int) override {
    if (!e->HasOpen()) return 0;
    if (const char* cls = e->GetAttribute("class")) style_->NoteClassAttribute(cls);
    if (const char* id = e->GetAttribute("id")) style_->NoteId(id);
    if (const char* href = e->GetAttribute("href")) style_->NoteAttribute("href", href);
    if (const char* src = e->GetAttribute("src")) style_->NoteAttribute("src", src);
    if (!has_head_ && e->IsStartTag() && Classify(e) == kTagHead) has_head_ = true;
    return 0;
  }
  bool has_head() const { return has_head_; }

 private:
  AnyHtmlEditorPageStyle* style_;
  bool has_head_ = false;
};

}  // namespace

AnyHtmlEditor::AnyHtmlEditor(AnyHtmlEditorWriter* writer, const EditorOptions* options,
                             AnyHtmlEditorRuleChecker* checker)
    : writer_(writer), options_(options), checker_(checker) {
  pending_.reserve(32);
}

AnyHtmlEditor::~AnyHtmlEditor() = default;

int AnyHtmlEditor::Edit(const char* data, size_t length, int encoding) {
  StartDocument(encoding);
  PreparePageStyle(data, length, encoding);
  int result = Parse(data, length, encoding);
  EndDocument(encoding);
  return write_result_ != 0 ? ANYHTML_WRITE_FAILED : result;
}

int AnyHtmlEditor::OnNode(AnyHtmlNode* node, int encoding) {
  if (node == nullptr) return -1;
  if (mode_ == MODE_NORMAL) {
    WriteNode(node, encoding);
  } else {
    AppendPending(node);
  }
  return 0;
}

void AnyHtmlEditor::PreparePageStyle(const char* data, size_t length, int encoding) {
  style_place_ = StylePlace::kNone;
  style_element_.clear();
  if (page_style_ == nullptr || data == nullptr || length == 0) return;
  PageKeyCollector collector(page_style_);
  collector.Parse(data, length, encoding);
  style_element_ = page_style_->StyleElement();
  if (style_element_.empty()) return;
  style_place_ =
      collector.has_head() ? StylePlace::kAfterHead : StylePlace::kBeforeFirstTag;
}

void AnyHtmlEditor::PlaceStyleBefore(const AnyHtmlElement*) {
  // Nothing is pending before the first tag: the element goes out at once.
  Emit(style_element_.data(), static_cast<uint32_t>(style_element_.size()));
  style_element_.clear();
}

void AnyHtmlEditor::PlaceStyleAfter(const AnyHtmlElement* e) {
  if (!e->IsStartTag() || Classify(e) != kTagHead) return;
  if (mode_ == MODE_NORMAL) {
    // The <head> tag has just been written (it opens no region).
    Emit(style_element_.data(), static_cast<uint32_t>(style_element_.size()));
  } else {
    // The <head> tag is waiting in a region: the element waits after it.
    auto node = std::make_unique<AnyHtmlValue>(false);
    node->set_type(NODE_TEXT);
    node->SetText(style_element_);
    PendingNode pending;
    pending.type = NODE_TEXT;
    pending.node = std::move(node);
    pending_.push_back(std::move(pending));
  }
  style_element_.clear();
}

int AnyHtmlEditor::OnElement(AnyHtmlElement* element, int encoding) {
  if (element == nullptr) return -1;
  if (!style_element_.empty() && style_place_ == StylePlace::kBeforeFirstTag)
    PlaceStyleBefore(element);
  const bool place_after =
      !style_element_.empty() && style_place_ == StylePlace::kAfterHead;
  switch (mode_) {
    case MODE_NORMAL:
      HandleElement(element, encoding);
      break;
    case MODE_ANCHOR:
      HandleAnchorMode(element, encoding);
      break;
    case MODE_OBJECT:
      HandleObjectMode(element, encoding);
      break;
    case MODE_SCRIPT:
      HandleScriptMode(element, encoding);
      break;
    case MODE_LINK:
      HandleLinkMode(element, encoding);
      break;
    case MODE_MARQUEE:
      HandleMarqueeMode(element, encoding);
      break;
    default:
      mode_ = MODE_NORMAL;
      HandleElement(element, encoding);
      break;
  }
  if (place_after) PlaceStyleAfter(element);
  return 0;
}

bool AnyHtmlEditor::RewriteUrl(const char*, bool, std::string*, int) { return false; }

bool AnyHtmlEditor::RewriteScript(const char*, size_t, std::string*, int) {
  return false;
}

void AnyHtmlEditor::StartDocument(int) {
  mode_ = MODE_NORMAL;
  write_result_ = 0;
  DropPending();
}

void AnyHtmlEditor::EndDocument(int encoding) {
  if (!pending_.empty()) FlushPending(encoding);
}

void AnyHtmlEditor::WriteNode(const AnyHtmlNode* node, int) {
  if (node == nullptr || writer_ == nullptr) return;
  const char* text = nullptr;
  size_t length = 0;
  if (node->GetText(&text, &length) != 0) {
    Emit(kEditorErrorMarker, sizeof(kEditorErrorMarker) - 1);
    return;
  }
  // The writer takes 32-bit lengths; a larger node goes in pieces.
  while (length > 0 && write_result_ == 0) {
    uint32_t piece = length > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(length);
    Emit(text, piece);
    text += piece;
    length -= piece;
  }
}

void AnyHtmlEditor::Emit(const char* data, uint32_t length) {
  if (write_result_ != 0) return;
  const int32_t result = writer_->Write(data, length);
  if (result != 0) write_result_ = result;
}

void AnyHtmlEditor::FlushPending(int encoding) {
  for (size_t i = 0; i < pending_.size(); ++i) WritePending(pending_[i], encoding);
  ClearPending();
}

void AnyHtmlEditor::PushFrontPending(std::unique_ptr<AnyHtmlNode> node) {
  if (node == nullptr) return;
  PendingNode pending;
  pending.type = node->type();
  pending.element = dynamic_cast<AnyHtmlElement*>(node.get());
  pending.node = std::move(node);
  pending_.insert(pending_.begin(), std::move(pending));
}

void AnyHtmlEditor::DropPending() { ClearPending(); }

void AnyHtmlEditor::HideElement(AnyHtmlElement* element, int) {
  if (element == nullptr) return;
  const char* style = element->GetAttribute("style");
  style_.assign(style != nullptr ? style : "");
  std::string_view added;
  if (options_->remove_blocked) {
    added = std::string_view(kEditorHidingStyle, sizeof(kEditorHidingStyle) - 1);
  } else if (options_->highlight) {
    added =
        std::string_view(kEditorHighlightingStyle, sizeof(kEditorHighlightingStyle) - 1);
  }
  if (!added.empty()) {
    // A declaration glued to the last one ("border:0display: none;") is invalid
    // CSS and the browser drops it: end the element's own style first.
    size_t last = style_.size();
    while (last > 0 && IsHtmlSpace(static_cast<unsigned char>(style_[last - 1]))) --last;
    if (last > 0 && style_[last - 1] != ';') style_ += ';';
    style_.append(added);
  }
  element->SetAttribute("style", style_);
  element->RebuildText();
}

// ---- Element handling ----

void AnyHtmlEditor::HandleElement(AnyHtmlElement* e, int encoding) {
  const EditorOptions& o = *options_;
  const TagName tag = Classify(e);
  switch (tag) {
    case kTagA:
      if (o.check_banner_link && e->IsStartTag()) return EnterMode(MODE_ANCHOR, e);
      break;
    case kTagObject:
      if (o.filter_flash && e->IsStartTag()) return EnterMode(MODE_OBJECT, e);
      break;
    case kTagScript:
      if (o.filter_script && e->HasOpen()) return EnterMode(MODE_SCRIPT, e);
      break;
    case kTagLink:
      if (o.filter_css && e->HasOpen()) return EnterMode(MODE_LINK, e);
      break;
    case kTagMarquee:
      if (o.filter_marquee && e->IsStartTag()) return EnterMode(MODE_MARQUEE, e);
      break;
    case kTagIframe:
      if (o.filter_frame && e->HasOpen()) CheckFrame(e, encoding);
      break;
    case kTagBody:
    case kTagTable:
    case kTagTbody:
    case kTagTr:
    case kTagTd:
      if (o.filter_background && e->HasOpen()) CheckBackground(e, encoding);
      break;
    case kTagDiv:
      if (o.check_div && e->HasOpen()) CheckDiv(e, encoding);
      break;
    case kTagImg:
    case kTagImage:
      // A blocked image is left out entirely when collapsing is on; collapsing
      // is a way of removing, so it needs removal on too (with removal off a
      // blocked image is only marked).
      if (o.filter_image && e->HasOpen() && CheckImage(e, true, encoding) &&
          o.collapse_blocked && o.remove_blocked) {
        return;
      }
      break;
    case kTagEmbed:
      if (o.filter_flash && e->HasOpen()) CheckEmbed(e, encoding);
      break;
    default:
      break;
  }
  WriteNode(e, encoding);
}

void AnyHtmlEditor::EnterMode(EditorMode mode, AnyHtmlElement* e) {
  mode_ = mode;
  AppendPendingElement(e, true);
}

void AnyHtmlEditor::HandleAnchorMode(AnyHtmlElement* e, int encoding) {
  const TagName tag = Classify(e);
  bool end_region = false;
  if (!pending_.empty() && (tag == kTagImg || tag == kTagImage)) {
    // A link around an image: the link's target decides about the link, the
    // image rules about the image (checked again below as any image is).
    if (AnyHtmlElement* anchor = FirstPendingElement()) CheckLink(anchor, encoding);
    end_region = true;
    CheckImage(e, false, encoding);
  }
  if (tag == kTagA && e->HasClose()) end_region = true;
  if (!end_region) {
    AppendPendingElement(e, false);
    return;
  }
  AnyHtmlElement* anchor = FirstPendingElement();
  if (anchor != nullptr && anchor->HasOpen() && Classify(anchor) == kTagA) {
    const char* href = anchor->GetAttribute("href");
    if (NotEmpty(href) && RewriteUrl(href, false, &rewrite_, encoding)) {
      anchor->SetAttribute("href", rewrite_);
      anchor->RebuildText();
    }
  }
  FlushPending(encoding);
  mode_ = MODE_NORMAL;
  HandleElement(e, encoding);
}

void AnyHtmlEditor::HandleObjectMode(AnyHtmlElement* e, int encoding) {
  const TagName tag = Classify(e);
  if (!pending_.empty() && tag == kTagParam) {
    const char* name = e->GetAttribute("name");
    if (NotEmpty(name) && StartsWithIgnoreCase(name, "movie")) {
      const char* value = e->GetAttribute("value");
      if (NotEmpty(value) && Blocked(kFlashElement, value, encoding)) {
        if (AnyHtmlElement* object = FirstPendingElement()) HideElement(object, encoding);
      }
    }
    AppendPendingElement(e, false);
    return;
  }
  if (tag == kTagEmbed) {
    CheckEmbed(e, encoding);
    AppendPendingElement(e, false);
    return;
  }
  FlushPending(encoding);
  mode_ = MODE_NORMAL;
  HandleElement(e, encoding);
}

void AnyHtmlEditor::HandleScriptMode(AnyHtmlElement* e, int encoding) {
  bool blocked = false;
  if (AnyHtmlElement* first = FirstPendingElement()) {
    const char* src = first->GetAttribute("src");
    if (NotEmpty(src)) {
      if (Blocked(kScriptElement, src, encoding) && options_->remove_blocked) {
        DropPending();
        blocked = true;
      }
    } else {
      // The whole script element as written: start tag, body and (normally)
      // the end tag that closes the region.
      if (checker_ != nullptr) {
        std::string& script = ThreadScriptText();
        script.clear();
        for (const PendingNode& pending : pending_) {
          const char* text;
          size_t length;
          if (PendingText(pending, &text, &length)) script.append(text, length);
        }
        e->AppendTextTo(&script);
        if (!script.empty() && checker_->CheckScript(script.c_str(), encoding) &&
            options_->remove_blocked) {
          DropPending();
          blocked = true;
        }
        ReleaseLargeScriptText(&script);
      }
      if (!blocked) RewritePendingScripts(encoding);
    }
  }
  const bool end_tag = Classify(e) == kTagScript && e->IsEndTag();
  FlushPending(encoding);
  mode_ = MODE_NORMAL;
  // A removed script takes its end tag with it.
  if (!(end_tag && blocked)) HandleElement(e, encoding);
}

void AnyHtmlEditor::HandleLinkMode(AnyHtmlElement* e, int encoding) {
  bool blocked = false;
  if (AnyHtmlElement* first = FirstPendingElement()) {
    const char* type = first->GetAttribute("type");
    const char* href = first->GetAttribute("href");
    if (NotEmpty(type) && NotEmpty(href) && StartsWithIgnoreCase(type, "text/css") &&
        Blocked(kStylesheetElement, href, encoding) && options_->remove_blocked) {
      DropPending();
      blocked = true;
    }
  }
  const bool end_tag = Classify(e) == kTagLink && e->IsEndTag();
  FlushPending(encoding);
  mode_ = MODE_NORMAL;
  if (!(end_tag && blocked)) HandleElement(e, encoding);
}

void AnyHtmlEditor::HandleMarqueeMode(AnyHtmlElement* e, int encoding) {
  const TagName tag = Classify(e);
  const bool region_ends =
      (tag == kTagMarquee && e->HasClose()) || (tag != kTagA && e->IsEndTag());
  if (!region_ends) {
    // Links are kept whole: they are checked when the region ends.
    AppendPendingElement(e, tag == kTagA && e->HasOpen());
    return;
  }
  bool blocked = false;
  for (PendingNode& pending : pending_) {
    AnyHtmlElement* element = pending.element;
    if (element != nullptr && element->type() == NODE_ELEMENT &&
        Classify(element) == kTagA && element->HasOpen() &&
        CheckLink(element, encoding)) {
      blocked = true;
    }
  }
  const bool remove = options_->remove_blocked;
  if (blocked) {
    if (remove) {
      DropPending();
    } else if (AnyHtmlElement* marquee = FirstPendingElement()) {
      HideElement(marquee, encoding);
    }
  }
  FlushPending(encoding);
  mode_ = MODE_NORMAL;
  if (!(blocked && remove)) HandleElement(e, encoding);
}

// ---- Checks ----

bool AnyHtmlEditor::CheckImage(AnyHtmlElement* e, bool rewrite, int encoding) {
  const int width = IntegerValue(e->GetAttribute("width"), 100);
  const int height = IntegerValue(e->GetAttribute("height"), 100);
  if (!(width > options_->min_image_width && height > options_->min_image_height))
    return false;
  const char* src = e->GetAttribute("src");
  if (!NotEmpty(src)) return false;
  bool blocked = false;
  if (Blocked(kImageElement, src, encoding)) {
    HideElement(e, encoding);
    blocked = true;
  }
  if (rewrite) {
    src = e->GetAttribute("src");  // hiding may have changed the attribute list
    if (NotEmpty(src) && RewriteUrl(src, true, &rewrite_, encoding)) {
      e->SetAttribute("src", rewrite_);
      e->RebuildText();
    }
  }
  return blocked;
}

bool AnyHtmlEditor::CheckBackground(AnyHtmlElement* e, int encoding) {
  const char* background = e->GetAttribute("background");
  if (!NotEmpty(background) || !Blocked(kBackgroundElement, background, encoding))
    return false;
  if (options_->remove_blocked) {
    // The element stays visible, without its background.
    e->RemoveAttribute("background");
    e->RebuildText();
  } else {
    HideElement(e, encoding);
  }
  return true;
}

bool AnyHtmlEditor::CheckFrame(AnyHtmlElement* e, int encoding) {
  const char* src = e->GetAttribute("src");
  if (!NotEmpty(src) || !Blocked(kFrameElement, src, encoding)) return false;
  HideElement(e, encoding);
  return true;
}

bool AnyHtmlEditor::CheckDiv(AnyHtmlElement* e, int encoding) {
  // An empty identifier or class is asked about as it is.
  const char* id = e->GetAttribute("id");
  const char* cls = e->GetAttribute("class");
  const bool blocked = (id != nullptr && Blocked(kDivElement, id, encoding)) ||
                       (cls != nullptr && Blocked(kDivElement, cls, encoding));
  if (blocked) HideElement(e, encoding);
  return blocked;
}

bool AnyHtmlEditor::CheckEmbed(AnyHtmlElement* e, int encoding) {
  const char* src = e->GetAttribute("src");
  if (!NotEmpty(src) || !Blocked(kFlashElement, src, encoding)) return false;
  HideElement(e, encoding);
  return true;
}

bool AnyHtmlEditor::CheckLink(AnyHtmlElement* e, int encoding) {
  const char* href = e->GetAttribute("href");
  if (!NotEmpty(href) || !Blocked(kLinkElement, href, encoding)) return false;
  HideElement(e, encoding);
  return true;
}

bool AnyHtmlEditor::Blocked(int kind, const char* text, int encoding) {
  return checker_ != nullptr && text != nullptr &&
         checker_->CheckElement(kind, text, encoding);
}

// ---- The pending list ----

void AnyHtmlEditor::AppendPending(const AnyHtmlNode* node) {
  PendingNode pending;
  pending.type = node->type();
  const char* text = nullptr;
  size_t length = 0;
  // A node written from its source span needs only the span. Empty text
  // between two tags writes nothing and says nothing: it is not kept.
  if (node->GetText(&text, &length) == 0 && text == node->start() &&
      length == static_cast<size_t>(node->end() - node->start())) {
    if (length == 0 && pending.type == NODE_TEXT) return;
    pending.start = node->start();
    pending.end = node->end();
  } else {
    pending.node = node->Clone();
  }
  pending_.push_back(std::move(pending));
}

void AnyHtmlEditor::AppendPendingElement(const AnyHtmlElement* e, bool keep_copy) {
  if (!keep_copy && !e->has_rebuilt_text()) {
    AppendPending(e);
    return;
  }
  PendingNode pending;
  pending.type = e->type();
  std::unique_ptr<AnyHtmlElement> copy;
  if (!e->has_rebuilt_text()) {
    if (!spare_elements_.empty()) {
      copy = std::move(spare_elements_.back());
      spare_elements_.pop_back();
    } else {
      copy = std::make_unique<AnyHtmlElement>();
    }
    CopyElementInto(*e, copy.get());
    pending.recycled = true;
  } else {
    copy = e->CloneElement();
  }
  pending.element = copy.get();
  pending.node = std::move(copy);
  pending_.push_back(std::move(pending));
}

void AnyHtmlEditor::ClearPending() {
  // A few element objects are enough: regions do not nest, and only a
  // marquee keeps more than its opening tag.
  constexpr size_t kMaxSpareElements = 16;
  for (PendingNode& pending : pending_) {
    if (pending.recycled && spare_elements_.size() < kMaxSpareElements) {
      spare_elements_.emplace_back(static_cast<AnyHtmlElement*>(pending.node.release()));
    }
  }
  pending_.clear();
}

bool AnyHtmlEditor::PendingText(const PendingNode& pending, const char** text,
                                size_t* length) {
  if (pending.node != nullptr) return pending.node->GetText(text, length) == 0;
  *text = pending.start;
  *length = static_cast<size_t>(pending.end - pending.start);
  return true;
}

void AnyHtmlEditor::WritePending(const PendingNode& pending, int encoding) {
  if (pending.node != nullptr) {
    WriteNode(pending.node.get(), encoding);
    return;
  }
  AnyHtmlNode span(pending.type);
  span.SetSpan(pending.start, pending.end);
  WriteNode(&span, encoding);
}

AnyHtmlElement* AnyHtmlEditor::FirstPendingElement() {
  return pending_.empty() ? nullptr : pending_.front().element;
}

void AnyHtmlEditor::RewritePendingScripts(int encoding) {
  for (PendingNode& pending : pending_) {
    if (pending.type != NODE_SCRIPT) continue;
    const char* text;
    size_t length;
    if (!PendingText(pending, &text, &length)) continue;
    if (!RewriteScript(text, length, &rewrite_, encoding)) continue;
    auto* body = dynamic_cast<AnyHtmlValue*>(pending.node.get());
    if (body == nullptr) {
      auto value = std::make_unique<AnyHtmlValue>(false);
      value->set_type(NODE_SCRIPT);
      value->SetSpan(text, text + length);
      body = value.get();
      pending.node = std::move(value);
    }
    body->SetText(rewrite_);
  }
}

}  // namespace cvie
