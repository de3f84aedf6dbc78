#include "lists/regex_literal.h"

namespace cvie::lists {

namespace {

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Escapes of one character class or zero-width assertion: "\d", "\b", ...
bool IsClassEscape(char c) {
  switch (c) {
    case 'd':
    case 'D':
    case 'w':
    case 'W':
    case 's':
    case 'S':
    case 'h':
    case 'H':
    case 'v':
    case 'V':
    case 'b':
    case 'B':
    case 'R':
    case 'N':
    case 'X':
    case 'A':
    case 'z':
    case 'Z':
    case 'G':
      return true;
    default:
      return false;
  }
}

// Index just after the "]" closing the class that starts at `open` ("["),
// or npos. A "]" first in the class (after an optional "^") is a member.
size_t ClassEnd(std::string_view pattern, size_t open) {
  size_t i = open + 1;
  if (i < pattern.size() && pattern[i] == '^') ++i;
  if (i < pattern.size() && pattern[i] == ']') ++i;
  for (; i < pattern.size(); ++i) {
    if (pattern[i] == '\\') {
      ++i;
    } else if (pattern[i] == '[' && i + 1 < pattern.size() && pattern[i + 1] == ':') {
      // A POSIX class "[:alpha:]" inside the class.
      size_t close = pattern.find(":]", i + 2);
      if (close == std::string_view::npos) return std::string_view::npos;
      i = close + 1;
    } else if (pattern[i] == ']') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// Index just after the ")" closing the group that starts at `open` ("("),
// or npos.
size_t GroupEnd(std::string_view pattern, size_t open) {
  int depth = 0;
  for (size_t i = open; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      ++i;
    } else if (c == '[') {
      const size_t end = ClassEnd(pattern, i);
      if (end == std::string_view::npos) return end;
      i = end - 1;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth == 0) return i + 1;
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::string RequiredLiteralOfRegex(std::string_view pattern) {
  // Inline options, comments, verbs and quoting change how the rest reads.
  if (pattern.find("(?") != std::string_view::npos ||
      pattern.find("(*") != std::string_view::npos ||
      pattern.find("\\Q") != std::string_view::npos) {
    return {};
  }
  std::string best;
  std::string run;
  auto end_run = [&] {
    if (run.size() > best.size()) best = run;
    run.clear();
  };
  bool last_literal = false;  // the atom just read is the last character of `run`
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '?' || c == '*' || c == '+' || c == '{') {
      // A quantifier of the atom before: with "?", "*" or "{" that atom may
      // be absent (or "{" may not be a quantifier at all), with "+" it may
      // repeat; either way the run ends there.
      if (c == '{') {
        // Only "{n}", "{n,}", "{n,m}" or "{,m}" is read; any other "{" is
        // taken literally by PCRE2, and what follows it is not skipped here.
        const size_t close = pattern.find('}', i);
        if (close == std::string_view::npos) return {};
        const std::string_view inside = pattern.substr(i + 1, close - i - 1);
        const size_t comma = inside.find(',');
        if (inside.empty() || inside == "," ||
            inside.find_first_not_of("0123456789,") != std::string_view::npos ||
            (comma != std::string_view::npos &&
             inside.find(',', comma + 1) != std::string_view::npos)) {
          return {};
        }
        i = close + 1;
      } else {
        ++i;
      }
      if (last_literal && c != '+') run.pop_back();
      end_run();
      // A lazy or possessive mark.
      if (i < pattern.size() && (pattern[i] == '?' || pattern[i] == '+')) ++i;
      last_literal = false;
      continue;
    }
    if (c == '|') return {};  // alternation at the top level
    last_literal = false;
    if (c == '(') {
      const size_t end = GroupEnd(pattern, i);
      if (end == std::string_view::npos) return {};
      end_run();
      i = end;
      continue;
    }
    if (c == '[') {
      const size_t end = ClassEnd(pattern, i);
      if (end == std::string_view::npos) return {};
      end_run();
      i = end;
      continue;
    }
    if (c == '\\') {
      if (i + 1 >= pattern.size()) return {};
      const char escaped = pattern[i + 1];
      i += 2;
      if (IsAsciiAlnum(escaped)) {
        if (!IsClassEscape(escaped)) return {};  // \x.., \p{..}, back references ...
        end_run();
        continue;
      }
      if (static_cast<unsigned char>(escaped) >= 0x80) return {};
      run += escaped;
      last_literal = true;
      continue;
    }
    ++i;
    if (c == '.' || c == '^' || c == '$' || c == ')' ||
        static_cast<unsigned char>(c) >= 0x80 || static_cast<unsigned char>(c) < 0x20) {
      end_run();
      continue;
    }
    run += c;
    last_literal = true;
  }
  end_run();
  return best;
}

}  // namespace cvie::lists
