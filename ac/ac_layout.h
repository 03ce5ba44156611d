#pragma once
// The layout of an AC distribution screen's block: the group record, then
// one channel record per channel.

#include <cstddef>
#include <string>

#include "child/layout_builder.h"

namespace psma {
namespace ac {

template <typename TeleAC, typename TeleACChannel>
BlockLayout Layout(int kind, int stale_after_s) {
  using namespace psma::layout;
  using G = TeleAC;
  using C = TeleACChannel;
  constexpr std::size_t kRow = sizeof(G);
  constexpr std::size_t kStride = sizeof(C);
  constexpr std::size_t kRows = offsetof(G, channel_count);
  const auto row = [&](FieldLayout f) {
    return Repeat(std::move(f), kMaxElements, kStride, kRows);
  };
  BlockLayout l;
  l.kind = kind;
  l.stale_after_s = stale_after_s;
  l.fields = {
      row(Value("input{n}.voltage.ab", kRow + offsetof(C, a), ValueClass::kVoltage, 0.1)),
      row(Value("input{n}.voltage.bc", kRow + offsetof(C, b), ValueClass::kVoltage, 0.1)),
      row(Value("input{n}.voltage.ca", kRow + offsetof(C, c), ValueClass::kVoltage, 0.1)),
      row(Value("input{n}.frequency", kRow + offsetof(C, f), ValueClass::kFrequency, 0.01)),
      row(State("input{n}.voltage.ab.alarm", kRow + offsetof(C, a_alert), LimitWords())),
      row(State("input{n}.voltage.bc.alarm", kRow + offsetof(C, b_alert), LimitWords())),
      row(State("input{n}.voltage.ca.alarm", kRow + offsetof(C, c_alert), LimitWords())),
      row(State("input{n}.frequency.alarm", kRow + offsetof(C, f_alert), LimitWords())),
  };
  for (std::size_t k = 0; k < C::p40_44_SIZE(); ++k) {
    l.fields.push_back(row(State("input{n}.user_alarm" + std::to_string(k + 1),
                                 kRow + offsetof(C, user_alarm) + k, {{0, "normal"}})));
  }
  const std::vector<StateWord> kSwitch = {{0, "closed"}, {1, "open"}};
  for (auto f : {
           Value("phase.a.current", offsetof(G, ia), ValueClass::kCurrent, 0.1, kNoValue),
           Value("phase.b.current", offsetof(G, ib), ValueClass::kCurrent, 0.1, kNoValue),
           Value("phase.c.current", offsetof(G, ic), ValueClass::kCurrent, 0.1, kNoValue),
           State("phase.a.current.alarm", offsetof(G, ia_alert), LimitWords()),
           State("phase.b.current.alarm", offsetof(G, ib_alert), LimitWords()),
           State("phase.c.current.alarm", offsetof(G, ic_alert), LimitWords()),
           Repeat(State("switch{n}", offsetof(G, airlock_state), kSwitch), G::AIRLOCK_MAX(), 1,
                  offsetof(G, airlock_count)),
           Repeat(State("user_switch{n}", offsetof(G, user_switch), kSwitch), G::P40_43_SIZE(), 1,
                  offsetof(G, user_switch_count)),
       }) {
    l.fields.push_back(std::move(f));
  }
  return l;
}

}  // namespace ac
}  // namespace psma
