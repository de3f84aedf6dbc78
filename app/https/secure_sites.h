// app/https/secure_sites.h
//
// How secure (HTTPS) sites are treated right now, in one of three states, for
// `cvie https status` and the control panel's "Secure sites" page:
//   filtered            HTTPS filtering is on with a usable local CA: secure
//                       pages are opened and filtered like plain ones (the
//                       passthrough hosts excepted);
//   host blocking only  tunnelled, but tunnels to the subscribed lists'
//                       advertising hosts are refused;
//   tunnelled           tunnelled untouched (no list is subscribed yet).
// Reads the settings, the CA files and the lists folder; never fails.

#pragma once

#include <stddef.h>

#include <string>

namespace cvie::https {

enum class SecureSitesMode { kTunnelled, kHostBlockingOnly, kFiltered };

struct SecureSitesState {
  SecureSitesMode mode = SecureSitesMode::kTunnelled;
  bool switch_on = false;  // the user's "InspectHttps"
  bool ca_present = false;
  std::string ca_problem;  // why a present CA is not used (its key is readable)
  size_t lists = 0;        // subscribed lists on disk
};

SecureSitesState CurrentSecureSitesState();

// "tunnelled", "host blocking only" or "filtered".
const char* SecureSitesModeName(SecureSitesMode mode);

// The state in a few sentences, ending in what the user can do next.
std::string DescribeSecureSites(const SecureSitesState& state);

}  // namespace cvie::https
