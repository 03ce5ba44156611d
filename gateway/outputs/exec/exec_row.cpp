#include "gateway/outputs/exec/exec_row.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <utility>

#include "gateway/outputs/exec/exec_output.h"

namespace korv_host {
namespace {

// A program run for each alarm and link change (--notify-exec).
class Row final : public OutputRow {
 public:
  void AddOptions(CLI::App& app) override {
    app.add_option("--notify-exec", command_,
                   "Run the program CMD (no shell) for each alarm raise and clear and each lost "
                   "or regained unit, its event in KORV_* variables of its environment")
        ->type_name("CMD");
    app.add_option("--notify-exec-timeout", timeout_s_,
                   "End a --notify-exec program that runs longer than N seconds")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600));
  }
  bool Wanted() const override { return !command_.empty(); }
  bool Make(const OutputContext&, MadeOutputs& made, std::string& error) override {
    ExecSettings settings;
    settings.command = command_;
    settings.timeout = std::chrono::seconds(timeout_s_);
    auto output = std::make_shared<ExecOutput>(std::move(settings));
    if (!output->Start(error)) return false;
    made.outputs.push_back(output);
    // Once the units stopped: what waits gets its short while.
    made.stop.emplace_back([output] { output->Stop(); });
    return true;
  }

 private:
  std::string command_;
  int timeout_s_ = 10;
};

}  // namespace

std::unique_ptr<OutputRow> ExecRow() { return std::make_unique<Row>(); }

}  // namespace korv_host
