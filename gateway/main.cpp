// korv-host: runs the plug-in for real, without the closed host. With no
// site file it runs the built-in example site against the unit simulator for
// a few rounds.
//
// The outputs come from one table (kOutputs): each row names an output and
// its row (output_row.h: its options, how to make it from them). A new
// output is its folder and a row here.

#include <fcntl.h>
#include <fmt/format.h>
#include <syslog.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "gateway/core/journal.h"
#include "gateway/core/runner.h"
#include "gateway/core/service_notify.h"
#include "gateway/core/signal_thread.h"
#include "gateway/core/site_options.h"
#include "gateway/core/store.h"
#include "gateway/outputs/console/console_row.h"
#include "gateway/outputs/exec/exec_row.h"
#include "gateway/simulator/psma_simulator.h"
#include "tools/common/json_file.h"
#include "tools/common/stop_signals.h"
#ifdef PSMA_WITH_HTTP
#include "gateway/outputs/http/http_row.h"
#endif
#ifdef PSMA_WITH_MODBUS
#include "gateway/outputs/modbus/modbus_row.h"
#endif
#ifdef PSMA_WITH_MQTT
#include "gateway/outputs/mqtt/mqtt_row.h"
#endif
#ifdef PSMA_WITH_SNMP
#include "gateway/outputs/snmp/snmp_row.h"
#endif

#ifndef PSMA_DEFAULT_PLUGIN
#define PSMA_DEFAULT_PLUGIN "libpsma.so"
#endif
#ifndef PSMA_DEFAULT_SITE
#define PSMA_DEFAULT_SITE "simulated-site.json"
#endif
#ifndef PSMA_DEFAULT_DB
#define PSMA_DEFAULT_DB "korv-host.db"
#endif

namespace {

// The outputs korv-host can make, in the order they are told each event.
struct OutputKind {
  const char* name;
  std::unique_ptr<korv_host::OutputRow> (*row)();
};
const OutputKind kOutputs[] = {
    {"console", korv_host::ConsoleRow},
    {"exec", korv_host::ExecRow},  // --notify-exec: needs no library of its own
#ifdef PSMA_WITH_MQTT
    {"mqtt", korv_host::MqttRow},
#endif
#ifdef PSMA_WITH_HTTP
    {"http", korv_host::HttpRow},
#endif
#ifdef PSMA_WITH_SNMP
    {"snmp", korv_host::SnmpRow},
#endif
#ifdef PSMA_WITH_MODBUS
    {"modbus", korv_host::ModbusRow},
#endif
};

// The runner's own options, as given.
struct RunnerFlags {
  std::string config, plugin = PSMA_DEFAULT_PLUGIN, db = PSMA_DEFAULT_DB;
  int rounds = -1, retain_days = 0;
  bool retain_given = false;  // --retain-days, over the site's
  bool simulate = false, trace = false;
  std::string check;  // --check's FILE
};

void AddRunnerOptions(CLI::App& app, RunnerFlags& f) {
  app.add_option("--config", f.config, "Site file (JSON): {\"units\": [unit settings, ...]}");
  app.add_option("--plugin", f.plugin, "Plug-in to load")->capture_default_str();
  app.add_option("--db", f.db, "Database file (SQLite) for history, alarms and the cache")
      ->capture_default_str();
  app.add_option("--rounds", f.rounds,
                 "Stop after N completed rounds of every unit (0: run until stopped; default 3 "
                 "with the built-in site and none of --mqtt, --http, --snmp-agentx and "
                 "--modbus-tcp, else 0)")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()));
  app.add_option("--retain-days", f.retain_days,
                 "Delete history rows older than N days (at start, then hourly, in the "
                 "background; a child's newest row stays), over the site's \"store\": "
                 "\"retain_days\" (default 90); 0 keeps all, at most 36500");
  app.add_flag("--simulate", f.simulate,
               "Simulate every unit that has no \"port\": psma-sim's server on a new "
               "pseudo-terminal, inside this process (the unit's \"scenario\" file, or the "
               "built-in scenario)");
  app.add_flag("--trace", f.trace, "Show the plug-in's trace lines (on standard error)");
  app.add_option("--check", f.check,
                 "Check the site file FILE (else --config's, else the built-in site) as at "
                 "start, without opening a port; exit 0 when it passes, else 2")
      ->expected(0, 1)
      ->type_name("[FILE]");
}

