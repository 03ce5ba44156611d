// HOST[:PORT], the one rule every address option of the project follows.

#include "host/host_port.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using korv::HostPortFault;

TEST(HostPort, SplitsHostAndPortWithOneIpv6Rule) {
  const struct {
    const char* text;
    HostPortFault fault;
    const char* host;
    int port;  // -1: none given
  } cases[] = {
      {"10.0.0.7:4001", HostPortFault::kNone, "10.0.0.7", 4001},
      {"moxa-3:950", HostPortFault::kNone, "moxa-3", 950},
      {"localhost", HostPortFault::kNone, "localhost", -1},
      {"h:0", HostPortFault::kNone, "h", 0},
      {"h:65535", HostPortFault::kNone, "h", 65535},
      {":80", HostPortFault::kNone, "", 80},
      {"", HostPortFault::kNone, "", -1},
      {"[::1]:4001", HostPortFault::kNone, "::1", 4001},
      {"[fe80::1%eth0]", HostPortFault::kNone, "fe80::1%eth0", -1},
      {"[]:80", HostPortFault::kNone, "", 80},
      {"::1:4001", HostPortFault::kBareIpv6, "", -1},
      {"::1", HostPortFault::kBareIpv6, "", -1},
      {"[::1:4001", HostPortFault::kNoClosingBracket, "", -1},
      {"[::1]4001", HostPortFault::kTextAfterBracket, "", -1},
      {"h:", HostPortFault::kBadPort, "", -1},
      {"h:65536", HostPortFault::kBadPort, "", -1},
      {"h:040001", HostPortFault::kBadPort, "", -1},
      {"h:40x", HostPortFault::kBadPort, "", -1},
      {"h:-1", HostPortFault::kBadPort, "", -1},
      {"[::1]:", HostPortFault::kBadPort, "", -1},
  };
  for (const auto& c : cases) {
    korv::HostPort got;
    EXPECT_EQ(korv::SplitHostPort(c.text, got), c.fault) << c.text;
    if (c.fault != HostPortFault::kNone) continue;
    EXPECT_EQ(got.host, c.host) << c.text;
    EXPECT_EQ(got.has_port, c.port >= 0) << c.text;
    if (c.port >= 0) {
      EXPECT_EQ(got.port, static_cast<unsigned>(c.port)) << c.text;
    }
  }
}

}  // namespace
