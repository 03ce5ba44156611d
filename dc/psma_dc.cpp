#include "dc/psma_dc.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dc/pmbus_power_dc_parse.h"
#include "dc/pmbus_power_dc_round.h"

template class PMBusPowerDC<tele_c_psma_dc, psma::kKindDC>;

namespace {

// The unit's user-defined DC alarm states, one fixed meaning per position.
struct UserAlarm {
  const char* key;
  const char* code;
  const char* name;
  const char* description;
  std::uint8_t active_state;  // the state that raises it (bool checks)
  bool battery_voltage;       // a state-table check instead
};

const UserAlarm kUserAlarms[] = {
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

// Built on first use (thread-safe) and kept for the life of the program.
const std::map<std::uint8_t, std::string>& BatteryVoltageStates() {
  static const std::map<std::uint8_t, std::string> states{{0, "正常"}, {1, "欠压"}, {2, "过压"}};
  return states;
}

}  // namespace

PsmaDC::PsmaDC() { type_name_ = "psma-dc"; }
PsmaDC::PsmaDC(const std::string& model) : PMBusPowerDC(model) { type_name_ = "psma-dc"; }
PsmaDC::~PsmaDC() = default;

// Only a complete list of the thirteen states is checked; any other count
// leaves the alarms as they are for this round.
void PsmaDC::DoImpCheckAlert() {
  const tele_c_psma_dc& rec = RoundRecord();
  if (rec.alert_p_count != tele_c_psma_dc::ALERT_P_SIZE()) return;
  static const std::vector<psma::AlarmRowTexts> texts = psma::MakeRowTexts(kUserAlarms);
  for (std::size_t k = 0; k < tele_c_psma_dc::ALERT_P_SIZE(); ++k) {
    const UserAlarm& a = kUserAlarms[k];
    const psma::AlarmRowTexts& t = texts[k];
    const std::uint8_t state = rec.alert_p_state[k];
    if (a.battery_voltage) {
      CheckAlertMap(state, 2, t.key, t.code, t.name, t.description, BatteryVoltageStates(),
                    alarm_seq_++);
    } else {
      CheckThresholdBool(2, t.key, t.code, t.name, t.description, state == a.active_state,
                         alarm_seq_++);
    }
  }
}
