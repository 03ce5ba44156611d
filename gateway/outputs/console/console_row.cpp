#include "gateway/outputs/console/console_row.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "gateway/outputs/console/console_output.h"

namespace korv_host {
namespace {

// The runner's lines on standard output: always made.
class Row final : public OutputRow {
 public:
  void AddOptions(CLI::App& app) override {
    app.add_flag("--json", json_, "One JSON object per line instead of readable lines");
  }
  bool Wanted() const override { return true; }
  bool Make(const OutputContext& context, MadeOutputs& made, std::string&) override {
    FILE* out = context.out;
    made.outputs.push_back(std::make_shared<ConsoleOutput>(json_, [out](const std::string& line) {
      std::fputs(line.c_str(), out);
      std::fputc('\n', out);
      std::fflush(out);
    }));
    return true;
  }

 private:
  bool json_ = false;
};

}  // namespace

std::unique_ptr<OutputRow> ConsoleRow() { return std::make_unique<Row>(); }

}  // namespace korv_host
