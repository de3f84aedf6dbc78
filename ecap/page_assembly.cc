// ecap/page_assembly.cc

#include "page_assembly.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>
#include <utility>

#include "anyhtml/easy_buffer.h"
#include "ie/page_filter.h"
#include "log/logger.h"
#include "platform/content_decoding.h"
#include "platform/text.h"
#include "rules/rules_holder.h"

namespace cvie::ecap {
namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (i >= text.size() || tolower(static_cast<unsigned char>(text[i])) != prefix[i])
      return false;
  }
  return true;
}

// Decoded bytes taken from the decoder at a time.
constexpr size_t kDrainPiece = 16 * 1024;

// Sent bytes are dropped from the front of a pending string in bulk, once
// this many have gathered and they are at least half of it.
constexpr size_t kCompactAt = 64 * 1024;

}  // namespace

PendingBytes::PendingBytes() = default;
PendingBytes::~PendingBytes() = default;

const char* PendingBytes::data() const {
  return (block_ ? block_->GetData() : text_.data()) + skipped_;
}

size_t PendingBytes::size() const {
  return (block_ ? block_->GetSize() : text_.size()) - skipped_;
}

void PendingBytes::Skip(size_t count) {
  skipped_ += std::min(count, size());
  if (size() == 0) {
    Clear();
  } else if (!block_ && skipped_ >= kCompactAt && skipped_ * 2 >= text_.size()) {
    text_.erase(0, skipped_);
    skipped_ = 0;
  }
}

void PendingBytes::Clear() {
  text_.clear();
  block_.reset();
  skipped_ = 0;
}

void PendingBytes::Append(const char* data, size_t size) {
  if (block_) {
    text_.assign(this->data(), this->size());
    block_.reset();
    skipped_ = 0;
  }
  text_.append(data, size);
}

void PendingBytes::Assign(std::string text) {
  Clear();
  text_ = std::move(text);
}

void PendingBytes::Assign(std::unique_ptr<CEasyBuffer> block) {
  Clear();
  std::string().swap(text_);
  block_ = std::move(block);
}

bool WantsBody(const AnswerHead& head, size_t limit) {
  if (!head.is_get || !head.has_body) return false;
  size_t type_at = head.content_type.find_first_not_of(" \t");
  if (type_at == std::string::npos ||
      !StartsWithNoCase(head.content_type.substr(type_at), "text/html")) {
    return false;
  }
  std::string error;
  if (!platform::ContentDecoder::ForEncoding(head.content_encoding, &error) &&
      !error.empty())
    return false;  // a coding nobody here can undo
  const std::string& length = head.content_length;
  if (!length.empty() && length.find_first_not_of("0123456789") == std::string::npos &&
      (length.size() > 19 || strtoull(length.c_str(), nullptr, 10) > limit)) {
    return false;  // declared too big: Squid streams it untouched
  }
  return true;
}

PageAssembly::PageAssembly(std::string url, const std::string& content_encoding,
                           size_t limit, std::shared_ptr<RulesHolder> rules)
    : url_(std::move(url)), limit_(limit), rules_(std::move(rules)) {
  std::string error;
  decoder_ = platform::ContentDecoder::ForEncoding(content_encoding, &error);
  if (!decoder_ && !error.empty()) {
    Logger::Instance().LogA(LOG_NOTICE, "eCAP: %s: %s, passed on unfiltered\n",
                            url_.c_str(), error.c_str());
    state_ = State::kPassing;  // nothing collected yet: every piece goes straight on
  }
}

PageAssembly::~PageAssembly() = default;

void PageAssembly::Reserve(size_t declared) {
  if (state_ != State::kCollecting || declared > limit_) return;
  std::string& received = decoder_ ? raw_ : page_;
  // Two more bytes for the zero bytes the editor's parser reads past the end.
  if (received.empty()) received.reserve(declared + (decoder_ ? 0 : 2));
}

PageAssembly::State PageAssembly::Add(const char* data, size_t size) {
  if (state_ == State::kPassing) {
    out_.Append(data, size);
    return state_;
  }
  if (state_ != State::kCollecting) return state_;
  std::string& received = decoder_ ? raw_ : page_;
  const bool too_big = received.size() + size > limit_;
  received.append(data, size);
  if (too_big) {
    Logger::Instance().LogA(LOG_NOTICE,
                            "eCAP: %s: page larger than %lu bytes passed on unfiltered\n",
                            url_.c_str(), static_cast<unsigned long>(limit_));
    PassOn();
  } else if (decoder_) {
    decoder_->Feed(data, size);
    if (!DecodePending()) {
      if (decoder_->failed()) {
        Logger::Instance().LogA(
            LOG_NOTICE, "eCAP: %s: broken compressed data (%s), passed on as it came\n",
            url_.c_str(), decoder_->error().c_str());
      } else {
        Logger::Instance().LogA(
            LOG_NOTICE, "eCAP: %s: page decodes past %lu bytes, passed on unfiltered\n",
            url_.c_str(), static_cast<unsigned long>(limit_));
      }
      PassOn();
    }
  }
  return state_;
}

bool PageAssembly::DecodePending() {
  char buffer[kDrainPiece];
  for (;;) {
    const size_t made = decoder_->Drain(buffer, sizeof buffer);
    if (decoder_->failed()) return false;
    if (made == 0) return true;
    if (page_.size() + made > limit_) return false;
    page_.append(buffer, made);
  }
}

void PageAssembly::PassOn() {
  out_.Assign(decoder_ ? std::move(raw_) : std::move(page_));
  std::string().swap(raw_);
  std::string().swap(page_);
  decoder_.reset();
  state_ = State::kPassing;
}

PageAssembly::State PageAssembly::End(bool at_end) {
  if (state_ != State::kCollecting) return state_;
  if (!at_end) {
    // The origin cut the page: what came goes on unchanged and ends cut short.
    PassOn();
    state_ = State::kCut;
    return state_;
  }
  return Finish();
}

PageAssembly::State PageAssembly::Finish() {
  if (decoder_ && !decoder_->Complete()) {
    Logger::Instance().LogA(
        LOG_NOTICE, "eCAP: %s: compressed data stops short, passed on as it came\n",
        url_.c_str());
    PassOn();
    state_ = State::kUnchanged;
    return state_;
  }
  const size_t size = page_.size();
  page_.append(2, '\0');  // the editor's parser relies on two zero bytes
  // The edited page is sent from the block the editor writes it to.
  auto edited = std::make_unique<CEasyBuffer>();
  edited->Reserve(static_cast<ULONG>(size));
  PageFilterResult result = PageFilterResult::kFailed;
  try {
    result = FilterHtmlPage(platform::ToWide(url_), page_.data(), size, edited.get(),
                            rules_.get());
  } catch (...) {
    result = PageFilterResult::kFailed;
  }
  page_.resize(size);
  if (result == PageFilterResult::kFiltered) {
    out_.Assign(std::move(edited));
    std::string().swap(raw_);
    std::string().swap(page_);
    decoder_.reset();
    state_ = State::kFiltered;
    return state_;
  }
  if (result == PageFilterResult::kFailed)
    Logger::Instance().LogA(LOG_NOTICE, "eCAP: %s passed on unfiltered\n", url_.c_str());
  PassOn();
  state_ = State::kUnchanged;
  return state_;
}

}  // namespace cvie::ecap
