#include "rc/psma_rc.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rc/pmbus_power_rc_parse.h"
#include "rc/pmbus_power_rc_round.h"

template class PMBusPowerRC<tele_c_psma_rc, tele_c_psma_rc_channel, psma::kKindRC>;

namespace {

// One check per user-defined alarm byte; the description reads
// "第" + module number + `what`.
struct ModuleAlarm {
  const char* key;
  const char* code;
  const char* name;
  const char* what;
  std::size_t byte;  // index into user_alarm
  int level;
  std::uint8_t active;  // the byte value that raises it
};

const ModuleAlarm kModuleAlarms[] = {
    {"PSMA_RC_0", "06024", "整流模块故障告警", "模块故障告警状态", 0, 3, 1},
    {"PSMA_RC_1", "06025", "整流模块风扇告警", "模块风扇告警", 1, 4, 1},
    {"PSMA_RC_2", "06027", "整流模块温度过高告警", "模块过温告警状态", 2, 3, 1},
    {"PSMA_RC_3", "06028", "整流模块通信状态告警", "模块通讯中断告警状态", 3, 4, 0xE2},
};
static_assert(sizeof(kModuleAlarms) / sizeof(kModuleAlarms[0]) ==
                  tele_c_psma_rc_channel::P41_44_SIZE(),
              "one check per user-defined alarm byte");

}  // namespace

PsmaRC::PsmaRC() { type_name_ = "psma-rc"; }
PsmaRC::~PsmaRC() = default;

void PsmaRC::DoImpCheckAlert() {
  static const std::vector<psma::AlarmRowTexts> rows = [] {
    std::vector<psma::AlarmRowTexts> texts;
    for (const auto& a : kModuleAlarms) texts.push_back({a.key, a.code, a.name, ""});
    return texts;
  }();
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
