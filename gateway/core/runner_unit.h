#pragma once
// A unit of the runner's site, as runner.cpp and runner_reload.cpp keep it.

#include <json/value.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "gateway/core/runner.h"
#include "host/korv_device.h"
#include "host/pmbus_protocol.h"

namespace korv_host {

struct Runner::Unit {
  // --simulate: it serves the unit on `port`; first here, so it ends after
  // the unit's devices.
  std::unique_ptr<UnitSimulator> sim;
  unsigned id = 0;
  std::string type;
  std::string port;
  Json::Value settings;
  std::shared_ptr<KorvSPDevice> root;
  std::vector<std::shared_ptr<KorvVDevice>> children;
  int rounds = 0;  // rounds told (guarded by the runner's mutex)
};

// A local port that is not there yet: a USB serial adapter appears late at
// boot, or after it was plugged in again. Its line keeps trying to open it,
// as a serial device server's does; any other failure to open is a mistake.
inline bool AwaitedPort(const std::string& port) {
  struct stat st {};
  return ::stat(port.c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace korv_host
