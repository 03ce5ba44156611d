#pragma once
// Construction, settings, value access, cache restore and round end of a DC
// distribution screen.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "child/alarm_texts.h"
#include "child/app_setting.h"
#include "dc/pmbus_power_dc.h"
#include "host/local_clock.h"
#include "host/ttime.h"

template <typename TeleDC, int RT_DC>
PMBusPowerDC<TeleDC, RT_DC>::PMBusPowerDC() {
  std::memset(&record_, 0, sizeof(record_));
  std::memset(&round_record_, 0, sizeof(round_record_));
}

template <typename TeleDC, int RT_DC>
PMBusPowerDC<TeleDC, RT_DC>::PMBusPowerDC(const std::string& model) : PMBusPowerDC() {
  model_text = model;
}

template <typename TeleDC, int RT_DC>
PMBusPowerDC<TeleDC, RT_DC>::~PMBusPowerDC() = default;

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::InitV(KorvVDevice* parent, unsigned id,
                                        const Json::Value& settings) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.data_id = id;
  }
  psma::ReadAppThresholds(settings, diff_v, diff_i);
  return KorvVDevice::InitV(parent, id, settings);
}

template <typename TeleDC, int RT_DC>
TeleDC PMBusPowerDC<TeleDC, RT_DC>::Record() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return record_;
}

template <typename TeleDC, int RT_DC>
std::optional<bool> PMBusPowerDC<TeleDC, RT_DC>::LastRoundMoved() const {
  return ValuesChanged();
}

template <typename TeleDC, int RT_DC>
std::vector<std::string> PMBusPowerDC<TeleDC, RT_DC>::ValueKeys() const {
  return {"v", "i"};
}

template <typename TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(unsigned, const std::string& key) const {
  RequireServable();
  if (key == "v" || key == "i") {
    std::lock_guard<std::mutex> lock(mutex_);
    return key == "v" ? record_.v : record_.i;
  }
  throw std::out_of_range("数据未就绪");
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::LoadFromCache(const std::uint8_t* data, int len) {
  if (data == nullptr || len != static_cast<int>(sizeof(TeleDC))) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(&record_, data, sizeof(TeleDC));
  }
  MarkRestored();
  return true;
}

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
  static const struct {
    const char* key;
    const char* code;
    const char* name;
    const char* description;  // the name again
    std::uint8_t state;
  } kVoltage[] = {
      {"DC_0", "06008", "输出电压过低告警", "输出电压过低告警", 1},
      {"DC_1", "06009", "输出电压过高告警", "输出电压过高告警", 2},
  };
  // Made once for the program; the fuse descriptions once per screen.
  static const std::vector<psma::AlarmRowTexts> voltage_rows = psma::MakeRowTexts(kVoltage);
  static const psma::AlarmRowTexts fuse_row{"DC_3", "06001", "电池熔丝故障告警", ""};
  for (std::size_t r = 0; r < voltage_rows.size(); ++r) {
    const auto& text = voltage_rows[r];
    CheckThresholdBool(3, text.key, text.code, text.name, text.description,
                       rec.dc_v_alert == kVoltage[r].state, alarm_seq_++);
  }

  if (rec.alert_m_count != TeleDC::ALERT_M_SIZE()) return;
  fuse_descriptions_.Ensure(&fuse_row, TeleDC::ALERT_M_SIZE(), 1, [](std::size_t k, std::size_t) {
    return "直流" + std::to_string(k) + "电池熔丝故障告警";
  });
  for (unsigned k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k) {
    CheckThresholdBool(1, fuse_row.key, fuse_row.code, fuse_row.name, fuse_descriptions_.At(k, 0),
                       rec.alert_m_state[k - 1] == 3, alarm_seq_++);
  }
}
