#pragma once
// korv-host's lines on standard output: readable lines, or one JSON object
// per line (--json). The README's table of events names every line.

#include <functional>
#include <string>

#include "tools/korv-host/output.h"

namespace korv_host {

// The JSON object of an alarm raise or clear, as the --json alarm line shows
// it (the MQTT alarm event carries the same).
std::string AlarmJson(const korv::AlarmCheck& check);

class LineOutput final : public Output {
 public:
  // `write` takes one line at a time, without its line end.
  LineOutput(bool json, std::function<void(const std::string&)> write);

  void OnSimulator(unsigned unit, const std::string& port) override;
  void OnRound(unsigned unit, int round) override;
  void OnValues(const ChildValues& values) override;
  void OnAlarm(const korv::AlarmCheck& check) override;
  void OnLog(unsigned device, const std::string& line) override;
  void OnFault(unsigned device, const std::string& text) override;
  void OnLinkState(unsigned device, bool answering, const std::string& text) override;

 private:
  void Say(const std::string& line);

  const bool json_;
  std::function<void(const std::string&)> write_;
};

}  // namespace korv_host
