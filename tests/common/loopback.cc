#include "common/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cvie::testing {
namespace {

// Binds a new socket to 127.0.0.1 at a port the system picks; the socket, or
// -1 (nothing left open).
int BindLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

int ListenOnLoopback(uint16_t* port, int backlog) {
  int fd = BindLoopback(port);
  if (fd >= 0 && listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t UnusedLoopbackPort() {
  uint16_t port = 0;
  int fd = BindLoopback(&port);
  if (fd < 0) return 0;
  close(fd);
  return port;
}

}  // namespace cvie::testing
