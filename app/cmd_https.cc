// cvie https [on|off|status]: switches HTTPS filtering on or off, or prints
// whether it is on; `status` says how secure sites are treated (tunnelled,
// host blocking only, filtered) and what to do next. The proxy reads the
// switch when a secure connection is opened.

#include <stdio.h>

#include <memory>
#include <string>

#include "command.h"
#include "https/https_settings.h"
#include "https/local_ca.h"
#include "https/secure_sites.h"
#include "platform/files.h"
#include "platform/text.h"

namespace cvie::app {
namespace {

// The switch's state in words. Switched on is not enough to filter secure
// pages: the proxy also needs a local CA whose key only this user can read,
// and tunnels secure sites unfiltered without one.
std::string HttpsState() {
  if (!https::InspectHttpsEnabled()) return "HTTPS filtering is off.";
  if (!https::LocalCaPresent()) {
    return "HTTPS filtering is on, but there is no local CA: secure sites are tunnelled "
           "unfiltered (run cvie ca create).";
  }
  std::string why;
  if (!platform::FileIsPrivate(https::LocalCaKeyPath(), &why)) {
    return "HTTPS filtering is on, but the local CA key " +
           platform::ToNarrow(https::LocalCaKeyPath()) + " " + why +
           ": secure sites are tunnelled unfiltered.";
  }
  return "HTTPS filtering is on.";
}

CommandRun SetupHttps(CLI::App* sub) {
  auto state = std::make_shared<std::string>();
  sub->add_option("STATE", *state,
                  "on or off (nothing: print the current state; status: how secure sites "
                  "are treated)");
  return [state] {
    std::string error;
    if (state->empty()) {
      printf("%s\n", HttpsState().c_str());
      return 0;
    }
    if (*state == "status") {
      printf("%s\n",
             https::DescribeSecureSites(https::CurrentSecureSitesState()).c_str());
      printf("%s\n", HttpsState().c_str());
      return 0;
    }
    if (*state != "on" && *state != "off") {
      return UsageError("unknown state \"" + *state + "\": use on or off");
    }
    const bool on = *state == "on";
    if (on && !https::EnsurePassthroughFile(&error)) return Fail(error);
    if (!https::SetInspectHttps(on, &error)) return Fail(error);
    if (!on) {
      printf("HTTPS filtering is off: secure pages pass through unfiltered.\n");
      return 0;
    }
    printf("HTTPS filtering is on.\n");
    printf("Hosts never filtered over HTTPS are listed in %s\n",
           platform::ToNarrow(https::HttpsPassthroughPath()).c_str());
    if (!https::LocalCaPresent()) {
      fprintf(stderr,
              "cvie: warning: there is no local CA yet; run cvie ca create first\n");
    }
    return 0;
  };
}

CommandRegistrar kHttps("https", "Switch HTTPS filtering on or off, or print its state",
                        SetupHttps);

}  // namespace
}  // namespace cvie::app
