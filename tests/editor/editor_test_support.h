// tests/editor/editor_test_support.h
//
// What the page editor tests share: a writer that collects the output, a
// checker that blocks from a small table and records every question in order,
// and a one-call page edit.

#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "anyhtml/editor_options.h"
#include "anyhtml/editor_writer.h"
#include "anyhtml/html_editor.h"
#include "anyhtml/rule_checker.h"

namespace cvie::testing {

// Collects everything written, in order.
class StringWriter : public AnyHtmlEditorWriter {
 public:
  int32_t Write(const char* data, uint32_t length) override {
    out.append(data, length);
    ++writes;
    return 0;
  }
  std::string out;
  int writes = 0;
};

// The kind names used in the recorded questions and the block tables.
inline const char* KindName(int kind) {
  static const char* const kNames[] = {"link",       "image",   "background",
                                       "flash",      "script",  "frame",
                                       "stylesheet", "marquee", "div"};
  return kind >= 0 && kind <= 8 ? kNames[kind] : "?";
}

// Blocks from a table of lines "kind text" (exact text) and "script-block
// word" (any script block containing word). Records every question as
// "kind text" (or "script-block text"), one entry per call.
class TableChecker : public AnyHtmlEditorRuleChecker {
 public:
  explicit TableChecker(const std::string& table = "") {
    size_t start = 0;
    while (start < table.size()) {
      size_t end = table.find('\n', start);
      if (end == std::string::npos) end = table.size();
      std::string line = table.substr(start, end - start);
      if (!line.empty()) entries_.push_back(line);
      start = end + 1;
    }
  }
  bool CheckElement(int kind, const char* text, int) override {
    std::string question = std::string(KindName(kind)) + " " + (text ? text : "(null)");
    calls.push_back(question);
    for (const std::string& entry : entries_) {
      if (entry == question) return true;
    }
    return false;
  }
  bool CheckScript(const char* text, int) override {
    std::string body = text ? text : "";
    calls.push_back("script-block " + body);
    for (const std::string& entry : entries_) {
      if (entry.rfind("script-block ", 0) == 0 &&
          body.find(entry.substr(13)) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  // The recorded questions joined with " | ".
  std::string Calls() const {
    std::string joined;
    for (const std::string& call : calls) {
      if (!joined.empty()) joined += " | ";
      joined += call;
    }
    return joined;
  }
  std::vector<std::string> calls;

 private:
  std::vector<std::string> entries_;
};

// Edits `page` with a buffer that has the two zero bytes the parser expects
// after the page, and returns the output.
inline std::string EditPage(const std::string& page, const EditorOptions& options,
                            AnyHtmlEditorRuleChecker* checker, int* result = nullptr) {
  std::string buffer = page;
  buffer.push_back('\0');
  buffer.push_back('\0');
  StringWriter writer;
  AnyHtmlEditor editor(&writer, &options, checker);
  int r = editor.Edit(buffer.data(), page.size(), 0);
  if (result) *result = r;
  return writer.out;
}

}  // namespace cvie::testing
