// tests/anyhtml/parse_recorder.h
//
// A parser for tests that records every delivered node (type, text, the
// callback it came through, the encoding passed) and the concatenation of
// their texts, plus a helper that hands the parser an exactly sized copy of
// the input so that AddressSanitizer sees any read past it.

#pragma once

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "anyhtml/html_parser.h"

namespace cvie::testing {

struct SeenNode {
  int type;
  std::string text;
  bool through_on_element;
  int encoding;
};

class RecordingParser : public AnyHtmlParser {
 public:
  int OnNode(AnyHtmlNode* node, int encoding) override {
    Record(*node, false, encoding);
    return 0;
  }
  int OnElement(AnyHtmlElement* element, int encoding) override {
    Record(*element, true, encoding);
    return 0;
  }

  // "TYPE[text]" for each node, in order.
  std::string Describe() const {
    std::string out;
    for (const SeenNode& node : nodes) {
      out += AnyHtmlNodeTypeName(node.type);
      out += "[" + node.text + "]";
    }
    return out;
  }

  std::vector<SeenNode> nodes;
  std::string output;  // every node's text, in order
  bool text_failed = false;

 private:
  void Record(const AnyHtmlNode& node, bool element, int encoding) {
    const char* text = nullptr;
    size_t length = 0;
    if (node.GetText(&text, &length) != 0) {
      text_failed = true;
      return;
    }
    nodes.push_back({node.type(), std::string(text, length), element, encoding});
    output.append(text, length);
  }
};

// Parses `input` from a heap block of exactly its size (no zero bytes after
// it) and returns the parser's result.
inline int ParseExact(AnyHtmlParser* parser, const std::string& input, int encoding) {
  std::unique_ptr<char[]> copy(new char[input.size() ? input.size() : 1]);
  memcpy(copy.get(), input.data(), input.size());
  return parser->Parse(copy.get(), input.size(), encoding);
}

}  // namespace cvie::testing
