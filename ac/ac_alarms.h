#pragma once
// The alarms of an AC distribution screen: one row per check, made in table
// order every round, active or not (raising and clearing are the host's).

#include <cstdint>

namespace psma {
namespace ac {

// Which alarm state byte of a channel record a row watches.
enum class ChannelState : std::uint8_t { A, B, C, F };
// Which phase current alarm state byte of the group record a row watches.
enum class PhaseState : std::uint8_t { IA, IB, IC };

// Unit codes in the alarm state bytes; any other value raises nothing.
constexpr std::uint8_t kBelowLower = 1;
constexpr std::uint8_t kAboveUpper = 2;
constexpr std::uint8_t kMissing = 3;

template <typename State>
struct AlarmRow {
  const char* key;
  const char* code;
  const char* name;
  const char* description;  // channel rows: follows "交流屏" and the channel number
  int level;
  State state;
  std::uint8_t active_when;
};

// Eleven checks per channel, in channel order. The keys are shared by all
// channels; the description names the channel.
constexpr AlarmRow<ChannelState> kChannelAlarms[] = {
    {"AC_0", "06015", "交流输入电压过低告警", "输入线/相电压AB/A", 3, ChannelState::A, kBelowLower},
    {"AC_1", "06015", "交流输入电压过低告警", "输入线/相电压BC/B", 3, ChannelState::B, kBelowLower},
    {"AC_2", "06015", "交流输入电压过低告警", "输入线/相电压CA/C", 3, ChannelState::C, kBelowLower},
    {"AC_3", "06019", "交流输入频率过低告警", "频率", 3, ChannelState::F, kBelowLower},
    {"AC_4", "06014", "交流输入电压过高告警", "输入线/相电压AB/A", 2, ChannelState::A, kAboveUpper},
    {"AC_5", "06014", "交流输入电压过高告警", "输入线/相电压BC/B", 2, ChannelState::B, kAboveUpper},
    {"AC_6", "06014", "交流输入电压过高告警", "输入线/相电压CA/C", 2, ChannelState::C, kAboveUpper},
    {"AC_7", "06018", "交流输入频率过高告警", "频率", 2, ChannelState::F, kAboveUpper},
    {"AC_8", "06017", "交流输入缺相告警", "输入线/相电压AB/A", 2, ChannelState::A, kMissing},
    {"AC_9", "06017", "交流输入缺相告警", "输入线/相电压BC/B", 2, ChannelState::B, kMissing},
    {"AC_10", "06017", "交流输入缺相告警", "输入线/相电压CA/C", 2, ChannelState::C, kMissing},
};

// Nine phase current checks after the last channel. "AC_11" is not used.
constexpr AlarmRow<PhaseState> kPhaseAlarms[] = {
    {"AC_12", "06029", "A相输入电流低于下限", "其他告警", 3, PhaseState::IA, kBelowLower},
    {"AC_13", "06029", "B相输入电流低于下限", "其他告警", 3, PhaseState::IB, kBelowLower},
    {"AC_14", "06029", "C相输入电流低于下限", "其他告警", 3, PhaseState::IC, kBelowLower},
    {"AC_15", "06029", "A相输入电流高于上限", "其他告警", 3, PhaseState::IA, kAboveUpper},
    {"AC_16", "06029", "B相输入电流高于上限", "其他告警", 3, PhaseState::IB, kAboveUpper},
    {"AC_17", "06029", "C相输入电流高于上限", "其他告警", 3, PhaseState::IC, kAboveUpper},
    {"AC_18", "06029", "A相输入电流缺项", "其他告警", 3, PhaseState::IA, kMissing},
    {"AC_19", "06029", "B相输入电流缺项", "其他告警", 3, PhaseState::IB, kMissing},
    {"AC_20", "06029", "C相输入电流缺项", "其他告警", 3, PhaseState::IC, kMissing},
};

// The state byte a row watches.
template <typename Channel>
std::uint8_t StateOf(const Channel& ch, ChannelState s) {
  switch (s) {
    case ChannelState::A:
      return ch.a_alert;
    case ChannelState::B:
      return ch.b_alert;
    case ChannelState::C:
      return ch.c_alert;
    case ChannelState::F:
      return ch.f_alert;
  }
  return 0;
}
template <typename Group>
std::uint8_t StateOf(const Group& g, PhaseState s) {
  switch (s) {
    case PhaseState::IA:
      return g.ia_alert;
    case PhaseState::IB:
      return g.ib_alert;
    case PhaseState::IC:
      return g.ic_alert;
  }
  return 0;
}

}  // namespace ac
}  // namespace psma
