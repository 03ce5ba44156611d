// GCC 12 with the sanitizers reports the moves of std::function inside its
// own regex automaton as maybe used uninitialized. The key pattern is built
// in this unit only (the template is instantiated here and nowhere else).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "ac/psma_ac.h"

#include "ac/pmbus_power_ac_parse.h"
#include "ac/pmbus_power_ac_round.h"
#include "ac/pmbus_power_ac_values.h"

template class PMBusPowerAC<tele_c_psma_ac, tele_c_psma_ac_channel, psma::kKindAC>;

PsmaAC::PsmaAC() { type_name_ = "psma-ac"; }
PsmaAC::~PsmaAC() = default;
void PsmaAC::DoImpCheckAlert() {}
