// korv-host: runs the plug-in for real, without the closed host. With no
// site file it runs the built-in example site against the unit simulator for
// a few rounds.
//
// The outputs come from one table (kOutputs): each row names an output, adds
// its options and makes it from them. A new output is its folder and a row.

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

#include "gateway/core/runner.h"
#include "gateway/core/site_state.h"
#include "gateway/core/store.h"
#include "gateway/outputs/console/console_output.h"
#include "gateway/simulator/psma_simulator.h"
#include "tools/common/json_file.h"
#include "tools/common/stop_signals.h"
#ifdef PSMA_WITH_HTTP
#include "gateway/outputs/http/http_server.h"
#endif
#ifdef PSMA_WITH_MQTT
#include "gateway/outputs/mqtt/mqtt_output.h"
#endif

#ifndef PSMA_DEFAULT_PLUGIN
#define PSMA_DEFAULT_PLUGIN "libpsma.so"
#endif
#ifndef PSMA_DEFAULT_DB
#define PSMA_DEFAULT_DB "korv-host.db"
#endif

namespace {

// What an output row needs to make its output.
struct Context {
  const Json::Value& site;
  FILE* out;  // the runner's lines
};

// What an output row made: a push output for the runner, and what runs
// beside the runner (a pull output's server).
struct Made {
  std::vector<std::shared_ptr<korv_host::Output>> outputs;
  std::vector<std::function<void()>> start;  // once the runner is set up
  std::vector<std::function<void()>> stop;   // once the runner stopped
};

// One output of the table: its options, and how to make it from them.
class OutputRow {
 public:
  virtual ~OutputRow() = default;
  virtual void AddOptions(CLI::App& app) = 0;
  // Its options ask for it; a gateway output (one that serves the site)
  // makes the built-in site run until stopped.
  virtual bool Wanted() const = 0;
  virtual bool ServesSite() const { return false; }
  // Before the runner starts: false with a one-line `error` stops korv-host.
  virtual bool Make(const Context& context, Made& made, std::string& error) = 0;
};

// The runner's lines on standard output.
class ConsoleRow final : public OutputRow {
 public:
  void AddOptions(CLI::App& app) override {
    app.add_flag("--json", json_, "One JSON object per line instead of readable lines");
  }
  bool Wanted() const override { return true; }
  bool Make(const Context& context, Made& made, std::string&) override {
    FILE* out = context.out;
    made.outputs.push_back(
        std::make_shared<korv_host::ConsoleOutput>(json_, [out](const std::string& line) {
          std::fputs(line.c_str(), out);
          std::fputc('\n', out);
          std::fflush(out);
        }));
    return true;
  }

 private:
  bool json_ = false;
};

#ifdef PSMA_WITH_MQTT
// The site published to an MQTT broker.
class MqttRow final : public OutputRow {
 public:
  void AddOptions(CLI::App& app) override {
    app.add_option("--mqtt", url_,
                   "Publish the site to an MQTT broker: mqtt://host[:port] (1883) or "
                   "mqtts://host[:port] (8883, with --mqtt-ca)");
    app.add_option("--mqtt-credentials", credentials_,
                   "File with the broker's user name (first line) and password (second line); "
                   "else KORV_MQTT_USERNAME and KORV_MQTT_PASSWORD from the environment");
    app.add_option("--mqtt-ca", ca_, "CA certificates (PEM) that check an mqtts:// broker");
    app.add_option("--mqtt-prefix", prefix_, "Where the site's topics start (psma/<host name>)");
    app.add_flag("--mqtt-discovery", discovery_,
                 "Home Assistant discovery messages under homeassistant/");
  }
  bool Wanted() const override { return !url_.empty(); }
  bool ServesSite() const override { return true; }
  bool Make(const Context&, Made& made, std::string& error) override {
    korv_host::MqttSettings settings;
    if (!SettingsOf(settings, error)) return false;
    auto output = std::make_shared<korv_host::MqttOutput>(std::move(settings));
    if (!output->Start(error)) return false;
    made.outputs.push_back(output);
    return true;
  }

