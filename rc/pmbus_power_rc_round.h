#pragma once
// Round end of the rectifier group: stamp, publish, alarm checks and the
// threshold work item.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "child/alarm_texts.h"
#include "host/local_clock.h"
#include "host/ttime.h"
#include "rc/pmbus_power_rc.h"
#include "rc/rc_alarms.h"

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::RoundDone() {
  SetLastUpdate(korv::LocalNow());
  SetDataReady(true);
  const ttime stamp = get_ttime(korv::LocalNow());

  // The round's block: the history block, made again whenever the module
  // count changed since it was made, and the round's copy of it, sent and
  // copied again into this round's work item (a later round or answer never
  // tears what it saves).
  std::vector<std::uint8_t>& block = round_block_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(record_.round_time, stamp.data(), sizeof(record_.round_time));
    const int len = kGroupSize + kModuleSize * static_cast<int>(modules_.size());
    if (!history_ || history_len_ != len) {
      history_.reset(new std::uint8_t[len]());
      history_len_ = len;
    }
    std::memcpy(history_.get(), &record_, kGroupSize);
    if (!modules_.empty()) {
      std::memcpy(history_.get() + kGroupSize, modules_.data(), kModuleSize * modules_.size());
    }
    block.assign(history_.get(), history_.get() + history_len_);
    round_modules_ = modules_;
  }
  SendSP(RT_RC, block.data(), static_cast<int>(block.size()), false);

  using namespace psma::rc;
  // Made once for the program; the descriptions once per module count.
  static const std::vector<psma::AlarmRowTexts> cycle_rows =
      psma::MakeNumberedRowTexts(kCycleAlarms);
  constexpr std::size_t kCycleRows = sizeof kCycleAlarms / sizeof kCycleAlarms[0];
  cycle_descriptions_.Ensure(
      kCycleAlarms, round_modules_.size(), kCycleRows, [](std::size_t number, std::size_t row) {
        return kCycleAlarms[row].before + std::to_string(number) + kCycleAlarms[row].after;
      });
  alarm_seq_ = 1;
  for (std::size_t i = 0; i < round_modules_.size(); ++i) {
    for (std::size_t r = 0; r < kCycleRows; ++r) {
      const auto& a = kCycleAlarms[r];
      const auto& text = cycle_rows[r];
      CheckThresholdBool(a.level, text.key, text.code, text.name, cycle_descriptions_.At(i + 1, r),
                         round_modules_[i].fault_state == a.fault, alarm_seq_++);
    }
  }
  DoImpCheckAlert();
  HandOverRound(block.data(), block.size());
}
