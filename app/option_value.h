// app/option_value.h
//
// A value for a stored option as typed on the command line (`cvie options set`,
// `cvie filter --option`).

#pragma once

#include <stdint.h>

#include <string>

namespace cvie::app {

// Parses a whole decimal integer, with an optional sign, that a REG_DWORD can
// hold (-2147483648 to 4294967295) and stores it as the option stores it:
// values above the int range keep their 32 bits. False, leaving *value alone,
// for anything else (empty text, a sign alone, other characters, out of range).
bool ParseOptionValue(const std::string& text, int32_t* value);

}  // namespace cvie::app
