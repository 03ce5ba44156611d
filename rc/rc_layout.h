#pragma once
// The layout of the rectifier group's block: the group record (which also
// carries the AC and DC parameters), then one module record per module.

#include <cstddef>
#include <string>

#include "child/layout_builder.h"

namespace psma {
namespace rc {

template <typename TeleRC, typename TeleRCChannel>
BlockLayout Layout(int kind, int stale_after_s) {
  using namespace psma::layout;
  using G = TeleRC;
  using M = TeleRCChannel;
  constexpr std::size_t kRow = sizeof(G);
  constexpr std::size_t kStride = sizeof(M);
  constexpr std::size_t kRows = offsetof(G, module_count);
  const auto row = [&](FieldLayout f) {
    return Repeat(std::move(f), kMaxElements, kStride, kRows);
  };
  const auto param = [](const char* name, std::size_t k, ValueClass cls, double resolution) {
    return Value(name, offsetof(G, ac_param) + k * sizeof(float), cls, resolution);
  };
  BlockLayout l;
  l.kind = kind;
  l.stale_after_s = stale_after_s;
  l.fields = {
      Value("rectifier.voltage", offsetof(G, group_value), ValueClass::kVoltage, 0.01),
      row(Value("module{n}.current", kRow + offsetof(M, module_value), ValueClass::kCurrent, 0.1)),
      row(State("module{n}.power", kRow + offsetof(M, switch_state), {{0, "on"}, {1, "off"}})),
      row(State("module{n}.current_limit", kRow + offsetof(M, switch_state) + 1,
                {{0, "limiting"}, {1, "not limiting"}})),
      row(State("module{n}.charge", kRow + offsetof(M, switch_state) + 2,
                {{0, "float"}, {1, "equalize"}, {2, "test"}})),
      row(State("module{n}.fault", kRow + offsetof(M, fault_state), {{0, "normal"}, {1, "fault"}})),
      row(State("module{n}.fault.alarm", kRow + offsetof(M, user_alarm),
                {{0, "normal"}, {1, "alarm"}})),
      row(State("module{n}.fan.alarm", kRow + offsetof(M, user_alarm) + 1,
                {{0, "normal"}, {1, "alarm"}})),
      row(State("module{n}.temperature.alarm", kRow + offsetof(M, user_alarm) + 2,
                {{0, "normal"}, {1, "high"}})),
      row(State("module{n}.communication", kRow + offsetof(M, user_alarm) + 3,
                {{0, "normal"}, {0xE2, "interrupted"}})),
  };
  for (std::size_t k = 0; k < M::P41_41_SIZE(); ++k) {
    l.fields.push_back(
        row(Value("module{n}.user" + std::to_string(k + 1),
                  kRow + offsetof(M, user_analog) + k * sizeof(float), ValueClass::kNumber, 0.01)));
  }
  for (std::size_t k = 0; k < M::P41_43_SIZE(); ++k) {
    l.fields.push_back(
        row(State("module{n}.user_switch" + std::to_string(k + 1),
                  kRow + offsetof(M, user_switch) + k, {{0, "closed"}, {1, "open"}})));
  }
  for (auto f : {
           param("ac.voltage.high_limit", 0, ValueClass::kVoltage, 0.1),
           param("ac.voltage.low_limit", 1, ValueClass::kVoltage, 0.1),
           param("ac.current.high_limit", 2, ValueClass::kCurrent, 0.1),
           param("ac.frequency.high_limit", 3, ValueClass::kFrequency, 0.01),
           param("ac.frequency.low_limit", 4, ValueClass::kFrequency, 0.01),
           Value("dc.voltage.high_limit", offsetof(G, dc_param), ValueClass::kVoltage, 0.01),
           Value("dc.voltage.low_limit", offsetof(G, dc_param) + sizeof(float),
                 ValueClass::kVoltage, 0.01),
           Repeat(Value("dc.user_param{n}", offsetof(G, dc_user_param), ValueClass::kNumber, 0.01),
                  G::P42_46_NUMBER(), sizeof(float), offsetof(G, dc_param_count)),
       }) {
    l.fields.push_back(std::move(f));
  }
  return l;
}

}  // namespace rc
}  // namespace psma
