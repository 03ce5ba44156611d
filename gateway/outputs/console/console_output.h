#pragma once
// korv-host's lines on standard output: readable lines, or one JSON object
// per line (--json). The README's table of events names every line. A push
// output: each event becomes its lines at once, written by `write`.

#include <functional>
#include <string>

#include "gateway/outputs/output.h"

namespace korv_host {

class ConsoleOutput final : public Output {
 public:
  // `write` takes one line at a time, without its line end.
  ConsoleOutput(bool json, std::function<void(const std::string&)> write);
  // The same, with each line's syslog priority (<syslog.h>): faults, lost
  // links and raised alarms LOG_WARNING; links back, cleared alarms and the
  // plug-in's log lines LOG_NOTICE; rounds, values and simulators LOG_INFO.
  ConsoleOutput(bool json, std::function<void(int priority, const std::string&)> write);

  void OnSimulator(unsigned unit, const SimulatorEvent& event) override;
  void OnRound(unsigned unit, const RoundEvent& event) override;
  void OnValues(unsigned unit, const ValuesEvent& event) override;
  void OnAlarm(unsigned unit, const AlarmEvent& event) override;
  void OnLog(unsigned unit, const LogEvent& event) override;
  void OnFault(unsigned unit, const FaultEvent& event) override;
  void OnLinkState(unsigned unit, const LinkEvent& event) override;

 private:
  void Say(int priority, const std::string& line);

  const bool json_;
  std::function<void(int priority, const std::string&)> write_;
};

}  // namespace korv_host
