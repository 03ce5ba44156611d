#pragma once
// The PSM-A monitoring unit on a serial line (9600 baud).

#include "ac/psma_ac.h"
#include "dc/psma_dc.h"
#include "rc/psma_rc.h"
#include "root/pmbus_power.h"

class Psma : public PMBusPower<PsmaAC, PsmaDC, PsmaRC> {
 public:
  Psma();
  ~Psma() override;
};
