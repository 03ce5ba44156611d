#pragma once
// The rectifier group's value refusal, cache restore and round end.

#include <boost/lexical_cast.hpp>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/ttime.h"
#include "child/byte_reader.h"

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
float PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Get_Value(unsigned, const std::string&) const {
  if (!IsDataReady()) throw std::out_of_range("数据未就绪");
  if (DataAgeSeconds() >= 61) throw std::out_of_range("数据已超时");
  throw std::out_of_range("数据未就绪");  // no key names a value of the group
}

// History block:
//   0              81
//   | group record | module_count x 32-byte module record, module 1 first
// module_count is byte 73 of the block. The block is checked whole before
// anything is written; the trace lines show what was offered.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LoadFromCache(const std::uint8_t* data, int len) {
  std::cout << "rc data_len:" << len << " vs " << kGroupSize << std::endl;
  ByteReader in(data, len);
  TeleRC group;
  if (!in.read(&group, kGroupSize)) return false;
  const int count = group.module_count;
  const int left = len - kGroupSize;
  std::cout << "rc channelLen " << kModuleSize << " and " << count << " left:" << left << std::endl;
  if (left != kModuleSize * count) return false;
  std::vector<TeleRCChannel> modules(count);
  for (auto& module : modules) in.read(&module, kModuleSize);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record_ = group;
    modules_ = std::move(modules);
  }
  // The time before the flag: a reader never sees restored data as stale.
  SetLastUpdate(korv::LocalNow());
  SetDataReady(true);
  return true;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::RoundDone() {
  SetLastUpdate(korv::LocalNow());
  SetDataReady(true);
  const ttime stamp = get_ttime(korv::LocalNow());

  // The round's block: the history block, made again whenever the module
  // count changed since it was made, and a copy of it that this round's
  // work item owns (a later round or answer never tears what it saves).
  std::shared_ptr<const std::vector<std::uint8_t>> block;
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
    block = std::make_shared<const std::vector<std::uint8_t>>(history_.get(),
                                                              history_.get() + history_len_);
    round_modules_ = modules_;
  }
  SendSP(RT_RC, block->data(), static_cast<int>(block->size()), false);

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
  alarm_seq_ = 1;
  for (std::size_t i = 0; i < round_modules_.size(); ++i) {
    const std::string number = boost::lexical_cast<std::string>(i + 1);
    for (const auto& a : kCycleAlarms) {
      CheckThresholdBool(a.level, a.key, a.code, a.name, a.before + number + a.after,
                         round_modules_[i].fault_state == a.fault, alarm_seq_++);
    }
  }
  DoImpCheckAlert();

  const std::size_t pending = rules_.size();
  CheckThresholdWork([keep = shared_from_this(), device = this, rules = std::move(rules_), block] {
    if (device->DoBatchCheckThreshold(rules)) {
      device->batch_result_.store(true, std::memory_order_release);
    }
    device->SaveDeviceHistory(block->data(), static_cast<int>(block->size()));
  });
  rules_.clear();
  rules_.reserve(pending);
}
