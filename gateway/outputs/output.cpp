#include "gateway/outputs/output.h"

namespace korv_host {

const char* SourceName(Source source) { return source == Source::kCache ? "cache" : "round"; }

Output::~Output() = default;

void Outputs::Attach(std::shared_ptr<Output> output) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (output) outputs_.push_back(std::move(output));
}

template <typename Call>
void Outputs::Tell(const Call& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& output : outputs_) call(*output);
}

void Outputs::OnSimulator(unsigned unit, const std::string& port) {
  Tell([&](Output& o) { o.OnSimulator(unit, port); });
}
void Outputs::OnRound(unsigned unit, int round) {
  Tell([&](Output& o) { o.OnRound(unit, round); });
}
void Outputs::OnValues(const ChildValues& values) {
  Tell([&](Output& o) { o.OnValues(values); });
}
void Outputs::OnAlarm(const korv::AlarmCheck& check) {
  Tell([&](Output& o) { o.OnAlarm(check); });
}
void Outputs::OnUnitAlarm(unsigned unit, const korv::AlarmCheck& check) {
  Tell([&](Output& o) { o.OnUnitAlarm(unit, check); });
}
void Outputs::OnLog(unsigned device, const std::string& line) {
  Tell([&](Output& o) { o.OnLog(device, line); });
}
void Outputs::OnFault(unsigned device, const std::string& text) {
  Tell([&](Output& o) { o.OnFault(device, text); });
}
void Outputs::OnLinkState(unsigned device, bool answering, const std::string& text) {
  Tell([&](Output& o) { o.OnLinkState(device, answering, text); });
}
void Outputs::OnRequest(unsigned unit) {
  Tell([&](Output& o) { o.OnRequest(unit); });
}
void Outputs::OnRoundDuration(unsigned unit, std::chrono::microseconds duration) {
  Tell([&](Output& o) { o.OnRoundDuration(unit, duration); });
}

}  // namespace korv_host
