#pragma once
// A TCP or UDP port of the loopback that is free now, for the test and
// benchmark servers (a broker, an SNMP agent) that need one named before they
// start.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korv_tools {

// -1 when none could be had. `type`: SOCK_STREAM (TCP) or SOCK_DGRAM (UDP).
inline int FreeLoopbackPort(int type = SOCK_STREAM) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace korv_tools
