#include "gateway/simulator/psma_simulator.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/psma-sim/sim_server.h"

namespace korv_host {
namespace {

class PsmaSimUnit final : public UnitSimulator {
 public:
  explicit PsmaSimUnit(std::unique_ptr<psma_sim::SimServer> server) : server_(std::move(server)) {}

 private:
  std::unique_ptr<psma_sim::SimServer> server_;
};

// How many of `children` are of device type `type`.
int CountOfType(const std::vector<std::shared_ptr<KorvVDevice>>& children, const char* type) {
  return static_cast<int>(std::count_if(children.begin(), children.end(), [type](const auto& c) {
    return c && c->DeviceType() == type;
  }));
}

std::unique_ptr<UnitSimulator> Start(const Json::Value& s,
                                     const std::vector<std::shared_ptr<KorvVDevice>>& children,
                                     int address, int baud, std::string& port, std::string& error) {
  psma_sim::Scenario scenario;
  // The built-in scenario answers for the screens the unit's device made,
  // as it made them from its settings.
  const bool loaded =
      s["scenario"].isString()
          ? scenario.LoadFile(s["scenario"].asString(), error)
          : scenario.Load(psma_sim::BuiltInScenario(CountOfType(children, "psma-ac"),
                                                    CountOfType(children, "psma-dc"), 3, address),
                          error);
  if (!loaded || !scenario.Set("/address", address, error)) {
    error = "scenario " + error;
    return nullptr;
  }
  auto server = std::make_unique<psma_sim::SimServer>(scenario, baud, psma_sim::FaultPlan{});
  if (!server->OpenPty(port, error)) {
    error = "simulator: " + error;
    return nullptr;
  }
  server->Start();
  return std::make_unique<PsmaSimUnit>(std::move(server));
}

}  // namespace

StartSimulator PsmaSimulator() { return Start; }

}  // namespace korv_host