// korv-host's options: the runner's and every output's.
struct CommandLine {
  CLI::App app{
      "korv-host: the host runner. Loads the plug-in, creates every unit of the site file,\n"
      "restores its children from the database, polls each unit on its serial port and shows\n"
      "the values of every completed round, alarm raises and clears, protocol log lines and\n"
      "the link state. With no --config it runs the built-in example site against the unit\n"
      "simulator (--simulate) for 3 rounds (until stopped with --mqtt, --http, --snmp-agentx or\n"
      "--modbus-tcp).\n"
      "Every option but --config, --check and --modbus-map may also stand in the site file's\n"
      "\"options\" object, by its name without the dashes; the command line wins.",
      "korv-host"};
  RunnerFlags flags;
  std::vector<std::unique_ptr<korv_host::OutputRow>> rows;

  CommandLine() {
    app.set_version_flag("--version", "korv-host " KORV_VERSION);
    AddRunnerOptions(app, flags);
    for (const auto& kind : kOutputs) {
      rows.push_back(kind.row());
      rows.back()->AddOptions(app);
    }
  }
};

// The site file's "options" taken into `cli` (which parsed `given`, the
// command line, already): parsed again with them first, so the command
// line wins. False with a one-line `error`.
bool TakeSiteOptions(CommandLine& cli, const Json::Value& site, const std::string& site_name,
                     const std::vector<std::string>& given, std::string& error) {
  std::vector<std::string> args;
  if (!korv_host::SiteOptionArgs(site, site_name, cli.app, args, error)) return false;
  if (args.empty()) return true;
  args.insert(args.end(), given.begin(), given.end());
  std::reverse(args.begin(), args.end());  // as CLI11 takes them
  try {
    cli.app.parse(args);
  } catch (const CLI::ParseError& e) {
    error = fmt::format("{}: \"options\": {}", site_name, e.what());
    return false;
  }
  return true;
}

// The runner's configuration from its options: the site file, or the
// built-in site simulated (a gateway runs until stopped; a look at the
// example, a few rounds).
bool RunnerOptionsOf(const RunnerFlags& f, bool serves_site, korv_host::Options& options,
                     std::string& error) {
  if (f.retain_given && (f.retain_days < 0 || f.retain_days > korv_host::Store::kRetainDaysMax)) {
    error = fmt::format("--retain-days {}: expected 0..{} (days; 0 keeps all)", f.retain_days,
                        korv_host::Store::kRetainDaysMax);
    return false;
  }
  int rounds = f.rounds;
  options.simulate = f.simulate;
  if (f.config.empty()) {
    // The example site is data beside the program, as the devices read it.
    if (!korv_tools::ReadJsonFile(PSMA_DEFAULT_SITE, options.site, error,
                                  "the built-in site file " PSMA_DEFAULT_SITE)) {
      return false;
    }
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
  if (f.retain_given) options.retain_days = f.retain_days;
  return true;
}

// Standard output carries the runner's lines only: the plug-in's trace
// lines go to standard error with --trace, else nowhere. Returns where the
// runner's lines go.
int SeparateTrace(bool trace) {
  std::fflush(stdout);
  const int out_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int trace_fd = trace ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY);
  if (trace_fd >= 0) {
    ::dup2(trace_fd, STDOUT_FILENO);
    ::close(trace_fd);
  }
  // A trace line goes out when it is written, not a block of them a minute
  // later, into a pipe or the journal as onto a terminal.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return out_fd;
}

