#pragma once
// The alarms of a DC distribution screen: one row per check, made in table
// order every round, active or not (raising and clearing are the host's).

#include <cstdint>
#include <map>
#include <string>

#include "dc/dc_records.h"

namespace psma {
namespace dc {

// Output voltage state (dc_v_alert), level 3: 1 too low, 2 too high.
struct VoltageAlarm {
  const char* key;
  const char* code;
  const char* name;
  const char* description;  // the name again
  std::uint8_t state;       // the dc_v_alert value that raises it
};
constexpr VoltageAlarm kVoltageAlarms[] = {
    {"DC_0", "06008", "输出电压过低告警", "输出电压过低告警", 1},
    {"DC_1", "06009", "输出电压过高告警", "输出电压过高告警", 2},
};
constexpr int kVoltageLevel = 3;

// One check per battery fuse (alert_m_state), level 1, when the unit reports
// the full fuse list; the description reads "直流" + fuse number +
// "电池熔丝故障告警".
struct FuseAlarm {
  const char* key;
  const char* code;
  const char* name;
  std::uint8_t fault;  // the state that raises it
};
constexpr FuseAlarm kFuseAlarm = {"DC_3", "06001", "电池熔丝故障告警", 3};
constexpr int kFuseLevel = 1;

// The PSM-A unit's user-defined DC alarm states (alert_p_state), level 2,
// one fixed meaning per position.
struct UserAlarm {
  const char* key;
  const char* code;
  const char* name;
  const char* description;
  std::uint8_t active_state;  // the state that raises it (bool checks)
  bool battery_voltage;       // a state-table check instead
};

constexpr UserAlarm kUserAlarms[] = {
    {"PSMA_DC_0", "06007", "负载熔丝故障告警", "负载熔丝1故障告警", 3, false},
    {"PSMA_DC_1", "06007", "负载熔丝故障告警", "负载熔丝1故障告警", 3, false},
    {"PSMA_DC_2", "06002", "电池充电过流告警", "电池1充电过流告警", 2, false},
    {"PSMA_DC_3", "06002", "电池充电过流告警", "电池2充电过流告警", 2, false},
    {"PSMA_DC_4", "06029", "电池组1保护", "其他告警", 0xE4, false},
    {"PSMA_DC_5", "06029", "电池组2保护", "其他告警", 0xE4, false},
    {"PSMA_DC_6", "06080", "二级低压脱离告警", "第二级低压脱离开关动作，其后的负载被断电", 0xE3,
     false},
    {"PSMA_DC_7", "06029", "电池房过温", "其他告警", 0xE1, false},
    {"PSMA_DC_8", "06029", "测点1过温", "其他告警", 0xE1, false},
    {"PSMA_DC_9", "06029", "测点2过温", "其他告警", 0xE1, false},
    {"PSMA_DC_10", "06011", "直流屏通讯中断告警", "直流屏通讯中断告警状态", 0xE2, false},
    {"PSMA_DC_11", "06029", "电池组1电压异常", "其他告警", 0, true},
    {"PSMA_DC_12", "06029", "电池组2电压异常", "其他告警", 0, true},
};
static_assert(sizeof(kUserAlarms) / sizeof(kUserAlarms[0]) == tele_c_psma_dc::ALERT_P_SIZE(),
              "one alarm per user-defined state");
constexpr int kUserLevel = 2;

// The texts of a battery voltage state. Built on first use (thread-safe)
// and kept for the life of the program.
inline const std::map<std::uint8_t, std::string>& BatteryVoltageStates() {
  static const std::map<std::uint8_t, std::string> states{{0, "正常"}, {1, "欠压"}, {2, "过压"}};
  return states;
}

}  // namespace dc
}  // namespace psma
