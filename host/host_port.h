#pragma once
// HOST[:PORT] as every address option of the project writes it: a serial
// device server (tcp://HOST:PORT), the MQTT broker, the HTTP listener and the
// simulator's --listen. One IPv6 rule for all of them: an address with
// colons goes in brackets ("[::1]:4001"); a bare one ("::1:4001") is refused,
// since its port cannot be told from its last group.

#include <string>

namespace korv {

// What is wrong with a HOST[:PORT]; each caller words it its own way.
enum class HostPortFault {
  kNone,
  kNoClosingBracket,  // "[::1:80"
  kTextAfterBracket,  // "[::1]x"
  kBareIpv6,          // "::1:80": more than one colon outside brackets
  kBadPort,           // after the colon: not 1..5 digits, or above 65535
};

struct HostPort {
  std::string host;  // without brackets; may be empty ("" and ":80")
  bool has_port = false;
  unsigned port = 0;  // 0..65535, when has_port
};

// Splits "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT". Whether a host or a
// port is required, and whether port 0 is allowed, is the caller's.
HostPortFault SplitHostPort(const std::string& text, HostPort& out);

}  // namespace korv
