#pragma once
// Round end of a DC distribution screen: stamp, publish, alarm checks and
// the threshold work item.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "child/alarm_texts.h"
#include "dc/dc_alarms.h"
#include "dc/pmbus_power_dc.h"
#include "host/local_clock.h"
#include "host/ttime.h"

template <typename TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::RoundDone() {
  SetLastUpdate(korv::LocalNow());
  const ttime stamp = get_ttime(korv::LocalNow());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(RecordBytes(offsetof(TeleDC, round_time)), stamp.data(),
                sizeof(record_.round_time));
    // Everything below works on this copy: a parse or a restore after this
    // point belongs to the next round.
    round_record_ = record_;
  }
  const bool was_ready = IsDataReady();
  if (!was_ready) SetDataReady(true);

  const float v = round_record_.v;
  const float i = round_record_.i;
  values_changed_.store(!was_ready || !has_prev_ || std::fabs(prev_v - v) >= diff_v ||
                            std::fabs(prev_i - i) >= diff_i,
                        std::memory_order_release);
  prev_v = v;
  prev_i = i;
  has_prev_ = true;

  const auto* block = reinterpret_cast<const std::uint8_t*>(&round_record_);
  SendSP(RT_DC, block, sizeof(TeleDC), false);

  alarm_seq_ = 1;
  CheckVoltageAndFuses(round_record_);
  DoImpCheckAlert();
  HandOverRound(block, sizeof(TeleDC));
}

// Output voltage state (1 too low, 2 too high) and, when the unit reports
// the full fuse list, one check per battery fuse (3 = fault).
template <typename TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::CheckVoltageAndFuses(const TeleDC& rec) {
  using namespace psma::dc;
  // Made once for the program; the fuse descriptions once per screen.
  static const std::vector<psma::AlarmRowTexts> voltage_rows = psma::MakeRowTexts(kVoltageAlarms);
  static const psma::AlarmRowTexts fuse_row{kFuseAlarm.key, kFuseAlarm.code, kFuseAlarm.name, ""};
  for (std::size_t r = 0; r < voltage_rows.size(); ++r) {
    const auto& text = voltage_rows[r];
    CheckThresholdBool(kVoltageLevel, text.key, text.code, text.name, text.description,
                       rec.dc_v_alert == kVoltageAlarms[r].state, alarm_seq_++);
  }

  if (rec.alert_m_count != TeleDC::ALERT_M_SIZE()) return;
  fuse_descriptions_.Ensure(&kFuseAlarm, TeleDC::ALERT_M_SIZE(), 1, [](std::size_t k, std::size_t) {
    return "直流" + std::to_string(k) + "电池熔丝故障告警";
  });
  for (unsigned k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k) {
    CheckThresholdBool(kFuseLevel, fuse_row.key, fuse_row.code, fuse_row.name,
                       fuse_descriptions_.At(k, 0), rec.alert_m_state[k - 1] == kFuseAlarm.fault,
                       alarm_seq_++);
  }
}
