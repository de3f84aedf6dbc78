// UTF-8 conversions and locale-pinned wide formatting.

#include "platform/text.h"

#include <errno.h>
#include <locale.h>
#include <stdint.h>
#include <wchar.h>
#include <wctype.h>

#include <vector>

namespace cvie::platform {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;
constexpr size_t kMaxFormatted = size_t{4} << 20;

// A UTF-8 C locale for the conversions of "%s" arguments and for case
// mapping, so that neither depends on (nor changes) the process locale. Null
// when the C library has no UTF-8 locale; callers then use the process locale.
locale_t Utf8Locale() {
  static locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (!l) l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
    if (!l) l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(0));
    return l;
  }();
  return locale;
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string ToNarrow(const std::wstring& wide) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t ch : wide) {
    uint32_t cp = static_cast<uint32_t>(ch);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    AppendUtf8(&out, cp);
  }
  return out;
}

std::wstring ToWide(const std::string& narrow) {
  std::wstring out;
  out.reserve(narrow.size());
  const size_t n = narrow.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(narrow[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    size_t length;
    uint32_t cp;
    // Allowed range of the second byte; it excludes overlong forms,
    // surrogates and values above U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t used = 1;
    while (used < length && i + used < n) {
      const unsigned char b = static_cast<unsigned char>(narrow[i + used]);
      const unsigned char lo = used == 1 ? low : 0x80;
      const unsigned char hi = used == 1 ? high : 0xBF;
      if (b < lo || b > hi) break;
      cp = (cp << 6) | (b & 0x3F);
      ++used;
    }
    // A sequence cut short counts as one malformed unit: one U+FFFD for the
    // bytes read so far, and the next byte starts afresh.
    out.push_back(used == length ? static_cast<wchar_t>(cp) : kReplacement);
    i += used;
  }
  return out;
}

bool FormatWideV(std::wstring* out, const wchar_t* format, va_list args) {
  out->clear();
  locale_t utf8 = Utf8Locale();
  locale_t previous = utf8 ? uselocale(utf8) : static_cast<locale_t>(0);
  bool ok = false;
  std::vector<wchar_t> buffer(1024);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    errno = 0;
    int written = vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (written >= 0) {
      out->assign(buffer.data(), static_cast<size_t>(written));
      ok = true;
      break;
    }
    // -1 with EILSEQ is a conversion failure; otherwise the buffer was short.
    if (errno == EILSEQ || buffer.size() >= kMaxFormatted) break;
    buffer.resize(buffer.size() * 4);
  }
  if (utf8) uselocale(previous);
  return ok;
}

double ParseCLocaleNumber(const char* text, char** end) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (c_locale == static_cast<locale_t>(0)) return strtod(text, end);
  return strtod_l(text, end, c_locale);
}

std::wstring FoldCase(const std::wstring& text) {
  std::wstring out(text);
  locale_t utf8 = Utf8Locale();
  for (wchar_t& ch : out) {
    if (utf8) {
      ch = static_cast<wchar_t>(towlower_l(static_cast<wint_t>(ch), utf8));
    } else if (ch >= L'A' && ch <= L'Z') {
      ch = static_cast<wchar_t>(ch - L'A' + L'a');
    }
  }
  return out;
}

}  // namespace cvie::platform
