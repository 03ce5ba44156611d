#include "rc/psma_rc.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rc/pmbus_power_rc_parse.h"
#include "rc/pmbus_power_rc_round.h"
#include "rc/pmbus_power_rc_values.h"
#include "rc/rc_alarms.h"

template class PMBusPowerRC<tele_c_psma_rc, tele_c_psma_rc_channel, psma::kKindRC>;

PsmaRC::PsmaRC() { type_name_ = "psma-rc"; }
PsmaRC::~PsmaRC() = default;

void PsmaRC::DoImpCheckAlert() {
  using namespace psma::rc;
  static const std::vector<psma::AlarmRowTexts> rows = psma::MakeNumberedRowTexts(kModuleAlarms);
  constexpr std::size_t kRows = sizeof kModuleAlarms / sizeof kModuleAlarms[0];
  const auto& modules = RoundModules();
  module_descriptions_.Ensure(kModuleAlarms, modules.size(), kRows,
                              [](std::size_t number, std::size_t row) {
                                return "第" + std::to_string(number) + kModuleAlarms[row].what;
                              });
  for (std::size_t i = 0; i < modules.size(); ++i) {
    // A module that did not report its four alarm bytes keeps old ones: no check.
    if (modules[i].alarm_count != kAlarmBytes) continue;
    for (std::size_t r = 0; r < kRows; ++r) {
      const auto& a = kModuleAlarms[r];
      const auto& text = rows[r];
      CheckThresholdBool(a.level, text.key, text.code, text.name, module_descriptions_.At(i + 1, r),
                         modules[i].user_alarm[a.byte] == a.active, alarm_seq_++);
    }
  }
}
