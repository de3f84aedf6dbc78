// rules/scan_target.h
//
// The processor a Vectorscan database is compiled for and the scan entry
// point that goes with it, shared by every candidate index.
//
// Vectorscan's build for processors with AVX-512 was seen to miss plain
// literals found by its AVX2 build (the literal "az" among twenty others in a
// URL of 72 characters). On such processors databases are made for AVX2 and
// scanned through the library's AVX2 entry point, when the library (a build
// for several processors) offers one.

#pragma once

#include <hs/hs.h>

namespace cvie {

using ScanFunction = hs_error_t (*)(const hs_database_t*, const char*, unsigned, unsigned,
                                    hs_scratch_t*, match_event_handler, void*);

struct ScanTarget {
  hs_platform_info_t platform;  // pass to hs_compile_multi
  ScanFunction scan = hs_scan;  // use instead of hs_scan
};

// Worked out once per process; safe to call from any thread.
const ScanTarget& ScanTargetOfThisMachine();

}  // namespace cvie
