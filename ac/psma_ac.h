#pragma once
// The PSM-A unit's AC distribution screen.

#include "ac/ac_records.h"
#include "ac/pmbus_power_ac.h"
#include "plugin/io_codes.h"

// Built once, in psma_ac.cpp.
extern template class PMBusPowerAC<tele_c_psma_ac, tele_c_psma_ac_channel, psma::kKindAC>;

class PsmaAC : public PMBusPowerAC<tele_c_psma_ac, tele_c_psma_ac_channel, psma::kKindAC> {
 public:
  PsmaAC();
  ~PsmaAC() override;
  // The unit adds no AC alarm of its own.
  void DoImpCheckAlert() override;
};
