#pragma once
// The HTTP output's row: its option (--http) in korv-host's table of outputs.

#include <memory>

#include "gateway/outputs/output_row.h"

namespace korv_host {

std::unique_ptr<OutputRow> HttpRow();

}  // namespace korv_host
