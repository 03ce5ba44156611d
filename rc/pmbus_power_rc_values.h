#pragma once
// The rectifier group's value refusal and cache restore.

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "child/byte_reader.h"
#include "child/deferred_output.h"
#include "rc/pmbus_power_rc.h"

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::DoImpCheckAlert() {}

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
