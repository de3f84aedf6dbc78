// platform/own_listeners.h
//
// The sockets this process listens on for its own clients (the proxy's
// port). An upstream fetch whose connection would reach one of them is
// refused before anything is sent: a page can name the proxy under any
// spelling (127.1, 0x7f000001, 2130706433, localhost, 127.0.0.2, a DNS name
// that resolves to loopback), and such a request would come back in as a new
// request waiting for a worker that its own outer request holds. What counts
// is the address the connection goes to, not how the URL spells it: on a
// listener's port, any loopback address when the listener is on loopback or
// on every interface (0.0.0.0, ::), any address of this machine's interfaces
// for the latter, and the listener's own address always.
//
// Thread safety: every call may come from any thread; the HTTP protocol asks
// once per connection it opens.

#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include <string>

namespace cvie::platform {

// Adds a listener: `numeric_address` as bound (IPv4 or IPv6 text), `port`
// its real port. False when the address is not numeric.
bool AddOwnListener(const std::string& numeric_address, uint16_t port);
// Forgets every listener (the process no longer listens).
void ClearOwnListeners();
// True when a connection to `address` would reach one of the listeners.
bool ReachesOwnListener(const sockaddr* address, socklen_t length);

}  // namespace cvie::platform
