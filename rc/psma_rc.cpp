#include "rc/psma_rc.h"

PsmaRC::PsmaRC() { type_name_ = "psma-rc"; }
PsmaRC::~PsmaRC() = default;
void PsmaRC::DoImpCheckAlert() {}
