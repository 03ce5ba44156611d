#pragma once
// The layout of a DC distribution screen's block: its one record.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "child/layout_builder.h"
#include "dc/dc_alarms.h"

namespace psma {
namespace dc {

// The user-defined alarm states by position, named as the unit means them,
// with the word of the state that raises each (a battery's voltage state
// has words of its own).
struct UserStateName {
  const char* name;
  const char* word;
};
constexpr UserStateName kUserStateNames[] = {
    {"load_fuse1.alarm", "fault"},
    {"load_fuse2.alarm", "fault"},
    {"battery1.charge_current.alarm", "high"},
    {"battery2.charge_current.alarm", "high"},
    {"battery1.protection", "protected"},
    {"battery2.protection", "protected"},
    {"lvd2", "open"},
    {"battery_room.temperature.alarm", "high"},
    {"sensor1.temperature.alarm", "high"},
    {"sensor2.temperature.alarm", "high"},
    {"communication", "interrupted"},
    {"battery1.voltage.alarm", nullptr},
    {"battery2.voltage.alarm", nullptr},
};
static_assert(sizeof(kUserStateNames) / sizeof(kUserStateNames[0]) ==
                  sizeof(kUserAlarms) / sizeof(kUserAlarms[0]),
              "a name for every user-defined alarm state");

template <typename TeleDC>
BlockLayout Layout(int kind, int stale_after_s) {
  using namespace psma::layout;
  using D = TeleDC;
  BlockLayout l;
  l.kind = kind;
  l.stale_after_s = stale_after_s;
  l.fields = {
      Value("output.voltage", offsetof(D, v), ValueClass::kVoltage, 0.01),
      Value("load.current", offsetof(D, i), ValueClass::kCurrent, 0.1),
      Repeat(Value("battery{n}.current", offsetof(D, m_value), ValueClass::kCurrent, 0.1),
             D::M_SIZE(), sizeof(float), offsetof(D, dc_m)),
      Repeat(Value("branch{n}.current", offsetof(D, n_value), ValueClass::kCurrent, 0.1),
             D::N_SIZE(), sizeof(float), offsetof(D, dc_n)),
      Repeat(Value("user{n}", offsetof(D, user_p), ValueClass::kNumber, 0.01, kNoValue),
             D::P_SIZE(), sizeof(float), offsetof(D, p_count)),
      State("output.voltage.alarm", offsetof(D, dc_v_alert),
            {{0, "normal"}, {1, "low"}, {2, "high"}}),
      Repeat(State("fuse{n}.alarm", offsetof(D, alert_m_state), {{0, "normal"}, {3, "fault"}}),
             D::ALERT_M_SIZE(), 1, offsetof(D, alert_m_count)),
  };
  for (std::size_t k = 0; k < D::ALERT_P_SIZE() && k < std::size(kUserStateNames); ++k) {
    const UserAlarm& alarm = kUserAlarms[k];
    std::vector<StateWord> words;
    if (alarm.battery_voltage) {
      for (const auto& [code, text] : BatteryVoltageStates()) {
        words.push_back({code, code == 0 ? "normal" : code == 1 ? "low" : "high"});
      }
    } else {
      words = {{0, "normal"}, {alarm.active_state, kUserStateNames[k].word}};
    }
    l.fields.push_back(
        Counted(State(kUserStateNames[k].name, offsetof(D, alert_p_state) + k, std::move(words)),
                offsetof(D, alert_p_count), k));
  }
  return l;
}

}  // namespace dc
}  // namespace psma
