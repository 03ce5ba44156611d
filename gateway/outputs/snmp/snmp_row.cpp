#include "gateway/outputs/snmp/snmp_row.h"

#include <CLI/CLI.hpp>
#include <utility>

#include "gateway/outputs/snmp/snmp_output.h"

namespace korv_host {
namespace {

// The site as an AgentX subagent of the local master agent (--snmp-agentx):
// a pull output for the tables, a push output for the notifications.
class Row final : public OutputRow {
 public:
  void AddOptions(CLI::App& app) override {
    option_ = app.add_option("--snmp-agentx", socket_,
                             "Serve KORV-PSMA-MIB as an AgentX subagent of the local master agent "
                             "and send its notifications through it: at SOCKET (a path, or "
                             "tcp:HOST:PORT), else net-snmp's default /var/agentx/master")
                  ->expected(0, 1);
  }
  bool Wanted() const override { return option_ != nullptr && option_->count() > 0; }
  bool ServesSite() const override { return true; }
  bool Make(const OutputContext& context, MadeOutputs& made, std::string& error) override {
    SnmpSettings settings;
    settings.socket = socket_;
    made.StateOf(context.site);
    auto output = std::make_shared<SnmpOutput>(made.state, std::move(settings));
    if (!output->Start(error)) return false;
    made.outputs.push_back(output);
    // Its thread reads the state until it is stopped, after the runner.
    made.stop.emplace_back([output] { output->Stop(); });
    return true;
  }

 private:
  std::string socket_;
  const CLI::Option* option_ = nullptr;
};

}  // namespace

std::unique_ptr<OutputRow> SnmpRow() { return std::make_unique<Row>(); }

}  // namespace korv_host
