// The UTF-8 check that lets a rule scan skip the matcher's own check: it must
// accept exactly what the matcher accepts in UTF mode.

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "rules/utf8_check.h"

namespace cvie {
namespace {

struct Utf8Case {
  std::string text;
  bool valid;
};

const Utf8Case kUtf8Cases[] = {
    {"", true},
    {"http://x/ads/a.gif", true},
    {"caf\xc3\xa9", true},       // U+00E9
    {"\xe2\x82\xac", true},      // U+20AC
    {"\xf0\x9f\x98\x80", true},  // U+1F600
    {"\xf4\x8f\xbf\xbf", true},  // U+10FFFF
    {"\xef\xbf\xbe", true},      // U+FFFE, a noncharacter, is allowed
    {std::string("a\0b", 3), true},
    {"caf\xe9", false},           // Latin-1
    {"\x80", false},              // lone continuation byte
    {"\xc3", false},              // cut short at the end
    {"\xc3(", false},             // bad continuation
    {"\xc0\xaf", false},          // overlong "/"
    {"\xc1\xbf", false},          // overlong
    {"\xe0\x80\xaf", false},      // overlong
    {"\xe0\x9f\xbf", false},      // overlong
    {"\xed\xa0\x80", false},      // surrogate U+D800
    {"\xed\xbf\xbf", false},      // surrogate U+DFFF
    {"\xf0\x8f\xbf\xbf", false},  // overlong
    {"\xf4\x90\x80\x80", false},  // above U+10FFFF
    {"\xf5\x80\x80\x80", false},
    {"\xf8\x88\x80\x80\x80", false},  // 5-byte form
    {"\xfe", false},
    {"\xe2\x82", false},
    {"\xf0\x9f\x98", false},
};

// What the matcher itself says about `text` in UTF mode.
bool MatcherAcceptsUtf8(pcre2_code* code, pcre2_match_data* data,
                        const std::string& text) {
  int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0,
                       data, nullptr);
  return !(rc <= PCRE2_ERROR_UTF8_ERR1 && rc >= PCRE2_ERROR_UTF8_ERR21);
}

class Utf8CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error;
    PCRE2_SIZE offset;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>("zzz"), PCRE2_ZERO_TERMINATED,
                          PCRE2_UTF | PCRE2_CASELESS, &error, &offset, nullptr);
    ASSERT_NE(code_, nullptr);
    data_ = pcre2_match_data_create(10, nullptr);
  }
  void TearDown() override {
    pcre2_match_data_free(data_);
    pcre2_code_free(code_);
  }
  pcre2_code* code_ = nullptr;
  pcre2_match_data* data_ = nullptr;
};

TEST_F(Utf8CheckTest, JudgesTheTableLikeTheMatcher) {
  for (const Utf8Case& c : kUtf8Cases) {
    std::string hex;
    for (unsigned char b : c.text) hex += std::to_string(b) + " ";
    EXPECT_EQ(IsValidUtf8(c.text.data(), c.text.size()), c.valid) << hex;
    EXPECT_EQ(MatcherAcceptsUtf8(code_, data_, c.text), c.valid) << hex;
  }
}

// Long ASCII runs are passed over in words: a sequence placed at any offset
// inside them, and at their ends, is still judged as on its own.
TEST_F(Utf8CheckTest, JudgesTheTableAtEveryPlaceInsideLongAsciiText) {
  for (const Utf8Case& c : kUtf8Cases) {
    for (size_t before = 0; before <= 17; ++before) {
      for (size_t after = 0; after <= 17; ++after) {
        const std::string text =
            std::string(before, 'a') + c.text + std::string(after, 'b');
        ASSERT_EQ(IsValidUtf8(text.data(), text.size()), c.valid)
            << "before " << before << " after " << after;
        ASSERT_EQ(MatcherAcceptsUtf8(code_, data_, text), c.valid);
      }
    }
  }
}

TEST_F(Utf8CheckTest, AgreesWithTheMatcherOnRandomBytes) {
  std::mt19937 random(20260714);
  // Bytes drawn mostly from the lead and continuation ranges, so that many
  // strings are near-valid sequences.
  const unsigned char kInteresting[] = {0x2f, 0x61, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0,
                                        0xbf, 0xc0, 0xc1, 0xc2, 0xdf, 0xe0, 0xe1, 0xec,
                                        0xed, 0xee, 0xef, 0xf0, 0xf1, 0xf3, 0xf4, 0xf5,
                                        0xf7, 0xf8, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};
  size_t valid = 0;
  for (int n = 0; n < 200000; ++n) {
    std::string text;
    int length = 1 + random() % 6;
    for (int i = 0; i < length; ++i) {
      text += static_cast<char>(random() % 3 == 0
                                    ? random() % 256
                                    : kInteresting[random() % sizeof(kInteresting)]);
    }
    bool ours = IsValidUtf8(text.data(), text.size());
    valid += ours;
    ASSERT_EQ(ours, MatcherAcceptsUtf8(code_, data_, text)) << "case " << n;
  }
  EXPECT_GT(valid, 1000u);
}

}  // namespace
}  // namespace cvie
