// platform/content_decoding.cc

#include "platform/content_decoding.h"

#include <brotli/decode.h>
#include <string.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>

namespace cvie::platform {

namespace {

enum class StepResult { kProgress, kStuck, kEnd, kError };

std::string TrimLower(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  std::string out = text.substr(begin, end - begin + 1);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

// Buffered between two stages of a chain.
constexpr size_t kStageBuffer = 64 * 1024;
// zstd frames may ask for a window of up to this many bytes (8 MiB).
constexpr int kZstdWindowLog = 23;

}  // namespace

class ContentDecoder::Stage {
 public:
  virtual ~Stage() = default;
  // Decodes from *in (advancing it) into *out (advancing it); kProgress when
  // anything moved, kStuck when nothing could, kEnd at the end of the
  // coded stream (further input is ignored), kError with `error_` set.
  virtual StepResult Step(const uint8_t** in, size_t* in_left, uint8_t** out,
                          size_t* out_left) = 0;
  // True while the stage holds decoded bytes it has not written yet.
  virtual bool HoldsOutput() const { return false; }
  // True when what the stage took so far forms whole coded data: its stream
  // ended (or, for codings made of frames, the last frame ended).
  virtual bool Whole() const { return ended; }
  bool ended = false;
  std::string error;
};

namespace {

class ZlibStage : public ContentDecoder::Stage {
 public:
  // gzip: a gzip member (or, leniently, a zlib stream); deflate: a zlib
  // stream, or a raw deflate stream as some servers send.
  explicit ZlibStage(bool gzip) : gzip_(gzip) { Init(gzip ? 15 + 32 : 15); }
  ~ZlibStage() override { inflateEnd(&z_); }

  StepResult Step(const uint8_t** in, size_t* in_left, uint8_t** out,
                  size_t* out_left) override {
    if (*in_left == 0 && !pending_output_) return StepResult::kStuck;
    z_.next_in = const_cast<Bytef*>(*in);
    z_.avail_in = static_cast<uInt>(std::min<size_t>(*in_left, 1u << 30));
    z_.next_out = *out;
    z_.avail_out = static_cast<uInt>(std::min<size_t>(*out_left, 1u << 30));
    uInt in_before = z_.avail_in, out_before = z_.avail_out;
    int rc = inflate(&z_, Z_NO_FLUSH);
    if (rc == Z_DATA_ERROR && !gzip_ && !raw_ && z_.total_out == 0 && z_.total_in <= 2) {
      // Not a zlib header: read the same bytes as raw deflate.
      inflateEnd(&z_);
      raw_ = true;
      Init(-15);
      return StepResult::kProgress;
    }
    size_t used = in_before - z_.avail_in, made = out_before - z_.avail_out;
    *in += used;
    *in_left -= used;
    *out += made;
    *out_left -= made;
    pending_output_ = made > 0 && z_.avail_out == 0;
    if (rc == Z_STREAM_END) return StepResult::kEnd;
    if (rc == Z_OK || rc == Z_BUF_ERROR) {
      return used || made ? StepResult::kProgress : StepResult::kStuck;
    }
    error = z_.msg ? z_.msg : "broken compressed data";
    return StepResult::kError;
  }
  bool HoldsOutput() const override { return pending_output_; }

 private:
  void Init(int window_bits) {
    memset(&z_, 0, sizeof z_);
    if (inflateInit2(&z_, window_bits) != Z_OK) error = "cannot set up zlib";
  }
  z_stream z_;
  bool gzip_;
  bool raw_ = false;
  bool pending_output_ = false;
};

class BrotliStage : public ContentDecoder::Stage {
 public:
  BrotliStage() : state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {
    if (!state_) error = "cannot set up brotli";
  }
  ~BrotliStage() override { BrotliDecoderDestroyInstance(state_); }

  StepResult Step(const uint8_t** in, size_t* in_left, uint8_t** out,
                  size_t* out_left) override {
    if (!state_) return StepResult::kError;
    size_t in_before = *in_left, out_before = *out_left;
    BrotliDecoderResult rc =
        BrotliDecoderDecompressStream(state_, in_left, in, out_left, out, nullptr);
    if (rc == BROTLI_DECODER_RESULT_SUCCESS) return StepResult::kEnd;
    if (rc == BROTLI_DECODER_RESULT_ERROR) {
      error = BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state_));
      return StepResult::kError;
    }
    return in_before != *in_left || out_before != *out_left ? StepResult::kProgress
                                                            : StepResult::kStuck;
  }
  bool HoldsOutput() const override {
    return state_ && BrotliDecoderHasMoreOutput(state_);
  }

 private:
  BrotliDecoderState* state_;
};

class ZstdStage : public ContentDecoder::Stage {
 public:
  ZstdStage() : stream_(ZSTD_createDStream()) {
    if (!stream_ || ZSTD_isError(ZSTD_DCtx_setParameter(stream_, ZSTD_d_windowLogMax,
                                                        kZstdWindowLog))) {
      error = "cannot set up zstd";
    }
  }
  ~ZstdStage() override { ZSTD_freeDStream(stream_); }

