// platform/upstream_trust.h
//
// Which certificate authorities the proxy's upstream HTTPS fetches trust. By
// default the system's trust store; a process may name a PEM bundle instead
// (`cvie proxy` takes it from CVIE_UPSTREAM_CA_FILE: "verify upstream servers
// against this bundle instead of the system's", used by tests with their own
// authority). Either way every upstream certificate is verified, host name
// included: there is no setting that turns verification off.
//
// Thread safety: both calls may come from any thread; a transfer reads the
// setting once, when it starts.

#pragma once

#include <string>

namespace cvie::platform {

// Sets the bundle used by transfers started from now on; empty restores the
// system's trust store.
void SetUpstreamCaFile(const std::string& path);
// The bundle set, or empty for the system's trust store.
std::string UpstreamCaFile();

}  // namespace cvie::platform
