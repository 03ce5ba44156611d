#pragma once
// The notification command's row: its options (--notify-exec ...) in
// korv-host's table of outputs.

#include <memory>

#include "gateway/outputs/output_row.h"

namespace korv_host {

std::unique_ptr<OutputRow> ExecRow();

}  // namespace korv_host
