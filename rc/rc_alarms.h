#pragma once
// The alarms of the rectifier group: one row per check, made in table order
// every round, active or not (raising and clearing are the host's).

#include <cstddef>
#include <cstdint>

#include "rc/rc_records.h"

namespace psma {
namespace rc {

// Cycle alarm: one check per module, in module order, on its fault state.
struct CycleAlarm {
  int level;
  const char* key;
  const char* code;
  const char* name;
  const char* before;  // description: before + module number + after
  const char* after;
  std::uint8_t fault;  // fault_state that makes it active
};
constexpr CycleAlarm kCycleAlarms[] = {
    {2, "RC_0", "06024", "整流模块故障告警", "模块", "整流模块故障告警", 1},
};

// The PSM-A unit's checks, one per user-defined alarm byte of a module; the
// description reads "第" + module number + `what`.
struct ModuleAlarm {
  const char* key;
  const char* code;
  const char* name;
  const char* what;
  std::size_t byte;  // index into user_alarm
  int level;
  std::uint8_t active;  // the byte value that raises it
};
constexpr ModuleAlarm kModuleAlarms[] = {
    {"PSMA_RC_0", "06024", "整流模块故障告警", "模块故障告警状态", 0, 3, 1},
    {"PSMA_RC_1", "06025", "整流模块风扇告警", "模块风扇告警", 1, 4, 1},
    {"PSMA_RC_2", "06027", "整流模块温度过高告警", "模块过温告警状态", 2, 3, 1},
    {"PSMA_RC_3", "06028", "整流模块通信状态告警", "模块通讯中断告警状态", 3, 4, 0xE2},
};
static_assert(sizeof(kModuleAlarms) / sizeof(kModuleAlarms[0]) ==
                  tele_c_psma_rc_channel::P41_44_SIZE(),
              "one check per user-defined alarm byte");

}  // namespace rc
}  // namespace psma
