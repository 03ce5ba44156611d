#include "ac/psma_ac.h"

PsmaAC::PsmaAC() { type_name_ = "psma-ac"; }
PsmaAC::~PsmaAC() = default;
void PsmaAC::DoImpCheckAlert() {}
