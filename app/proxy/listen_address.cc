#include "proxy/listen_address.h"

#include <boost/asio/ip/address.hpp>

namespace cvie::proxy {

bool ParseListenAddress(std::string_view text, ListenAddress* out, std::string* error) {
  std::string_view host = "127.0.0.1";
  std::string_view port_text = text;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() ||
        text[close + 1] != ':') {
      *error = "listen address must look like [::1]:8118";
      return false;
    }
    host = text.substr(1, close - 1);
    port_text = text.substr(close + 2);
  } else if (size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      *error = "an IPv6 listen address needs brackets, e.g. [::1]:8118";
      return false;
    }
  }
  if (port_text.empty() || port_text.size() > 5) {
    *error = "listen port must be a number from 0 to 65535";
    return false;
  }
  uint32_t port = 0;
  for (char c : port_text) {
    if (c < '0' || c > '9') {
      *error = "listen port must be a number from 0 to 65535";
      return false;
    }
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port > 65535) {
    *error = "listen port must be a number from 0 to 65535";
    return false;
  }
  std::string host_text(host);
  if (host_text == "localhost") host_text = "127.0.0.1";
  boost::system::error_code ec;
  boost::asio::ip::address address = boost::asio::ip::make_address(host_text, ec);
  if (ec) {
    *error = "listen address '" + std::string(host) + "' is not a numeric IP address";
    return false;
  }
  out->host = address.to_string();
  out->port = static_cast<uint16_t>(port);
  return true;
}

bool IsLoopbackAddress(const std::string& host) {
  boost::system::error_code ec;
  boost::asio::ip::address address = boost::asio::ip::make_address(host, ec);
  if (ec) return false;
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6())
        .is_loopback();
  }
  return address.is_loopback();
}

}  // namespace cvie::proxy
