// app/road/pass_over.h
//
// Lets the road fetch one page past the HTML filter. A namespace handler of its
// own, registered before the system's namespace handler (so that it runs after
// it, on the same thread, before the filter starts): while the calling thread
// has asked for an unfiltered fetch, it clears the page address the system's
// handler has just recorded, so the filter finds no filterable address and
// passes every read straight to the source. It always declines, so the
// default protocol fetches the page.
//
// Thread safety: the request flag is per thread; registration is guarded.

#pragma once

#include "platform/com.h"

namespace cvie::road {

// Registers the handler for "http", "https" and "file" (counted: only the
// first call registers). S_OK, or the session's failure: then no scheme stays
// registered and nothing is counted.
HRESULT RegisterPassOver();
// Undoes one RegisterPassOver; the last one withdraws the registrations.
void UnregisterPassOver();
// RegisterPassOver calls not yet undone.
int PassOverRegistrationCount();

// While alive, bindings made on this thread are read unfiltered.
class ScopedUnfiltered {
 public:
  ScopedUnfiltered();
  ~ScopedUnfiltered();
  ScopedUnfiltered(const ScopedUnfiltered&) = delete;
  ScopedUnfiltered& operator=(const ScopedUnfiltered&) = delete;

 private:
  bool previous_;
};

}  // namespace cvie::road