// --check [FILE]: the site file (FILE, else --config's, else the built-in
// site) passes as it would at start, without a port, database or output: 0,
// else its one line and 2.
int CheckSite(RunnerFlags flags) {
  if (!flags.check.empty()) flags.config = flags.check;
  korv_host::Options options;
  std::string error;
  if (!RunnerOptionsOf(flags, false, options, error)) {
    korv_host::Say(LOG_ERR, error);
    return 2;
  }
  // Its options too, alone, as a start would take them.
  CommandLine probe;
  if (!TakeSiteOptions(probe, options.site, options.site_name, {}, error)) {
    korv_host::Say(LOG_ERR, error);
    return 2;
  }
  korv_host::Runner runner(options);
  std::vector<std::string> warnings;
  if (!runner.Check(error, &warnings)) {
    korv_host::Say(LOG_ERR, error);
    return 2;
  }
  for (const auto& warning : warnings) korv_host::Say(LOG_WARNING, "warning: " + warning);
  std::cout << options.site_name << ": ok\n";
  return 0;
}

// SIGHUP: the site file again; one line either way. Its units and store
// settings are taken; its options wait for the next start (`options`: those
// of the start), which is said.
void ReloadSite(korv_host::Runner& runner, korv_host::ServiceNotifier& notifier,
                const std::string& config, const Json::Value& options) {
  notifier.Reloading();
  Json::Value site;
  std::string error;
  korv_host::Runner::ReloadCounts counts;
  if (config.empty()) {
    error = "the built-in site has no file to read again";
  } else if (korv_tools::ReadJsonFile(config, site, error, "the site file " + config) &&
             runner.Reload(site, config, counts, error)) {
    korv_host::Say(LOG_NOTICE, fmt::format("{}: reloaded: {} added, {} removed, {} restarted, "
                                           "{} unchanged",
                                           config, counts.added, counts.removed, counts.restarted,
                                           counts.unchanged));
    if (site["options"] != options) {
      korv_host::Say(LOG_WARNING, config +
                                      ": \"options\" changed: they take effect at the "
                                      "next start");
    }
  }
  if (!error.empty()) korv_host::Say(LOG_ERR, "reload refused, the running site stays: " + error);
  notifier.Reloaded();
}

// How the database keeps the history, once at start: what a controller's
// storage will hold.
void SayStore(const korv_host::Runner& runner, const std::string& db) {
  const korv_host::StoreSettings s = runner.StoreInUse();
  const auto every = s.history_every.count();
  korv_host::Say(
      LOG_INFO,
      fmt::format("database {}: a history row per child {}; {}; {}", db,
                  every == 0 ? std::string("every round")
                             : fmt::format("when its values move or an alarm changes, and "
                                           "every {} s",
                                           every),
                  s.retain_days == 0 ? std::string("kept for ever")
                                     : fmt::format("kept {} days", s.retain_days),
                  s.max_size_mb == 0 ? std::string("no size bound")
                                     : fmt::format("at most {} MB", s.max_size_mb)));
}

// What korv-host itself meets while running: a database that refuses rows is
// told at once among the lines; its health, the lines dropped and what each
// output tells of itself are beside the site's state.
void WatchHealth(korv_host::Runner& runner, const korv_host::MadeOutputs& made) {
  if (made.console) {
    runner.store().TellFaults([console = made.console](unsigned unit, const std::string& text) {
      console->OnFault(unit, korv_host::FaultEvent{yd1363::Fault::kNone, text});
    });
  }
  if (!made.state) return;
  // Weak: the state is one of the outputs, and would otherwise keep itself.
  std::vector<std::weak_ptr<korv_host::Output>> outputs(made.outputs.begin(), made.outputs.end());
  made.state->WatchHealth([&runner, dropped = made.lines_dropped,
                           outputs = std::move(outputs)](korv_host::SiteState::Health& health) {
    const korv_host::Store::Health store = runner.store().TakeHealth();
    health.store_errors = store.errors;
    health.store_waiting = store.waiting;
    health.store_lost = store.lost;
    health.store_error = store.error;
    if (dropped) health.lines_dropped = dropped();
    for (const auto& weak : outputs) {
      const auto output = weak.lock();
      if (!output) continue;
      for (auto& number : output->Metrics()) health.outputs.push_back(std::move(number));
      if (std::string outage = output->Outage(); !outage.empty()) {
        health.outages.push_back(std::move(outage));
      }
    }
  });
}

