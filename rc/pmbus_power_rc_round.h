#pragma once
// The rectifier group's construction, settings, value refusal, cache restore
// and round end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "child/alarm_texts.h"
#include "child/byte_reader.h"
#include "child/deferred_output.h"
#include "host/local_clock.h"
#include "host/ttime.h"
#include "rc/pmbus_power_rc.h"

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::PMBusPowerRC() {
  std::memset(&record_, 0, sizeof(record_));
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::~PMBusPowerRC() = default;

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::InitV(KorvVDevice* parent, unsigned id,
                                                       const Json::Value& settings) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.data_id = id;
  }
  return KorvVDevice::InitV(parent, id, settings);
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::DoImpCheckAlert() {}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
TeleRC PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Record() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return record_;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
std::vector<TeleRCChannel> PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Modules() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return modules_;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Overflow(psma::DeferredOutput& log,
                                                         const char* format, std::int64_t pos,
                                                         int len) const {
  log.Log(format, DataId(), static_cast<int>(pos), len);
  return -1;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
std::vector<std::string> PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::ValueKeys() const {
  return {};
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
float PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Get_Value(unsigned, const std::string&) const {
  RequireServable();
  throw std::out_of_range("数据未就绪");  // no key names a value of the group
}

// History block:
//   0              81
//   | group record | module_count x 32-byte module record, module 1 first
// module_count is byte 73 of the block. The block is checked whole before
// anything is written; the trace lines show what was offered.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LoadFromCache(const std::uint8_t* data, int len) {
  psma::DeferredOutput out;
  const bool restored = Restore(data, len, out);
  out.Flush(*this);
  return restored;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Restore(const std::uint8_t* data, int len,
                                                         psma::DeferredOutput& out) {
  out.Trace("rc data_len:" + std::to_string(len) + " vs " + std::to_string(kGroupSize));
  ByteReader in(data, len);
  TeleRC group;
  if (!in.read(&group, kGroupSize)) return false;
  const int count = group.module_count;
  const int left = len - kGroupSize;
  out.Trace("rc channelLen " + std::to_string(kModuleSize) + " and " + std::to_string(count) +
            " left:" + std::to_string(left));
  if (left != kModuleSize * count) return false;
  std::vector<TeleRCChannel> modules(count);
  for (auto& module : modules) in.read(&module, kModuleSize);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record_ = group;
    modules_ = std::move(modules);
  }
  MarkRestored();
  return true;
}

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

  // Cycle alarm: one check per module, in module order.
  struct CycleAlarm {
    int level;
    const char* key;
    const char* code;
    const char* name;
    const char* before;  // description: before + module number + after
    const char* after;
    std::uint8_t fault;  // fault_state that makes it active
  };
  static const CycleAlarm kCycleAlarms[] = {
      {2, "RC_0", "06024", "整流模块故障告警", "模块", "整流模块故障告警", 1},
  };
  // Made once for the program; the descriptions once per module count.
  static const std::vector<psma::AlarmRowTexts> cycle_rows = [] {
    std::vector<psma::AlarmRowTexts> rows;
    for (const auto& a : kCycleAlarms) rows.push_back({a.key, a.code, a.name, ""});
    return rows;
  }();
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
