#pragma once
// The PSM-A unit's DC distribution screen.

#include <string>

#include "dc/dc_records.h"
#include "dc/pmbus_power_dc.h"

class PsmaDC : public PMBusPowerDC<tele_c_psma_dc, 5158> {
 public:
  PsmaDC();
  explicit PsmaDC(const std::string& model);
  ~PsmaDC() override;
  // The unit's thirteen user-defined DC alarm states.
  void DoImpCheckAlert() override;
};
