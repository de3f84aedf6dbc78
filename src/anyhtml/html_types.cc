#include "anyhtml/html_types.h"

namespace cvie {

namespace {

const char* const kNodeTypeNames[] = {"TEXT",  "ELEMENT", "COMMENT", "DTD", "SCRIPT",
                                      "CDATA", "NAME",    "VALUE",   "ATTR"};

const char* const kErrorTexts[] = {"No error",
                                   "EOF",
                                   "Failed to read a name",
                                   "Encountered invalid char",
                                   "Error parsing Element",
                                   "Failed to read Element name",
                                   "Error reading attributes",
                                   "Error reading attr name",
                                   "Error reading attr value",
                                   "Failed to write the output"};

}  // namespace

const char* AnyHtmlNodeTypeName(int type) {
  if (type < 0 ||
      type >= static_cast<int>(sizeof kNodeTypeNames / sizeof *kNodeTypeNames)) {
    return "UNKNOWN";
  }
  return kNodeTypeNames[type];
}

const char* AnyHtmlErrorText(int code) {
  if (code < 0 || code >= static_cast<int>(sizeof kErrorTexts / sizeof *kErrorTexts)) {
    return "Unknown error";
  }
  return kErrorTexts[code];
}

bool EqualsIgnoreCase(const char* a, const char* b) {
  if (!a || !b) return false;
  const uint8_t* x = reinterpret_cast<const uint8_t*>(a);
  const uint8_t* y = reinterpret_cast<const uint8_t*>(b);
  while (*x && FoldAscii(*x) == FoldAscii(*y)) {
    ++x;
    ++y;
  }
  return *x == 0 && *y == 0;
}

bool StartsWithIgnoreCase(const char* text, const char* prefix) {
  if (!text || !prefix) return false;
  const uint8_t* x = reinterpret_cast<const uint8_t*>(text);
  const uint8_t* y = reinterpret_cast<const uint8_t*>(prefix);
  for (; *y; ++x, ++y) {
    if (*x == 0 || FoldAscii(*x) != FoldAscii(*y)) return false;
  }
  return true;
}

bool BytesEqualIgnoreCase(const char* a, const char* b, size_t length) {
  const uint8_t* x = reinterpret_cast<const uint8_t*>(a);
  const uint8_t* y = reinterpret_cast<const uint8_t*>(b);
  for (size_t i = 0; i < length; ++i) {
    if (FoldAscii(x[i]) != FoldAscii(y[i])) return false;
  }
  return true;
}

}  // namespace cvie
