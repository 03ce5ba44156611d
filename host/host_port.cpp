#include "host/host_port.h"

namespace korv {

HostPortFault SplitHostPort(const std::string& text, HostPort& out) {
  out = HostPort{};
  std::string rest;  // ":PORT" or ""
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return HostPortFault::kNoClosingBracket;
    out.host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return HostPortFault::kTextAfterBracket;
  } else {
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
      return HostPortFault::kBareIpv6;
    }
    out.host = text.substr(0, colon);
    rest = colon == std::string::npos ? "" : text.substr(colon);
  }
  if (rest.empty()) return HostPortFault::kNone;
  const std::string digits = rest.substr(1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return HostPortFault::kBadPort;
  }
  const unsigned long value = std::stoul(digits);
  if (value > 65535) return HostPortFault::kBadPort;
  out.has_port = true;
  out.port = static_cast<unsigned>(value);
  return HostPortFault::kNone;
}

}  // namespace korv
