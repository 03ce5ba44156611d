#pragma once
// korv-host's lines on standard output: readable lines, or one JSON object
// per line (--json). The README's table of events names every line. A push
// output: each event becomes its lines at once, written by `write`.

#include <chrono>
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

  // Whether each round and its values are lines (a line per child): a
  // journal wants what an operator reads, not a line a value. Before the
  // runner starts; shown by default.
  void ShowValues(bool show) { values_ = show; }

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
  bool values_ = true;
  std::function<void(int priority, const std::string&)> write_;
};

// `line` with the time it was told: a JSON line's last key "time", a
// readable line's first word (RFC 3339, UTC, milliseconds).
std::string WithTime(const std::string& line, bool json, std::chrono::system_clock::time_point at);

}  // namespace korv_host
