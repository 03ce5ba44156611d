#include "gateway/outputs/output.h"

#include "gateway/outputs/output_row.h"

namespace korv_host {

const char* SourceName(Source source) { return source == Source::kCache ? "cache" : "round"; }

Output::~Output() = default;
OutputRow::~OutputRow() = default;

SiteState& MadeOutputs::StateOf(const Json::Value& site) {
  if (!state) {
    std::vector<unsigned> units;
    for (const auto& unit : site["units"]) {
      if (unit.isObject() && unit["data_id"].isUInt()) units.push_back(unit["data_id"].asUInt());
    }
    state = std::make_shared<SiteState>(units);
    outputs.push_back(state);
  }
  return *state;
}

void Outputs::Attach(std::shared_ptr<Output> output) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (output) outputs_.push_back(std::move(output));
}

template <typename Event>
void Outputs::Tell(void (Output::*call)(unsigned, const Event&), unsigned unit,
                   const Event& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& output : outputs_) ((*output).*call)(unit, event);
}

void Outputs::OnSimulator(unsigned unit, const SimulatorEvent& event) {
  Tell(&Output::OnSimulator, unit, event);
}
void Outputs::OnRound(unsigned unit, const RoundEvent& event) {
  Tell(&Output::OnRound, unit, event);
}
void Outputs::OnValues(unsigned unit, const ValuesEvent& event) {
  Tell(&Output::OnValues, unit, event);
}
void Outputs::OnAlarm(unsigned unit, const AlarmEvent& event) {
  Tell(&Output::OnAlarm, unit, event);
}
void Outputs::OnLog(unsigned unit, const LogEvent& event) { Tell(&Output::OnLog, unit, event); }
void Outputs::OnFault(unsigned unit, const FaultEvent& event) {
  Tell(&Output::OnFault, unit, event);
}
void Outputs::OnLinkState(unsigned unit, const LinkEvent& event) {
  Tell(&Output::OnLinkState, unit, event);
}
void Outputs::OnRequest(unsigned unit, const RequestEvent& event) {
  Tell(&Output::OnRequest, unit, event);
}

void Outputs::OnUnitRemoved(unsigned unit, const UnitRemovedEvent& event) {
  Tell(&Output::OnUnitRemoved, unit, event);
}

}  // namespace korv_host
