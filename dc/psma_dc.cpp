#include "dc/psma_dc.h"

PsmaDC::PsmaDC() { type_name_ = "psma-dc"; }
PsmaDC::PsmaDC(const std::string& model) : PMBusPowerDC(model) {
  type_name_ = "psma-dc";
}
PsmaDC::~PsmaDC() = default;
void PsmaDC::DoImpCheckAlert() {}
