#include "platform/com.h"

#include <stdio.h>

#include <cctype>

namespace cvie {

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE,
                                   {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
const IID IID_IStream = {0x0000000C, 0x0000, 0x0000,
                         {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000,
                               {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

bool GUID::operator==(const GUID& other) const {
  if (data1 != other.data1 || data2 != other.data2 || data3 != other.data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (data4[i] != other.data4[i]) return false;
  }
  return true;
}

std::string GUID::Text() const {
  char text[40];
  snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           data1, data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4],
           data4[5], data4[6], data4[7]);
  return text;
}

std::wstring GUID::WideText() const {
  std::string narrow = Text();
  return std::wstring(narrow.begin(), narrow.end());
}

bool GUID::FromText(const std::string& text, GUID* out) {
  std::string hex;
  size_t begin = 0, end = text.size();
  if (end >= 2 && text[0] == '{' && text[end - 1] == '}') {
    begin = 1;
    --end;
  }
  if (end - begin != 36) return false;
  for (size_t i = begin; i < end; ++i) {
    size_t at = i - begin;
    bool dash_position = at == 8 || at == 13 || at == 18 || at == 23;
    if (dash_position) {
      if (text[i] != '-') return false;
    } else if (!isxdigit(static_cast<unsigned char>(text[i]))) {
      return false;
    } else {
      hex.push_back(text[i]);
    }
  }
  auto byte = [&](size_t i) {
    return static_cast<uint8_t>(std::stoul(hex.substr(i * 2, 2), nullptr, 16));
  };
  GUID g{};
  g.data1 = static_cast<uint32_t>(std::stoul(hex.substr(0, 8), nullptr, 16));
  g.data2 = static_cast<uint16_t>(std::stoul(hex.substr(8, 4), nullptr, 16));
  g.data3 = static_cast<uint16_t>(std::stoul(hex.substr(12, 4), nullptr, 16));
  for (int i = 0; i < 8; ++i) g.data4[i] = byte(8 + i);
  *out = g;
  return true;
}

}  // namespace cvie