 private:
  // The credentials from their file, else from the environment (never from
  // the command line, never told).
  bool SettingsOf(korv_host::MqttSettings& settings, std::string& error) const {
    if (!korv_host::ParseMqttUrl(url_, settings, error)) return false;
    if (!credentials_.empty()) {
      if (!korv_host::ReadMqttCredentials(credentials_, settings, error)) return false;
    } else if (const char* user = std::getenv("KORV_MQTT_USERNAME"); user != nullptr) {
      settings.username = user;
      const char* password = std::getenv("KORV_MQTT_PASSWORD");
      settings.password = password != nullptr ? password : "";
    }
    if (!ca_.empty() && !std::ifstream(ca_)) {
      error = "cannot read the MQTT CA file " + ca_;
      return false;
    }
    if (settings.tls && ca_.empty()) {
      error = "--mqtt " + url_ + ": mqtts:// needs --mqtt-ca FILE";
      return false;
    }
    settings.ca_file = ca_;
    settings.prefix = prefix_.empty() ? korv_host::DefaultMqttPrefix() : prefix_;
    while (!settings.prefix.empty() && settings.prefix.back() == '/') settings.prefix.pop_back();
    if (settings.prefix.empty() || settings.prefix.find_first_of("+#") != std::string::npos) {
      error = "--mqtt-prefix " + prefix_ + ": not a topic prefix";
      return false;
    }
    settings.client_id = korv_host::MqttClientId(settings.prefix);
    settings.discovery = discovery_;
    return true;
  }

  std::string url_, credentials_, ca_, prefix_;
  bool discovery_ = false;
};
#endif

#ifdef PSMA_WITH_HTTP
// The site's state served over HTTP: a pull output, reading a SiteState.
class HttpRow final : public OutputRow {
 public:
  void AddOptions(CLI::App& app) override {
    app.add_option("--http", address_,
                   "Serve the site's state over HTTP on [ADDR:]PORT (a bare port: the loopback "
                   "only; 0: any free port): /metrics (Prometheus), /api/v1/state (JSON), "
                   "/healthz and a status page at /");
  }
  bool Wanted() const override { return !address_.empty(); }
  bool ServesSite() const override { return true; }
  // Binds before anything starts, so a bad address or a port in use stops
  // korv-host at once.
  bool Make(const Context& context, Made& made, std::string& error) override {
    std::vector<unsigned> units;
    for (const auto& unit : context.site["units"]) {
      if (unit.isObject() && unit["data_id"].isUInt()) units.push_back(unit["data_id"].asUInt());
    }
    auto state = std::make_shared<korv_host::SiteState>(units);
    auto server = std::make_shared<korv_host::HttpServer>(*state);
    korv_host::HttpAddress address;
    if (!korv_host::ParseHttpAddress(address_, address, error) || !server->Bind(address, error)) {
      return false;
    }
    std::cerr << "korv-host: serving http://"
              << (address.host.find(':') != std::string::npos ? "[" + address.host + "]"
                                                              : address.host)
              << ":" << server->port() << "/\n";
    made.outputs.push_back(state);
    made.start.emplace_back([server] { server->Start(); });
    made.stop.emplace_back([server] { server->Stop(); });
    return true;
  }

 private:
  std::string address_;
};
#endif

// The outputs korv-host can make, in the order they are told each event.
struct OutputKind {
  const char* name;
  std::unique_ptr<OutputRow> (*make)();
};
template <typename Row>
std::unique_ptr<OutputRow> RowOf() {
  return std::make_unique<Row>();
}
const OutputKind kOutputs[] = {
    {"console", RowOf<ConsoleRow>},
#ifdef PSMA_WITH_MQTT
    {"mqtt", RowOf<MqttRow>},
#endif
#ifdef PSMA_WITH_HTTP
    {"http", RowOf<HttpRow>},
#endif
};

// The runner's own options, as given.
struct RunnerFlags {
  std::string config, plugin = PSMA_DEFAULT_PLUGIN, db = PSMA_DEFAULT_DB;
  int rounds = -1, retain_days = 0;
  bool simulate = false, trace = false;
};

void AddRunnerOptions(CLI::App& app, RunnerFlags& f) {
  app.add_option("--config", f.config, "Site file (JSON): {\"units\": [unit settings, ...]}");
  app.add_option("--plugin", f.plugin, "Plug-in to load")->capture_default_str();
  app.add_option("--db", f.db, "Database file (SQLite) for history, alarms and the cache")
      ->capture_default_str();
  app.add_option("--rounds", f.rounds,
                 "Stop after N completed rounds of every unit (0: run until stopped; default 3 "
                 "with the built-in site and neither --mqtt nor --http, else 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--retain-days", f.retain_days,
                 "Delete history rows older than N days (at start, then hourly, in the "
                 "background; a child's newest row stays); 0 keeps all")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--simulate", f.simulate,
               "Simulate every unit that has no \"port\": psma-sim's server on a new "
               "pseudo-terminal, inside this process (the unit's \"scenario\" file, or the "
               "built-in scenario)");
  app.add_flag("--trace", f.trace, "Show the plug-in's trace lines (on standard error)");
}

