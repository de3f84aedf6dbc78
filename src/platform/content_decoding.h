// platform/content_decoding.h
//
// Undoes the content codings of an HTTP answer (gzip, deflate, br, zstd, in
// the order the server applied them) a piece at a time, never producing more
// than the caller has room for. The transfer hands over what arrived; the
// caller drains decoded bytes while it has room and stops the transfer when
// it has not, so that a small answer that decodes to gigabytes costs no more
// memory than the caller's own buffer and the decoders' windows (zstd
// windows are limited to 8 MiB, as browsers do; brotli's to 16 MiB).
//
// One object per answer, used by one thread.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace cvie::platform {

class ContentDecoder {
 public:
  // A decoder for the codings of a Content-Encoding value (the header's
  // values joined by commas; "identity" entries are skipped). Null when no
  // decoding is needed, or, with `*error` set, when a coding is not known.
  static std::unique_ptr<ContentDecoder> ForEncoding(const std::string& content_encoding,
                                                     std::string* error);
  // The codings this decoder can undo, for the Accept-Encoding request header.
  static const char* AcceptedEncodings();

  ~ContentDecoder();
  ContentDecoder(const ContentDecoder&) = delete;
  ContentDecoder& operator=(const ContentDecoder&) = delete;

  // Takes `size` more encoded bytes (copied). Only when HasPending() is false.
  void Feed(const char* data, size_t size);
  // Writes up to `room` decoded bytes at `out`; returns how many. Zero with
  // failed() false means it needs more input (or the stream ended).
  size_t Drain(char* out, size_t room);
  // True while fed input is not decoded yet, or decoded bytes wait for room.
  bool HasPending() const;
  // True once every coding's stream has reached its end: all the data was
  // fed and decoded. False for data that stopped short (a truncated answer).
  bool Complete() const;
  // True once the encoded data was found to be broken; `error()` says how.
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  class Stage;  // one coding

 private:
  ContentDecoder() = default;
  size_t Produce(size_t stage, uint8_t* out, size_t room);

  struct Input {
    std::vector<uint8_t> bytes;
    size_t at = 0;
    size_t left() const { return bytes.size() - at; }
  };
  std::vector<std::unique_ptr<Stage>> stages_;  // first-applied coding last
  std::vector<Input> inputs_;                   // inputs_[i] feeds stages_[i]
  std::string error_;
};

}  // namespace cvie::platform
