// app/proxy/listen_address.h
//
// The address the proxy listens on, as given to `cvie proxy --listen`:
// "127.0.0.1:8118", "[::1]:8118", "localhost:8118" or a bare port "8118"
// (loopback). Port 0 asks the system for a free port. Pure functions.

#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

namespace cvie::proxy {

struct ListenAddress {
  std::string host;  // numeric IPv4 or IPv6 address (no brackets)
  uint16_t port = 0;
};

constexpr uint16_t kDefaultProxyPort = 8118;

// Parses `text`; "localhost" becomes 127.0.0.1. Host names other than
// "localhost" are refused: the proxy binds a numeric address. Returns false and
// sets `error` to a one-line message when the text is not an address.
bool ParseListenAddress(std::string_view text, ListenAddress* out, std::string* error);

// True for 127.0.0.0/8, ::1 and IPv4-mapped loopback (::ffff:127.x.x.x): only
// programs of this computer can reach such an address.
bool IsLoopbackAddress(const std::string& host);

}  // namespace cvie::proxy
