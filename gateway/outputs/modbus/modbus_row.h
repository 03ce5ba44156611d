#pragma once
// The Modbus output's row: its options (--modbus-tcp, --modbus-word-order,
// --modbus-map) in korv-host's table of outputs.

#include <memory>

#include "gateway/outputs/output_row.h"

namespace korv_host {

std::unique_ptr<OutputRow> ModbusRow();

}  // namespace korv_host
