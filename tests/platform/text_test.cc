#include "platform/text.h"

#include <stdarg.h>

#include <string>

#include <gtest/gtest.h>

using namespace cvie;

namespace {

struct DecodeCase {
  const char* name;
  std::string utf8;
  std::wstring wide;
};

const DecodeCase kDecodes[] = {
    {"ascii", "abc", L"abc"},
    {"two bytes", "caf\xC3\xA9", L"caf\u00E9"},
    {"three bytes", "\xE2\x82\xAC", L"\u20AC"},
    {"four bytes", "\xF0\x9F\x98\x80", L"\U0001F600"},
    {"lone continuation", "a\x80z", L"a\uFFFDz"},
    {"bad lead byte", "\xFF", L"\uFFFD"},
    {"overlong two-byte", "\xC0\xAF", L"\uFFFD\uFFFD"},
    {"overlong three-byte", "\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},
    {"surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
    {"above U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"truncated at end", "ab\xE2\x82", L"ab\uFFFD"},
    {"truncated before ascii", "\xE2\x82x", L"\uFFFDx"},
    {"embedded zero", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
};

TEST(Text, ToWideDecodesUtf8AndReplacesMalformedSequences) {
  for (const auto& c : kDecodes) {
    EXPECT_EQ(platform::ToWide(c.utf8), c.wide) << c.name;
  }
}

TEST(Text, ToNarrowEncodesAndRoundTrips) {
  for (const auto& c : kDecodes) {
    if (c.wide.find(L'\uFFFD') != std::wstring::npos) continue;
    EXPECT_EQ(platform::ToNarrow(c.wide), c.utf8) << c.name;
  }
}

TEST(Text, ToNarrowReplacesValuesThatAreNoCharacters) {
  std::wstring wide;
  wide.push_back(static_cast<wchar_t>(0xD800));
  wide.push_back(static_cast<wchar_t>(0x110000));
  wide.push_back(L'x');
  EXPECT_EQ(platform::ToNarrow(wide), "\xEF\xBF\xBD\xEF\xBF\xBDx");
}

bool Format(std::wstring* out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = platform::FormatWideV(out, format, args);
  va_end(args);
  return ok;
}

TEST(Text, FormatWideReadsNarrowArgumentsAsUtf8) {
  std::wstring out;
  ASSERT_TRUE(Format(&out, L"%d [%s] [%ls]", 42, "caf\xC3\xA9", L"\u20AC"));
  EXPECT_EQ(out, L"42 [caf\u00E9] [\u20AC]");
}

TEST(Text, FormatWideHasNoLengthLimit) {
  std::string long_arg(100000, 'q');
  std::wstring out;
  ASSERT_TRUE(Format(&out, L"<%s>", long_arg.c_str()));
  EXPECT_EQ(out.size(), 100002u);
  EXPECT_EQ(out.front(), L'<');
  EXPECT_EQ(out.back(), L'>');
}

TEST(Text, FormatWideRefusesMalformedNarrowArgument) {
  std::wstring out = L"left over";
  EXPECT_FALSE(Format(&out, L"%s", "bad \xFF byte"));
  EXPECT_TRUE(out.empty());
}

TEST(Text, FoldCaseLowersAsciiAndOtherLetters) {
  EXPECT_EQ(platform::FoldCase(L"Software\\Corvane\\IE Plugin"),
            L"software\\corvane\\ie plugin");
  EXPECT_EQ(platform::FoldCase(L"\u00C9T\u00C9"), L"\u00E9t\u00E9");
  EXPECT_EQ(platform::FoldCase(L"123 _-"), L"123 _-");
}

}  // namespace
