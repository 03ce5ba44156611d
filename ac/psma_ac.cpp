#include "ac/psma_ac.h"

template class PMBusPowerAC<tele_c_psma_ac, tele_c_psma_ac_channel, 5156>;

PsmaAC::PsmaAC() { type_name_ = "psma-ac"; }
PsmaAC::~PsmaAC() = default;
void PsmaAC::DoImpCheckAlert() {}
