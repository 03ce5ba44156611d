#pragma once
// The MQTT output's row: its options (--mqtt ...) in korv-host's table of outputs.

#include <memory>

#include "gateway/outputs/output_row.h"

namespace korv_host {

std::unique_ptr<OutputRow> MqttRow();

}  // namespace korv_host
