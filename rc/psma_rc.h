#pragma once
// The PSM-A unit's rectifier group.

#include <string>
#include <vector>

#include "child/alarm_texts.h"
#include "plugin/io_codes.h"
#include "rc/pmbus_power_rc.h"
#include "rc/rc_records.h"

// Built once, in psma_rc.cpp.
extern template class PMBusPowerRC<tele_c_psma_rc, tele_c_psma_rc_channel, psma::kKindRC>;

class PsmaRC : public PMBusPowerRC<tele_c_psma_rc, tele_c_psma_rc_channel, psma::kKindRC> {
 public:
  PsmaRC();
  ~PsmaRC() override;
  // The group reads no key of its own: its settings object stays empty.
  static const std::vector<std::string>& SettingKeys() {
    static const std::vector<std::string> none;
    return none;
  }
  // The per-module alarms of the unit's four user-defined alarm bytes, for
  // every module that reported all four.
  void DoImpCheckAlert() override;

 private:
  // "第" + module number + the row's text, per module and row.
  psma::NumberedTexts module_descriptions_;
};
