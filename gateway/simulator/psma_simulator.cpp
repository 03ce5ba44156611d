#include "gateway/simulator/psma_simulator.h"

#include <memory>
#include <utility>

#include "tools/psma-sim/sim_server.h"

namespace korv_host {
namespace {

class PsmaSimUnit final : public UnitSimulator {
 public:
  explicit PsmaSimUnit(std::unique_ptr<psma_sim::SimServer> server) : server_(std::move(server)) {}

 private:
  std::unique_ptr<psma_sim::SimServer> server_;
};

std::unique_ptr<UnitSimulator> Start(const Json::Value& s, int address, int baud, std::string& port,
                                     std::string& error) {
  psma_sim::Scenario scenario;
  const bool loaded =
      s["scenario"].isString()
          ? scenario.LoadFile(s["scenario"].asString(), error)
          : scenario.Load(
                psma_sim::BuiltInScenario(
                    s["acSetting"].isArray() ? static_cast<int>(s["acSetting"].size()) : 0,
                    s["dcSetting"].isArray() ? static_cast<int>(s["dcSetting"].size()) : 0, 3,
                    address),
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
