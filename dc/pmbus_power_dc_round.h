#pragma once
// Value access, cache restore and round end of a DC distribution screen.

#include <boost/lexical_cast.hpp>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "dc/pmbus_power_dc.h"
#include "host/ttime.h"

template <typename TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(unsigned, const std::string& key) const {
  if (!IsDataReady()) throw std::out_of_range("数据未就绪");
  // A negative age (the clock was set back) still counts as fresh.
  if (DataAgeSeconds() >= 61) throw std::out_of_range("数据已超时");
  if (key == "v" || key == "i") {
    std::lock_guard<std::mutex> lock(record_mutex_);
    return key == "v" ? record_.v : record_.i;
  }
  throw std::out_of_range("数据未就绪");
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::LoadFromCache(const std::uint8_t* data, int len) {
  if (data == nullptr || len != static_cast<int>(sizeof(TeleDC))) return false;
  {
    std::lock_guard<std::mutex> lock(record_mutex_);
    std::memcpy(&record_, data, sizeof(TeleDC));
  }
  // The time before the flag, so a reader never sees ready data as stale.
  SetLastUpdate(korv::LocalNow());
  SetDataReady(true);
  return true;
}

template <typename TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::RoundDone() {
  SetLastUpdate(korv::LocalNow());
  const ttime stamp = get_ttime(korv::LocalNow());
  {
    std::lock_guard<std::mutex> lock(record_mutex_);
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

  SendSP(RT_DC, reinterpret_cast<const std::uint8_t*>(&round_record_), sizeof(TeleDC), false);

  alarm_seq_ = 1;
  CheckVoltageAndFuses(round_record_);
  DoImpCheckAlert();

  // The item owns what it saves: the rules moved out of the device and the
  // record exactly as this round sent it. The device share keeps it alive
  // until the item has run (the host holds its devices by shared pointers).
  const std::size_t pending = rules_.size();
  std::function<void()> item = [self = weak_from_this().lock(), this, rules = std::move(rules_),
                                block = round_record_] {
    (void)self;
    if (DoBatchCheckThreshold(rules)) batch_result_.store(true, std::memory_order_release);
    SaveDeviceHistory(reinterpret_cast<const std::uint8_t*>(&block), sizeof(TeleDC));
  };
  rules_.clear();
  CheckThresholdWork(std::move(item));
  rules_.reserve(pending);
}

// Output voltage state (1 too low, 2 too high) and, when the unit reports
// the full fuse list, one check per battery fuse (3 = fault).
template <typename TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::CheckVoltageAndFuses(const TeleDC& rec) {
  static const struct {
    const char* key;
    const char* code;
    const char* name;  // also the description
    std::uint8_t state;
  } kVoltage[] = {
      {"DC_0", "06008", "输出电压过低告警", 1},
      {"DC_1", "06009", "输出电压过高告警", 2},
  };
  for (const auto& a : kVoltage) {
    CheckThresholdBool(3, a.key, a.code, a.name, a.name, rec.dc_v_alert == a.state, alarm_seq_++);
  }

  if (rec.alert_m_count != TeleDC::ALERT_M_SIZE()) return;
  for (unsigned k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k) {
    CheckThresholdBool(1, "DC_3", "06001", "电池熔丝故障告警",
                       "直流" + boost::lexical_cast<std::string>(k) + "电池熔丝故障告警",
                       rec.alert_m_state[k - 1] == 3, alarm_seq_++);
  }
}
