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
    app.add_option("--values", values_,
                   "A line for each round and for each child's values: yes or no (default: "
                   "yes, but no when the lines go to the journal, which then gets alarms, "
                   "links, faults and korv-host's own lines)")
        ->check(CLI::IsMember({"yes", "no"}));
  }
  bool Wanted() const override { return true; }
  // The lines are written on a thread of their own: a reader that does not
  // read holds up no unit.
  bool Make(const OutputContext& context, MadeOutputs& made, std::string&) override {
    auto writer = std::make_shared<LineWriter>(context.out_fd, json_);
    // Under systemd each line carries its priority for the journal. Each
    // carries the time it was told: a line read later, or from a file,
    // says when.
    const bool journal = IsJournalStream(context.out_fd);
    auto console = std::make_shared<ConsoleOutput>(
        json_, [writer, journal, json = json_](int priority, const std::string& line) {
          writer->Write(WithPriority(
              priority, WithTime(line, json, std::chrono::system_clock::now()), journal));
        });
    console->ShowValues(values_.empty() ? !journal : values_ == "yes");
    made.console = console;
    made.lines_dropped = [writer] { return writer->Dropped(); };
    made.outputs.push_back(made.console);
    return true;
  }

 private:
  bool json_ = false;
  std::string values_;  // "yes", "no", or empty: as the stream asks
};

}  // namespace

std::unique_ptr<OutputRow> ConsoleRow() { return std::make_unique<Row>(); }

}  // namespace korv_host
