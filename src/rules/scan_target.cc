#include "rules/scan_target.h"

#include <string.h>

#include "platform/process.h"

namespace cvie {

const ScanTarget& ScanTargetOfThisMachine() {
  static const ScanTarget target = [] {
    ScanTarget t;
    if (hs_populate_platform(&t.platform) != HS_SUCCESS) {
      memset(&t.platform, 0, sizeof t.platform);
    }
    const unsigned long long avx512 = HS_CPU_FEATURES_AVX512 | HS_CPU_FEATURES_AVX512VBMI;
    if ((t.platform.cpu_features & avx512) != 0) {
      void* avx2_scan = platform::FindLoadedSymbol("avx2_hs_scan");
      if (avx2_scan != nullptr) {
        t.platform.cpu_features &= ~avx512;
        t.scan = reinterpret_cast<ScanFunction>(avx2_scan);
      }
    }
    return t;
  }();
  return target;
}

}  // namespace cvie
