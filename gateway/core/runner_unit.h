#pragma once
// A unit of the runner's site, as runner.cpp and runner_reload.cpp keep it.

#include <json/value.h>

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

}  // namespace korv_host
