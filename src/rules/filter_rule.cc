#include "rules/filter_rule.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace cvie {

FilterRule::~FilterRule() {
  pcre2_code_free(compiled);
  compiled = nullptr;
  good = 0;
}

uint32_t FilterRule::compile_options() const {
  return PCRE2_UTF | (caseless() ? PCRE2_CASELESS : 0);
}

}  // namespace cvie
