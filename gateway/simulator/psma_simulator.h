#pragma once
// What --simulate runs: psma-sim's server for a unit, on a new pseudo-terminal
// inside korv-host. Apart from the core, so a gateway can be built without
// the simulator.

#include "gateway/core/runner.h"

namespace korv_host {

// Starts psma-sim's server for a unit: the unit's "scenario" file, or the
// built-in scenario shaped after the unit's children (as many AC and DC
// screens as its device made, three rectifier modules), always on the
// unit's address.
StartSimulator PsmaSimulator();

}  // namespace korv_host
