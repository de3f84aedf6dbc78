// The text layer on Windows: wide strings are UTF-16 here, converted with the
// system's UTF-8 code page; case folding uses the invariant locale's mapping.

#include "platform/text.h"

#include <stdio.h>
#include <wchar.h>

#include <vector>

#include "platform/win/win32.h"

namespace cvie::platform {
namespace {

constexpr size_t kMaxFormatted = size_t{4} << 20;

}  // namespace

// Unpaired surrogates become U+FFFD (the system's conversion does so).
std::string ToNarrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                 nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                        out.data(), size, nullptr, nullptr);
  }
  return out;
}

// Malformed UTF-8 becomes U+FFFD (without MB_ERR_INVALID_CHARS the system
// replaces rather than fails).
std::wstring ToWide(const std::string& narrow) {
  if (narrow.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, narrow.data(),
                                 static_cast<int>(narrow.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, narrow.data(), static_cast<int>(narrow.size()),
                        out.data(), size);
  }
  return out;
}

// MinGW's C99 formatter: "%s" takes an 8-bit string as on Linux. Its 8-bit
// arguments are converted in the process's code page, not always UTF-8.
bool FormatWideV(std::wstring* out, const wchar_t* format, va_list args) {
  out->clear();
  std::vector<wchar_t> buffer(1024);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int written = __mingw_vsnwprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (written >= 0 && static_cast<size_t>(written) < buffer.size()) {
      out->assign(buffer.data(), static_cast<size_t>(written));
      return true;
    }
    size_t wanted = written >= 0 ? static_cast<size_t>(written) + 1 : buffer.size() * 4;
    if (wanted > kMaxFormatted) return false;
    buffer.resize(wanted);
  }
}

double ParseCLocaleNumber(const char* text, char** end) {
  static const _locale_t c_locale = _create_locale(LC_ALL, "C");
  if (!c_locale) return strtod(text, end);
  return _strtod_l(text, end, c_locale);
}

std::wstring FoldCase(const std::wstring& text) {
  if (text.empty()) return {};
  std::wstring out(text.size(), L'\0');
  int got = LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, text.data(),
                         static_cast<int>(text.size()), out.data(),
                         static_cast<int>(out.size()));
  if (got != static_cast<int>(text.size())) {
    out = text;
    for (wchar_t& ch : out) {
      if (ch >= L'A' && ch <= L'Z') ch = static_cast<wchar_t>(ch - L'A' + L'a');
    }
  }
  return out;
}

}  // namespace cvie::platform
