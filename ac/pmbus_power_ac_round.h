#pragma once
// Round end of an AC distribution screen: stamp, publish, alarm checks and
// the threshold work item.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "ac/ac_alarms.h"
#include "ac/pmbus_power_ac.h"
#include "child/alarm_texts.h"
#include "host/local_clock.h"
#include "host/ttime.h"

// History block, sent and saved every round:
//   0    group record (TeleAC) with this round's round_time
//   40   one channel record (TeleACChannel) per channel, in channel order
template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone() {
  SetLastUpdate(korv::LocalNow());
  const ttime stamp = get_ttime(korv::LocalNow());

  // The round works on one consistent picture of the records.
  TeleAC group;
  std::vector<TeleACChannel>& channels = round_channels_;  // keeps its room between rounds
  {
    std::lock_guard<std::mutex> lock(mutex_);
    static_assert(sizeof record_.round_time == std::tuple_size<ttime>::value, "");
    std::memcpy(record_.round_time, stamp.data(), sizeof record_.round_time);
    group = record_;
    channels = channels_;
  }

  // The block follows the channel count: made again (zero-filled) when the
  // count changed since it was made, so no record is dropped or written
  // past its end.
  const std::size_t len = sizeof(TeleAC) + sizeof(TeleACChannel) * channels.size();
  if (!history_ || history_len_ != len) {
    history_.reset(new std::uint8_t[len]());
    history_len_ = static_cast<std::uint32_t>(len);
  }
  const bool moved = MovedSinceLastRound(group, channels);
  std::memcpy(history_.get(), &group, sizeof(TeleAC));
  if (!channels.empty()) {
    std::memcpy(history_.get() + sizeof(TeleAC), channels.data(),
                sizeof(TeleACChannel) * channels.size());
  }
  const bool first = !IsDataReady();
  if (first) SetDataReady(true);
  values_changed_.store(first || moved, std::memory_order_release);

  SendSP(RT_AC, history_.get(), static_cast<int>(history_len_), false);

  alarm_seq_ = 1;
  CheckAlarms(group, channels);
  DoImpCheckAlert();
  HandOverRound(history_.get(), history_len_);
}

// A channel voltage that moved by diff_v or more, or a phase current that
// moved by diff_i or more, since the copy the previous round left in
// history_ (a block made this round holds zeros). The frequency is not
// compared.
template <typename TeleAC, typename TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::MovedSinceLastRound(
    const TeleAC& group, const std::vector<TeleACChannel>& channels) const {
  TeleAC previous_group;
  std::memcpy(&previous_group, history_.get(), sizeof(TeleAC));
  const auto moved = [](float before, float now, float threshold) {
    return std::fabs(before - now) >= threshold;
  };
  if (moved(previous_group.ia, group.ia, diff_i) || moved(previous_group.ib, group.ib, diff_i) ||
      moved(previous_group.ic, group.ic, diff_i)) {
    return true;
  }
  for (std::size_t k = 0; k < channels.size(); ++k) {
    TeleACChannel previous;
    std::memcpy(&previous, history_.get() + sizeof(TeleAC) + k * sizeof(TeleACChannel),
                sizeof(TeleACChannel));
    const TeleACChannel& now = channels[k];
    if (moved(previous.a, now.a, diff_v) || moved(previous.b, now.b, diff_v) ||
        moved(previous.c, now.c, diff_v)) {
      return true;
    }
  }
  return false;
}

// Every row of the channel table for channel 1 to the last, then every row
// of the phase current table; the sequence number counts the round's checks.
template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::CheckAlarms(
    const TeleAC& group, const std::vector<TeleACChannel>& channels) {
  using namespace psma::ac;
  // Made once for the program; the channel descriptions once per channel count.
  static const std::vector<psma::AlarmRowTexts> channel_rows = psma::MakeRowTexts(kChannelAlarms);
  static const std::vector<psma::AlarmRowTexts> phase_rows = psma::MakeRowTexts(kPhaseAlarms);
  channel_descriptions_.Ensure(kChannelAlarms, channels.size(), channel_rows.size(),
                               [](std::size_t number, std::size_t row) {
                                 return "交流屏" + std::to_string(number) +
                                        channel_rows[row].description;
                               });
  for (std::size_t k = 0; k < channels.size(); ++k) {
    for (std::size_t r = 0; r < channel_rows.size(); ++r) {
      const auto& row = kChannelAlarms[r];
      const auto& text = channel_rows[r];
      const bool active = StateOf(channels[k], row.state) == row.active_when;
      CheckThresholdBool(row.level, text.key, text.code, text.name,
                         channel_descriptions_.At(k + 1, r), active, alarm_seq_++);
    }
  }
  for (std::size_t r = 0; r < phase_rows.size(); ++r) {
    const auto& row = kPhaseAlarms[r];
    const auto& text = phase_rows[r];
    const bool active = StateOf(group, row.state) == row.active_when;
    CheckThresholdBool(row.level, text.key, text.code, text.name, text.description, active,
                       alarm_seq_++);
  }
}
