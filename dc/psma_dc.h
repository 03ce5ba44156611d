#pragma once
// The PSM-A unit's DC distribution screen.

#include <string>

#include "dc/dc_records.h"
#include "dc/pmbus_power_dc.h"
#include "plugin/io_codes.h"

// Built once, in psma_dc.cpp.
extern template class PMBusPowerDC<tele_c_psma_dc, psma::kKindDC>;

class PsmaDC : public PMBusPowerDC<tele_c_psma_dc, psma::kKindDC> {
 public:
  PsmaDC();
  explicit PsmaDC(const std::string& model);
  ~PsmaDC() override;
  // The unit's thirteen user-defined DC alarm states.
  void DoImpCheckAlert() override;
};
