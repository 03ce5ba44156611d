#pragma once
// The console output's row: its option (--json) in korv-host's table of outputs.

#include <memory>

#include "gateway/outputs/output_row.h"

namespace korv_host {

std::unique_ptr<OutputRow> ConsoleRow();

}  // namespace korv_host
