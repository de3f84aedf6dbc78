// tests/common/loopback.h
//
// Sockets on 127.0.0.1 at ports the system picks, for the test servers: no
// test ever asks for a fixed port.

#pragma once

#include <stdint.h>

namespace cvie::testing {

// A TCP socket listening on 127.0.0.1 at a port the system chose (stored in
// `*port`), close-on-exec. -1 when it cannot be made.
int ListenOnLoopback(uint16_t* port, int backlog = 64);

// A port on 127.0.0.1 where nothing listens: bound once, then released.
// 0 when none could be had.
uint16_t UnusedLoopbackPort();

}  // namespace cvie::testing
