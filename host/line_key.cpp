#include "host/line_key.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "host/tcp_port.h"

namespace korv {

std::string LineKey(const std::string& port) {
  if (IsTcpPort(port)) {
    std::string host, error;
    std::uint16_t number = 0;
    if (!ParseTcpPort(port, host, number, error)) return port;
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // Numeric addresses in their one form ("0:0::1" is "::1"); the loopback's
    // name as its address. Other names stay names: resolving them here would
    // hold up the start on a slow resolver.
    if (host == "localhost") host = "127.0.0.1";
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
      const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
      char numeric[NI_MAXHOST];
      // An IPv4 address mapped into IPv6 (::ffff:127.0.0.1) is the IPv4 one:
      // the same server, whichever way the site spells it.
      const auto* six = reinterpret_cast<const sockaddr_in6*>(found->ai_addr);
      if (found->ai_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) {
        if (::inet_ntop(AF_INET, &six->sin6_addr.s6_addr[12], numeric, sizeof numeric) != nullptr) {
          host = numeric;
        }
      } else if (::getnameinfo(found->ai_addr, found->ai_addrlen, numeric, sizeof numeric, nullptr,
                               0, NI_NUMERICHOST) == 0) {
        host = numeric;
      }
    }
    return "tcp://[" + host + "]:" + std::to_string(number);
  }
  char resolved[PATH_MAX];
  return ::realpath(port.c_str(), resolved) != nullptr ? std::string(resolved) : port;
}

}  // namespace korv
