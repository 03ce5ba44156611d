#pragma once
// What two spellings of one port have in common, so that a site cannot make
// two lines fight over one port: "tcp://localhost:4001" and
// "TCP://127.0.0.1:04001" are one serial device server, "/dev/ttyRS485" (a
// link) and "/dev/ttyS1" one device.

#include <string>

namespace korv {

// A serial device server: "tcp://", its host (a numeric address in its one
// form, an IPv4 address mapped into IPv6 as the IPv4 one, "localhost" as
// 127.0.0.1, another name lower-cased; names are not
// looked up, so this never waits on a resolver) and the port number. A
// device path: the file it names, links resolved (the path as written when
// it does not exist).
std::string LineKey(const std::string& port);

}  // namespace korv
