// anyhtml/editor_writer.h
//
// Where the page editor's output goes: a one-operation sink, so that the HTML
// library does not depend on the destination. CEasyBuffer (easy_buffer.h) is
// the program's sink.

#pragma once

#include <stdint.h>

namespace cvie {

class AnyHtmlEditorWriter {
 public:
  virtual ~AnyHtmlEditorWriter() = default;
  // Takes `length` bytes at `data`. Returns 0 (S_OK) on success, a failure
  // code otherwise. After a failure the output has a hole: the editor writes
  // nothing more and its Edit reports the page as failed.
  virtual int32_t Write(const char* data, uint32_t length) = 0;
};

}  // namespace cvie