// The runner's configuration from its options: the site file, or the
// built-in site simulated (a gateway runs until stopped; a look at the
// example, a few rounds).
bool RunnerOptionsOf(const RunnerFlags& f, bool serves_site, korv_host::Options& options,
                     std::string& error) {
  int rounds = f.rounds;
  options.simulate = f.simulate;
  if (f.config.empty()) {
    options.site = korv_host::BuiltInSite();
    options.site_name = "built-in site";
    options.simulate = true;
    if (rounds < 0) rounds = serves_site ? 0 : 3;
  } else if (!korv_tools::ReadJsonFile(f.config, options.site, error,
                                       "the site file " + f.config)) {
    return false;
  } else {
    options.site_name = f.config;
  }
  options.plugin = f.plugin;
  options.db = f.db;
  options.rounds = rounds < 0 ? 0 : rounds;
  options.simulator = korv_host::PsmaSimulator();
  options.retain_days = f.retain_days;
  return true;
}

// Standard output carries the runner's lines only: the plug-in's trace
// lines go to standard error with --trace, else nowhere. Returns where the
// runner's lines go.
FILE* SeparateTrace(bool trace) {
  const int out_fd = ::dup(STDOUT_FILENO);
  FILE* out = out_fd >= 0 ? ::fdopen(out_fd, "w") : stdout;
  std::fflush(stdout);
  const int trace_fd = trace ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY);
  if (trace_fd >= 0) {
    ::dup2(trace_fd, STDOUT_FILENO);
    ::close(trace_fd);
  }
  return out;
}

// Runs until the rounds asked for are done or a stop signal came.
int Run(korv_host::Options options, const Made& made) {
  korv_tools::BlockStopSignals();
  korv_host::Runner runner(std::move(options));
  std::string error;
  if (!runner.Setup(error)) {
    runner.Stop();
    std::cerr << "korv-host: " << error << "\n";
    return 2;
  }
  std::thread([&runner] {
    korv_tools::WaitForStopSignal();
    runner.RequestStop();
  }).detach();
  for (const auto& start : made.start) start();
  runner.Start();
  runner.Wait();
  runner.Stop();
  for (const auto& stop : made.stop) stop();
  const std::string db_error = runner.store().LastError();
  if (!db_error.empty()) std::cerr << "korv-host: database: " << db_error << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) try {
  CLI::App app{
      "korv-host: the host runner. Loads the plug-in, creates every unit of the site file,\n"
      "restores its children from the database, polls each unit on its serial port and shows\n"
      "the values of every completed round, alarm raises and clears, protocol log lines and\n"
      "the link state. With no --config it runs the built-in example site against the unit\n"
      "simulator (--simulate) for 3 rounds (until stopped with --mqtt or --http).",
      "korv-host"};
  RunnerFlags flags;
  AddRunnerOptions(app, flags);
  std::vector<std::unique_ptr<OutputRow>> rows;
  for (const auto& kind : kOutputs) {
    rows.push_back(kind.make());
    rows.back()->AddOptions(app);
  }
  CLI11_PARSE(app, argc, argv);

  bool serves_site = false;
  for (const auto& row : rows) serves_site = serves_site || (row->Wanted() && row->ServesSite());
  korv_host::Options options;
  std::string error;
  if (!RunnerOptionsOf(flags, serves_site, options, error)) {
    std::cerr << "korv-host: " << error << "\n";
    return 2;
  }
  const Context context{options.site, SeparateTrace(flags.trace)};
  Made made;
  for (const auto& row : rows) {
    if (row->Wanted() && !row->Make(context, made, error)) {
      std::cerr << "korv-host: " << error << "\n";
      return 2;
    }
  }
  options.outputs = made.outputs;
  return Run(std::move(options), made);
} catch (const std::exception& e) {
  // Nothing below main may end the program with an uncaught exception.
  std::fprintf(stderr, "%s: %s\n", "korv-host", e.what());
  return 1;
} catch (...) {
  std::fprintf(stderr, "%s: unknown failure\n", "korv-host");
  return 1;
}
