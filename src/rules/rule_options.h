// rules/rule_options.h
//
// The vocabulary of a rule's options word: the keywords a rule may list after
// its last "$", the type bit each one sets, the flags, and the element kinds the
// page editor asks about with the type bit that selects rules for each kind.
//
// The options word: bits 0-23 are the type mask (which checks a rule applies
// to), bits 24-31 are flags. Plain constants; nothing here has state.

#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>

namespace cvie {

// Type bits.
constexpr uint32_t TYPE_OTHER = 0x1;
constexpr uint32_t TYPE_IMAGE = 0x2;
constexpr uint32_t TYPE_BACKGROUND = 0x4;
constexpr uint32_t TYPE_STYLESHEET = 0x8;
constexpr uint32_t TYPE_OBJECT = 0x10;
constexpr uint32_t TYPE_LINK = 0x20;
constexpr uint32_t TYPE_SUBDOCUMENT = 0x40;
constexpr uint32_t TYPE_DOCUMENT = 0x80;
constexpr uint32_t TYPE_SCRIPT = 0x100;
constexpr uint32_t TYPE_SCRIPT_URL = 0x200;
constexpr uint32_t TYPE_SCRIPT_TEXT = 0x400;
constexpr uint32_t TYPE_DIV = 0x800;
constexpr uint32_t TYPE_MARQUEE = 0x1000;

// Flags.
constexpr uint32_t FLAG_MATCH_CASE = 0x1000000;  // compile case-sensitive
constexpr uint32_t FLAG_COLLAPSE = 0x2000000;    // recorded only; nothing reads it

constexpr uint32_t TYPE_MASK_BITS = 0xFFFFFF;
constexpr uint32_t FLAG_BITS = 0xFF000000;

// The mask of a rule that names no type: every type except the whole text of
// script blocks.
constexpr uint32_t DEFAULT_TYPE_MASK = 0xFFFBFF;

struct RuleKeyword {
  const char* keyword;
  uint32_t bit;
};

// The keywords in the order they are tried. A keyword is recognised by prefix,
// so "script-url" and "script-text" stand before "script".
inline constexpr RuleKeyword kRuleKeywords[] = {
    {"image", TYPE_IMAGE},
    {"background", TYPE_BACKGROUND},
    {"stylesheet", TYPE_STYLESHEET},
    {"object", TYPE_OBJECT},
    {"link", TYPE_LINK},
    {"subdocument", TYPE_SUBDOCUMENT},
    {"document", TYPE_DOCUMENT},
    {"other", TYPE_OTHER},
    {"match-case", FLAG_MATCH_CASE},
    {"collapse", FLAG_COLLAPSE},
    {"div", TYPE_DIV},
    {"script-url", TYPE_SCRIPT_URL},
    {"script-text", TYPE_SCRIPT_TEXT},
    {"script", TYPE_SCRIPT},
    {"marquee", TYPE_MARQUEE},
};
constexpr size_t kRuleKeywordCount = sizeof(kRuleKeywords) / sizeof(kRuleKeywords[0]);

// Element kinds (anyhtml/rule_checker.h ElementKind 0..8): name used in trace
// lines and on the command line, and the type bit that selects rules.
struct ElementKindInfo {
  const char* name;
  uint32_t type_bit;
};

inline constexpr ElementKindInfo kElementKinds[] = {
    {"link", TYPE_LINK},              // 0
    {"image", TYPE_IMAGE},            // 1
    {"background", TYPE_BACKGROUND},  // 2
    {"flash", TYPE_OBJECT},           // 3
    {"script", TYPE_SCRIPT},          // 4
    {"frame", TYPE_SUBDOCUMENT},      // 5
    {"stylesheet", TYPE_STYLESHEET},  // 6
    {"marquee", TYPE_MARQUEE},        // 7
    {"div", TYPE_DIV},                // 8
};
constexpr int kElementKindCount =
    static_cast<int>(sizeof(kElementKinds) / sizeof(kElementKinds[0]));

// The kind with this name, or -1 when there is none.
inline int ElementKindFromName(std::string_view name) {
  for (int i = 0; i < kElementKindCount; ++i) {
    if (name == kElementKinds[i].name) return i;
  }
  return -1;
}

}  // namespace cvie
