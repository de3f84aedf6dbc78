// platform/local_time.h
//
// The calendar parts of a moment in the local time zone, thread-safe (the
// C library's localtime_r, or localtime_s on Windows). False when the moment
// cannot be converted.

#pragma once

#include <time.h>

namespace cvie::platform {

inline bool LocalTime(time_t when, struct tm* parts) {
#ifdef _WIN32
  return localtime_s(parts, &when) == 0;
#else
  return localtime_r(&when, parts) != nullptr;
#endif
}

}  // namespace cvie::platform
