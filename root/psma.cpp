#include "root/psma.h"

Psma::Psma() : PMBusPower({"PSM-A", "PSM-A10", "PSM-A7"}) {
  type_name_ = "psma";
  baud_rate_ = 9600;
  option_ = 1;
  version_ = 0x20;
}

Psma::~Psma() = default;
