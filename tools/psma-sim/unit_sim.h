#pragma once
// The simulated unit's protocol: a decoded request in, the encoded answer
// out, built from the scenario for every request of the command table.

#include <cstdint>
#include <optional>
#include <vector>

#include "host/yd1363.h"
#include "tools/psma-sim/scenario.h"

namespace psma_sim {

class UnitSim {
 public:
  explicit UnitSim(Scenario scenario) : scenario_(std::move(scenario)) {}

  // The answer frame (encoded, SOI to EOI) to `request` at `t` seconds, or
  // nothing when the request is for another address. Unknown commands get
  // return code 04, a wrong protocol version 01, an INFO field the command
  // does not take 05, a command group other than 0xFF 06.
  std::optional<std::vector<std::uint8_t>> Answer(const yd1363::Frame& request, double t);
  // The answer to a request that arrived broken: return code 02 for a bad
  // checksum, 03 for a bad length checksum; nothing for other faults.
  std::optional<std::vector<std::uint8_t>> AnswerBroken(yd1363::Fault fault) const;

  // The INFO field of the answer to cid1/cid2 (a command of the table) at
  // `t`; advances nothing but the data-flag bookkeeping.
  std::vector<std::uint8_t> Info(std::uint8_t cid1, std::uint8_t cid2, double t);

  Scenario& scenario() { return scenario_; }
  // Rounds begun: a round begins with the AC analogue request (the
  // rectifier one when the unit has no AC screen).
  int Round() const { return round_; }

 private:
  std::vector<std::uint8_t> Encode(std::uint8_t cid1, std::uint8_t rtn,
                                   const std::vector<std::uint8_t>& info) const;

  Scenario scenario_;
  int round_ = 0;
  // The switch and alarm answers last served per group, for the data flags.
  std::vector<std::uint8_t> ac_switches_, ac_alarms_, rc_switches_, rc_alarms_, dc_alarms_;
  bool served_[5] = {false, false, false, false, false};
};

}  // namespace psma_sim
