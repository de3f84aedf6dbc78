#include "option_value.h"

#include <errno.h>
#include <stdlib.h>

namespace cvie::app {

bool ParseOptionValue(const std::string& text, int32_t* value) {
  size_t i = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j) {
    if (text[j] < '0' || text[j] > '9') return false;
  }
  errno = 0;
  long long v = strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < -2147483648LL || v > 4294967295LL) return false;
  *value = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

}  // namespace cvie::app
