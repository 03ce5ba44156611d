#pragma once
/// One row of korv-host's table of outputs: an output's options on the
/// command line, and how to make it from them. Each output's folder has its
/// row (`<name>_row.h`); gateway/main.cpp lists the rows.

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway/core/site_state.h"
#include "gateway/outputs/output.h"

namespace CLI {
class App;
}

namespace korv_host {

/// What a row may use to make its output.
struct OutputContext {
  const Json::Value& site;    ///< the site file, or the built-in site
  int out_fd;                 ///< where the runner's lines go (standard output)
  const std::string& db;      ///< the database file
  const std::string& plugin;  ///< the plug-in, which describes the units' children
};

/// What the rows made: the push outputs for the runner, and what runs beside
/// the runner (a pull output's server).
struct MadeOutputs {
  std::vector<std::shared_ptr<Output>> outputs;  ///< told each event, in this order
  std::vector<std::function<void()>> start;      ///< once the runner is set up
  std::vector<std::function<void()>> stop;       ///< once the runner stopped
  /// The console, which also tells what korv-host itself meets while
  /// running (a database that refuses rows), and the lines it dropped
  /// because no one read them.
  std::shared_ptr<Output> console;
  std::function<std::uint64_t()> lines_dropped;
  /// The site's state that the pull outputs read, korv-host's own health
  /// beside it: made by the first row that asks (StateOf), then shared.
  std::shared_ptr<SiteState> state;
  SiteState& StateOf(const Json::Value& site);
};

class OutputRow {
 public:
  virtual ~OutputRow();
  /// Adds the output's options; their values stay in the row.
  virtual void AddOptions(CLI::App& app) = 0;
  /// Whether its options ask for it.
  virtual bool Wanted() const = 0;
  /// Whether it serves the site to others (a gateway runs the built-in site
  /// until stopped then).
  virtual bool ServesSite() const { return false; }
  /// Before the runner starts. False with a one-line `error` (korv-host
  /// stops with status 2): a bad option, an address it cannot bind.
  virtual bool Make(const OutputContext& context, MadeOutputs& made, std::string& error) = 0;
  /// Whether its options ask korv-host to tell something and exit instead
  /// of running (--modbus-map): then the exit status, after the telling.
  virtual std::optional<int> Tell(const OutputContext& /*context*/) { return std::nullopt; }
};

}  // namespace korv_host
