// app/proxy/stop_signal.h
//
// Stopping the proxy with SIGINT (Ctrl-C) or SIGTERM: the signals are blocked in
// every thread and taken synchronously by the thread that waits for them, so the
// stop runs as ordinary code instead of inside a signal handler.

#pragma once

namespace cvie::proxy {

// Blocks SIGINT and SIGTERM in the calling thread and in every thread it starts
// afterwards, and ignores SIGPIPE (a browser closing its connection must not end
// the process). Call before any thread is started.
void BlockStopSignals();

// Waits until SIGINT or SIGTERM arrives; returns the signal number.
int WaitForStopSignal();

}  // namespace cvie::proxy