// Runs until the rounds asked for are done or a stop signal came; SIGHUP
// reads the site file `config` again (its "options" were `site_options` at
// start). systemd hears of it all through the notifier, the last output.
int Run(korv_host::Options options, const korv_host::MadeOutputs& made, const std::string& config,
        const Json::Value& site_options) {
  const std::string db = options.db;
  // The runner is made below; the notifier asks it only once it is ready.
  korv_host::Runner* running = nullptr;
  auto notifier = std::make_shared<korv_host::ServiceNotifier>(
      [&running](std::chrono::milliseconds grace) { return running->Progressing(grace); },
      [&running] { return running->UnitCount(); });
  options.outputs.push_back(notifier);
  korv_host::Runner runner(std::move(options));
  std::string error;
  if (!runner.Setup(error)) {
    runner.Stop();
    korv_host::Say(LOG_ERR, error);
    return 2;
  }
  running = &runner;
  SayStore(runner, db);
  WatchHealth(runner, made);
  {
    korv_host::SignalThread signals([&] { ReloadSite(runner, *notifier, config, site_options); },
                                    [&runner] { runner.RequestStop(); });
    for (const auto& start : made.start) start();
    runner.Start();
    notifier->Ready();
    runner.Wait();
    notifier->Stopping();
  }
  runner.Stop();
  for (const auto& stop : made.stop) stop();
  const std::string db_error = runner.store().LastError();
  const std::uint64_t lost = runner.store().Lost();
  if (lost > 0) {
    // Rows told but not kept: the run did not do its work.
    korv_host::Say(LOG_ERR, fmt::format("database: {} rows lost: {}", lost, db_error));
    return 1;
  }
  if (!db_error.empty()) korv_host::Say(LOG_ERR, "database: " + db_error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) try {
  CommandLine cli;
  try {
    cli.app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help is no error; every mistake on the command line exits 2, as a bad
    // site file does.
    return cli.app.exit(e) == 0 ? 0 : 2;
  }
  // Before any thread starts (an output's, the runner's): every thread
  // inherits the blocked stop signals, so only the waiting thread takes them.
  korv_tools::BlockStopSignals();
  RunnerFlags& flags = cli.flags;
  if (cli.app.get_option("--check")->count() > 0) {
    flags.retain_given = cli.app.get_option("--retain-days")->count() > 0;
    return CheckSite(flags);
  }
  std::string error;
  Json::Value site_options;
  if (!flags.config.empty()) {
    Json::Value site;
    if (!korv_tools::ReadJsonFile(flags.config, site, error, "the site file " + flags.config) ||
        !TakeSiteOptions(cli, site, flags.config, std::vector<std::string>(argv + 1, argv + argc),
                         error)) {
      korv_host::Say(LOG_ERR, error);
      return 2;
    }
    if (site.isObject()) site_options = site["options"];
  }
  flags.retain_given = cli.app.get_option("--retain-days")->count() > 0;

  bool serves_site = false;
  for (const auto& row : cli.rows) {
    serves_site = serves_site || (row->Wanted() && row->ServesSite());
  }
  korv_host::Options options;
  if (!RunnerOptionsOf(flags, serves_site, options, error)) {
    korv_host::Say(LOG_ERR, error);
    return 2;
  }
  const korv_host::OutputContext context{options.site, SeparateTrace(flags.trace), options.db,
                                         options.plugin};
  for (const auto& row : cli.rows) {
    if (const auto status = row->Tell(context)) return *status;
  }
  korv_host::MadeOutputs made;
  for (const auto& row : cli.rows) {
    if (row->Wanted() && !row->Make(context, made, error)) {
      korv_host::Say(LOG_ERR, error);
      return 2;
    }
  }
  options.outputs = made.outputs;
  return Run(std::move(options), made, flags.config, site_options);
} catch (const std::exception& e) {
  // Nothing below main may end the program with an uncaught exception.
  std::fprintf(stderr, "%s: %s\n", "korv-host", e.what());
  return 1;
} catch (...) {
  std::fprintf(stderr, "%s: unknown failure\n", "korv-host");
  return 1;
}