  StepResult Step(const uint8_t** in, size_t* in_left, uint8_t** out,
                  size_t* out_left) override {
    if (!stream_) return StepResult::kError;
    ZSTD_inBuffer input{*in, *in_left, 0};
    ZSTD_outBuffer output{*out, *out_left, 0};
    size_t rc = ZSTD_decompressStream(stream_, &output, &input);
    if (ZSTD_isError(rc)) {
      error = ZSTD_getErrorName(rc);
      return StepResult::kError;
    }
    *in += input.pos;
    *in_left -= input.pos;
    *out += output.pos;
    *out_left -= output.pos;
    // A full output buffer may leave decoded bytes inside the stream.
    holds_output_ = output.pos == output.size && output.size > 0;
    // rc 0: a frame ended; another may follow in the same answer.
    if (input.pos || output.pos) frame_ended_ = rc == 0;
    return input.pos || output.pos ? StepResult::kProgress : StepResult::kStuck;
  }
  bool HoldsOutput() const override { return holds_output_; }
  bool Whole() const override { return frame_ended_ && !holds_output_; }

 private:
  ZSTD_DStream* stream_;
  bool holds_output_ = false;
  bool frame_ended_ = false;  // the last step finished a frame
};

}  // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::ForEncoding(
    const std::string& content_encoding, std::string* error) {
  std::unique_ptr<ContentDecoder> decoder(new ContentDecoder());
  size_t start = 0;
  while (start <= content_encoding.size()) {
    size_t comma = content_encoding.find(',', start);
    if (comma == std::string::npos) comma = content_encoding.size();
    std::string coding = TrimLower(content_encoding.substr(start, comma - start));
    start = comma + 1;
    std::unique_ptr<Stage> stage;
    if (coding.empty() || coding == "identity") continue;
    if (coding == "gzip" || coding == "x-gzip") {
      stage = std::make_unique<ZlibStage>(true);
    } else if (coding == "deflate") {
      stage = std::make_unique<ZlibStage>(false);
    } else if (coding == "br") {
      stage = std::make_unique<BrotliStage>();
    } else if (coding == "zstd") {
      stage = std::make_unique<ZstdStage>();
    } else {
      *error = "unknown content coding \"" + coding + "\"";
      return nullptr;
    }
    if (!stage->error.empty()) {
      *error = stage->error;
      return nullptr;
    }
    // The coding listed last was applied last: it is undone first.
    decoder->stages_.insert(decoder->stages_.begin(), std::move(stage));
  }
  if (decoder->stages_.empty()) return nullptr;
  decoder->inputs_.resize(decoder->stages_.size());
  return decoder;
}

const char* ContentDecoder::AcceptedEncodings() { return "gzip, deflate, br, zstd"; }

ContentDecoder::~ContentDecoder() = default;

void ContentDecoder::Feed(const char* data, size_t size) {
  if (stages_[0]->ended) return;  // bytes after the end of the coded stream
  Input& in = inputs_[0];
  in.bytes.erase(in.bytes.begin(), in.bytes.begin() + static_cast<ptrdiff_t>(in.at));
  in.at = 0;
  in.bytes.insert(in.bytes.end(), data, data + size);
}

bool ContentDecoder::HasPending() const {
  if (failed()) return false;
  for (size_t i = 0; i < stages_.size(); ++i) {
    if (stages_[i]->ended) continue;
    if (inputs_[i].left() > 0 || stages_[i]->HoldsOutput()) return true;
  }
  return false;
}

bool ContentDecoder::Complete() const {
  if (failed()) return false;
  for (size_t i = 0; i < stages_.size(); ++i) {
    if (!stages_[i]->Whole() || inputs_[i].left() > 0 || stages_[i]->HoldsOutput())
      return false;
  }
  return true;
}

size_t ContentDecoder::Drain(char* out, size_t room) {
  if (failed()) return 0;
  return Produce(stages_.size() - 1, reinterpret_cast<uint8_t*>(out), room);
}

// Fills up to `room` bytes from stage `i`, refilling its input from the
// stage before it (or the fed bytes, for stage 0) as it runs dry.
size_t ContentDecoder::Produce(size_t i, uint8_t* out, size_t room) {
  Stage& stage = *stages_[i];
  Input& in = inputs_[i];
  size_t made = 0;
  while (made < room && !stage.ended && !failed()) {
    const uint8_t* from = in.bytes.data() + in.at;
    size_t left = in.left();
    uint8_t* to = out + made;
    size_t to_left = room - made;
    StepResult result = stage.Step(&from, &left, &to, &to_left);
    in.at = in.bytes.size() - left;
    made = room - to_left;
    if (result == StepResult::kError) {
      error_ = stage.error.empty() ? "broken compressed data" : stage.error;
      break;
    }
    if (result == StepResult::kEnd) {
      stage.ended = true;
      in.bytes.clear();
      in.at = 0;
      break;
    }
    if (result == StepResult::kProgress) continue;
    // Stuck: it needs more input.
    if (in.left() > 0 || i == 0) break;
    in.bytes.resize(kStageBuffer);
    in.at = 0;
    size_t refilled = Produce(i - 1, in.bytes.data(), kStageBuffer);
    in.bytes.resize(refilled);
    if (refilled == 0) break;
  }
  if (i == 0 && in.at == in.bytes.size()) {
    in.bytes.clear();
    in.at = 0;
  }
  return made;
}

}  // namespace cvie::platform
