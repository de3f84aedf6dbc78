#include "platform/own_listeners.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string.h>

#include <mutex>
#include <vector>

namespace cvie::platform {
namespace {

// An IPv4 address is kept as its IPv4-mapped IPv6 form, so that both
// families compare alike.
struct Listener {
  in6_addr address;
  uint16_t port;  // host order
};

std::mutex g_mu;
std::vector<Listener> g_listeners;  // guarded by g_mu

in6_addr Mapped(const in_addr& v4) {
  in6_addr out{};
  out.s6_addr[10] = 0xFF;
  out.s6_addr[11] = 0xFF;
  memcpy(&out.s6_addr[12], &v4, 4);
  return out;
}

bool IsMappedV4(const in6_addr& a) { return IN6_IS_ADDR_V4MAPPED(&a); }

bool IsLoopback(const in6_addr& a) {
  if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
  return IsMappedV4(a) && a.s6_addr[12] == 127;
}

bool IsWildcard(const in6_addr& a) {
  if (IN6_IS_ADDR_UNSPECIFIED(&a)) return true;
  static const in6_addr kAnyV4 = Mapped(in_addr{htonl(INADDR_ANY)});
  return memcmp(&a, &kAnyV4, sizeof a) == 0;
}

bool Same(const in6_addr& a, const in6_addr& b) { return memcmp(&a, &b, sizeof a) == 0; }

// True when `a` is an address of one of this machine's interfaces.
bool IsLocalInterfaceAddress(const in6_addr& a) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr) continue;
    if (i->ifa_addr->sa_family == AF_INET) {
      found = Same(a, Mapped(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr));
    } else if (i->ifa_addr->sa_family == AF_INET6) {
      found = Same(a, reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr);
    }
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

bool AddOwnListener(const std::string& numeric_address, uint16_t port) {
  Listener listener{};
  listener.port = port;
  in_addr v4{};
  if (inet_pton(AF_INET, numeric_address.c_str(), &v4) == 1) {
    listener.address = Mapped(v4);
  } else if (inet_pton(AF_INET6, numeric_address.c_str(), &listener.address) != 1) {
    return false;
  }
  std::lock_guard<std::mutex> lock(g_mu);
  g_listeners.push_back(listener);
  return true;
}

void ClearOwnListeners() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_listeners.clear();
}

bool ReachesOwnListener(const sockaddr* address, socklen_t length) {
  if (!address) return false;
  in6_addr target{};
  uint16_t port = 0;
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(address);
    target = Mapped(in->sin_addr);
    port = ntohs(in->sin_port);
  } else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const sockaddr_in6* in = reinterpret_cast<const sockaddr_in6*>(address);
    target = in->sin6_addr;
    port = ntohs(in->sin6_port);
  } else {
    return false;
  }
  bool check_interfaces = false;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    for (const Listener& l : g_listeners) {
      if (l.port != port) continue;
      if (Same(l.address, target)) return true;
      bool wide = IsWildcard(l.address);
      if ((wide || IsLoopback(l.address)) && IsLoopback(target)) return true;
      check_interfaces |= wide;
    }
  }
  return check_interfaces && IsLocalInterfaceAddress(target);
}

}  // namespace cvie::platform
