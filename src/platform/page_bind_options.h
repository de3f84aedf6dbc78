// platform/page_bind_options.h
//
// What a caller of the binding engine sets for one page that a MIME filter
// must honour. The IInternetBindInfo that the engine hands to a filter's
// Start also answers QueryInterface for IPageBindOptions; a bind info that
// does not (a browser's own URL-moniker library) sets nothing, and the
// filter keeps its defaults.
//
// Thread safety: answered on the binding thread, like the bind info itself.

#pragma once

#include <stdint.h>

#include "platform/com.h"
#include "platform/urlmon.h"

namespace cvie {

// {3E7A1C90-5D2B-4F61-9A8E-0C4B7D21F6A3}
inline const IID IID_IPageBindOptions = {
    0x3E7A1C90, 0x5D2B, 0x4F61, {0x9A, 0x8E, 0x0C, 0x4B, 0x7D, 0x21, 0xF6, 0xA3}};

class IPageBindOptions : public IUnknown {
 public:
  // The most a filter may collect of the page before it passes the page on
  // unedited, in bytes; 0: no limit. S_OK, or E_INVALIDARG for a null `bytes`.
  virtual HRESULT GetPageLimit(uint64_t* bytes) = 0;
};

// The page limit `bind_info` answers, or 0 when it is null or answers none.
uint64_t PageLimitOf(IInternetBindInfo* bind_info);

}  // namespace cvie
