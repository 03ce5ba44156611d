#include "dc/psma_dc.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dc/dc_alarms.h"
#include "dc/pmbus_power_dc_parse.h"
#include "dc/pmbus_power_dc_round.h"
#include "dc/pmbus_power_dc_values.h"

template class PMBusPowerDC<tele_c_psma_dc, psma::kKindDC>;

PsmaDC::PsmaDC() { type_name_ = "psma-dc"; }
PsmaDC::PsmaDC(const std::string& model) : PMBusPowerDC(model) { type_name_ = "psma-dc"; }
PsmaDC::~PsmaDC() = default;

// Only a complete list of the thirteen states is checked; any other count
// leaves the alarms as they are for this round.
void PsmaDC::DoImpCheckAlert() {
  const tele_c_psma_dc& rec = RoundRecord();
  if (rec.alert_p_count != tele_c_psma_dc::ALERT_P_SIZE()) return;
  using namespace psma::dc;
  static const std::vector<psma::AlarmRowTexts> texts = psma::MakeRowTexts(kUserAlarms);
  for (std::size_t k = 0; k < tele_c_psma_dc::ALERT_P_SIZE(); ++k) {
    const UserAlarm& a = kUserAlarms[k];
    const psma::AlarmRowTexts& t = texts[k];
    const std::uint8_t state = rec.alert_p_state[k];
    if (a.battery_voltage) {
      CheckAlertMap(state, kUserLevel, t.key, t.code, t.name, t.description, BatteryVoltageStates(),
                    alarm_seq_++);
    } else {
      CheckThresholdBool(kUserLevel, t.key, t.code, t.name, t.description, state == a.active_state,
                         alarm_seq_++);
    }
  }
}
