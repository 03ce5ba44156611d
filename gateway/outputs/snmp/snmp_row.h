#pragma once
// The SNMP output's row: its option (--snmp-agentx) in korv-host's table of outputs.

#include <memory>

#include "gateway/outputs/output_row.h"

namespace korv_host {

std::unique_ptr<OutputRow> SnmpRow();

}  // namespace korv_host
