#pragma once
// The values of a child as korv-host tells them: its block laid out as the
// real child describes it (every field: an AC screen's channels, the
// rectifier modules), counts set, each value `value`.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ac/ac_layout.h"
#include "ac/ac_records.h"
#include "dc/dc_layout.h"
#include "dc/dc_records.h"
#include "gateway/outputs/output.h"
#include "rc/rc_layout.h"
#include "rc/rc_records.h"

namespace bench {

// `type` "psma-ac" (`rows` channels), "psma-dc", or "psma-rc" (`rows`
// modules).
inline korv_host::ValuesEvent ChildValues(unsigned device, const std::string& type, int rows,
                                          float value) {
  auto description = std::make_shared<korv_host::ChildDescription>();
  std::vector<std::uint8_t> block;
  const auto rows8 = static_cast<std::uint8_t>(rows);
  if (type == "psma-ac") {
    description->layout = psma::ac::Layout<tele_c_psma_ac, tele_c_psma_ac_channel>(5156, 61);
    block.assign(sizeof(tele_c_psma_ac) + rows * sizeof(tele_c_psma_ac_channel), 0);
    block[offsetof(tele_c_psma_ac, channel_count)] = rows8;
    block[offsetof(tele_c_psma_ac, airlock_count)] = 8;
    block[offsetof(tele_c_psma_ac, user_switch_count)] = 3;
  } else if (type == "psma-dc") {
    description->layout = psma::dc::Layout<tele_c_psma_dc>(5158, 61);
    block.assign(sizeof(tele_c_psma_dc), 0);
    block[offsetof(tele_c_psma_dc, dc_m)] = 3;
    block[offsetof(tele_c_psma_dc, dc_n)] = 6;
    block[offsetof(tele_c_psma_dc, p_count)] = 5;
    block[offsetof(tele_c_psma_dc, alert_m_count)] = 64;
    block[offsetof(tele_c_psma_dc, alert_p_count)] = 13;
  } else {
    description->layout = psma::rc::Layout<tele_c_psma_rc, tele_c_psma_rc_channel>(5157, 61);
    block.assign(sizeof(tele_c_psma_rc) + rows * sizeof(tele_c_psma_rc_channel), 0);
    block[offsetof(tele_c_psma_rc, module_count)] = rows8;
    block[offsetof(tele_c_psma_rc, dc_param_count)] = 9;
  }
  korv_host::ValuesEvent v;
  v.device = device;
  v.type = type;
  psma::DecodeBlock(*description->layout, block.data(), block.size(), v.fields);
  for (auto& f : v.fields) f.value = value;
  v.description = std::move(description);
  return v;
}

}  // namespace bench
