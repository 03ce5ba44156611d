#include "gateway/outputs/console/console_row.h"

#include <CLI/CLI.hpp>

#include "gateway/core/journal.h"
#include "gateway/outputs/console/console_output.h"
#include "gateway/outputs/console/line_writer.h"

namespace korv_host {
namespace {

// The runner's lines on standard output: always made.
class Row final : public OutputRow {
 public:
  void AddOptions(CLI::App& app) override {
    app.add_flag("--json", json_, "One JSON object per line instead of readable lines");
  }
  bool Wanted() const override { return true; }
  // The lines are written on a thread of their own: a reader that does not
  // read holds up no unit.
  bool Make(const OutputContext& context, MadeOutputs& made, std::string&) override {
    auto writer = std::make_shared<LineWriter>(context.out_fd, json_);
    // Under systemd each line carries its priority for the journal.
    const bool journal = IsJournalStream(context.out_fd);
    made.console = std::make_shared<ConsoleOutput>(
        json_, [writer, journal](int priority, const std::string& line) {
          writer->Write(WithPriority(priority, line, journal));
        });
    made.lines_dropped = [writer] { return writer->Dropped(); };
    made.outputs.push_back(made.console);
    return true;
  }

 private:
  bool json_ = false;
};

}  // namespace

std::unique_ptr<OutputRow> ConsoleRow() { return std::make_unique<Row>(); }

}  // namespace korv_host
