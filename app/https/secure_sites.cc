// app/https/secure_sites.cc

#include "https/secure_sites.h"

#include <filesystem>
#include <system_error>

#include "https/host_blocker.h"
#include "https/https_settings.h"
#include "https/local_ca.h"
#include "lists/list_set.h"
#include "platform/files.h"
#include "platform/text.h"

namespace cvie::https {
namespace {

size_t CountLists(const std::filesystem::path& folder) {
  size_t count = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().extension() == ".txt") ++count;
  }
  return count;
}

}  // namespace

SecureSitesState CurrentSecureSitesState() {
  SecureSitesState state;
  state.switch_on = InspectHttpsEnabled();
  state.ca_present = LocalCaPresent();
  if (state.ca_present) {
    std::string why;
    if (!platform::FileIsPrivate(LocalCaKeyPath(), &why)) {
      state.ca_problem =
          "the local CA key " + platform::ToNarrow(LocalCaKeyPath()) + " " + why;
    }
  }
  state.lists = CountLists(platform::ToNarrow(lists::ListsFolderPath()));
  if (state.switch_on && state.ca_present && state.ca_problem.empty()) {
    state.mode = SecureSitesMode::kFiltered;
  } else if (state.lists > 0) {
    state.mode = SecureSitesMode::kHostBlockingOnly;
  }
  return state;
}

const char* SecureSitesModeName(SecureSitesMode mode) {
  switch (mode) {
    case SecureSitesMode::kFiltered:
      return "filtered";
    case SecureSitesMode::kHostBlockingOnly:
      return "host blocking only";
    case SecureSitesMode::kTunnelled:
      break;
  }
  return "tunnelled";
}

std::string DescribeSecureSites(const SecureSitesState& state) {
  std::string text = "Secure sites: ";
  text += SecureSitesModeName(state.mode);
  text += ". ";
  switch (state.mode) {
    case SecureSitesMode::kFiltered:
      text +=
          "Secure pages are opened with the local CA and filtered like plain ones, "
          "except the hosts of the passthrough list; connections to the subscribed "
          "lists' advertising hosts are refused.";
      return text;
    case SecureSitesMode::kHostBlockingOnly:
      text +=
          "Secure pages pass unfiltered, but tunnels to the advertising hosts of the " +
          std::to_string(state.lists) + " subscribed list" +
          (state.lists == 1 ? "" : "s") + " are refused.";
      break;
    case SecureSitesMode::kTunnelled:
      text += "Secure pages pass untouched: no filter list is subscribed yet.";
      break;
  }
  if (!state.ca_present) {
    text +=
        " To filter them: cvie ca create, import the certificate into the browser, "
        "then cvie https on.";
  } else if (!state.ca_problem.empty()) {
    text += " The local CA is not used: " + state.ca_problem + " (chmod 600 it).";
  } else if (!state.switch_on) {
    text += " To filter them: cvie https on (the local CA is ready).";
  }
  return text;
}

}  // namespace cvie::https
