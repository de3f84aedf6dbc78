#include "platform/page_bind_options.h"

namespace cvie {

uint64_t PageLimitOf(IInternetBindInfo* bind_info) {
  if (!bind_info) return 0;
  ComPtr<IPageBindOptions> options;
  if (FAILED(bind_info->QueryInterface(IID_IPageBindOptions, options.OutVoid())) ||
      !options)
    return 0;
  uint64_t bytes = 0;
  if (FAILED(options->GetPageLimit(&bytes))) return 0;
  return bytes;
}

}  // namespace cvie
