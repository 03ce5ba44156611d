// korv-host: runs the plug-in for real, without the closed host. With no
// site file it runs the built-in example site against the unit simulator for
// a few rounds.

#include <fcntl.h>
#include <json/reader.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "gateway/core/runner.h"
#include "gateway/core/site_state.h"
#include "gateway/core/store.h"
#include "gateway/outputs/http/http_server.h"
#include "gateway/outputs/lines/line_output.h"
#include "gateway/outputs/mqtt/mqtt_output.h"
#ifdef PSMA_WITH_SNMP
#include "gateway/outputs/snmp/snmp_output.h"
#endif
#include "tools/common/stop_signals.h"

#ifndef PSMA_DEFAULT_PLUGIN
#define PSMA_DEFAULT_PLUGIN "libpsma.so"
#endif
#ifndef PSMA_DEFAULT_DB
#define PSMA_DEFAULT_DB "korv-host.db"
#endif

namespace {

bool ReadSite(const std::string& path, Json::Value& site, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the site file " + path;
    return false;
  }
  Json::CharReaderBuilder builder;
  std::string errors;
  if (!Json::parseFromStream(builder, in, &site, &errors)) {
    for (char& c : errors) c = c == '\n' ? ' ' : c;
    while (!errors.empty() && errors.back() == ' ') errors.pop_back();
    error = path + ": not JSON: " + errors;
    return false;
  }
  return true;
}

// The MQTT settings from the options; the credentials from their file, else
// from the environment (never from the command line, never told).
bool MqttSettingsOf(const std::string& url, const std::string& credentials, const std::string& ca,
                    const std::string& prefix, bool discovery, korv_host::MqttSettings& settings,
                    std::string& error) {
  if (!korv_host::ParseMqttUrl(url, settings, error)) return false;
  if (!credentials.empty()) {
    if (!korv_host::ReadMqttCredentials(credentials, settings, error)) return false;
  } else if (const char* user = std::getenv("KORV_MQTT_USERNAME"); user != nullptr) {
    settings.username = user;
    const char* password = std::getenv("KORV_MQTT_PASSWORD");
    settings.password = password != nullptr ? password : "";
  }
  if (!ca.empty() && !std::ifstream(ca)) {
    error = "cannot read the MQTT CA file " + ca;
    return false;
  }
  if (settings.tls && ca.empty()) {
    error = "--mqtt " + url + ": mqtts:// needs --mqtt-ca FILE";
    return false;
  }
  settings.ca_file = ca;
  settings.prefix = prefix.empty() ? korv_host::DefaultMqttPrefix() : prefix;
  while (!settings.prefix.empty() && settings.prefix.back() == '/') settings.prefix.pop_back();
  if (settings.prefix.empty() || settings.prefix.find_first_of("+#") != std::string::npos) {
    error = "--mqtt-prefix " + prefix + ": not a topic prefix";
    return false;
  }
  settings.client_id = korv_host::MqttClientId(settings.prefix);
  settings.discovery = discovery;
  return true;
}

}  // namespace

int main(int argc, char** argv) try {
  CLI::App app{
      "korv-host: the host runner. Loads the plug-in, creates every unit of the site file,\n"
      "restores its children from the database, polls each unit on its serial port and shows\n"
      "the values of every completed round, alarm raises and clears, protocol log lines and\n"
      "the link state. With no --config it runs the built-in example site against the unit\n"
      "simulator (--simulate) for 3 rounds (until stopped with --mqtt, --http or --snmp-agentx).",
      "korv-host"};
  std::string config, plugin = PSMA_DEFAULT_PLUGIN, db = PSMA_DEFAULT_DB, http;
  int rounds = -1, retain_days = 0;
  bool json = false, simulate = false, trace = false;
  std::string mqtt, mqtt_credentials, mqtt_ca, mqtt_prefix;
  bool mqtt_discovery = false;
  app.add_option("--config", config, "Site file (JSON): {\"units\": [unit settings, ...]}");
  app.add_option("--plugin", plugin, "Plug-in to load")->capture_default_str();
  app.add_option("--db", db, "Database file (SQLite) for history, alarms and the cache")
      ->capture_default_str();
  app.add_option("--rounds", rounds,
                 "Stop after N completed rounds of every unit (0: run until stopped; default 3 "
                 "with the built-in site and none of --mqtt, --http and --snmp-agentx, else 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--retain-days", retain_days,
                 "Delete history rows older than N days (at start, then hourly, in the "
                 "background; a child's newest row stays); 0 keeps all")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--json", json, "One JSON object per line instead of readable lines");
  app.add_flag("--simulate", simulate,
               "Simulate every unit that has no \"port\": psma-sim's server on a new "
               "pseudo-terminal, inside this process (the unit's \"scenario\" file, or the "
               "built-in scenario)");
  app.add_option("--http", http,
                 "Serve the site's state over HTTP on [ADDR:]PORT (a bare port: the loopback "
                 "only; 0: any free port): /metrics (Prometheus), /api/v1/state (JSON), /healthz "
                 "and a status page at /");
  app.add_flag("--trace", trace, "Show the plug-in's trace lines (on standard error)");
  app.add_option("--mqtt", mqtt,
                 "Publish the site to an MQTT broker: mqtt://host[:port] (1883) or "
                 "mqtts://host[:port] (8883, with --mqtt-ca)");
  app.add_option("--mqtt-credentials", mqtt_credentials,
                 "File with the broker's user name (first line) and password (second line); "
                 "else KORV_MQTT_USERNAME and KORV_MQTT_PASSWORD from the environment");
  app.add_option("--mqtt-ca", mqtt_ca, "CA certificates (PEM) that check an mqtts:// broker");
  app.add_option("--mqtt-prefix", mqtt_prefix, "Where the site's topics start (psma/<host name>)");
  app.add_flag("--mqtt-discovery", mqtt_discovery,
               "Home Assistant discovery messages under homeassistant/");
#ifdef PSMA_WITH_SNMP
  std::string snmp_socket;
  const CLI::Option* snmp_option =
      app.add_option("--snmp-agentx", snmp_socket,
                     "Serve KORV-PSMA-MIB as an AgentX subagent of the local master agent and "
                     "send its notifications through it: at SOCKET (a path, or tcp:HOST:PORT), "
                     "else net-snmp's default /var/agentx/master")
          ->expected(0, 1);
#endif
  CLI11_PARSE(app, argc, argv);
  bool snmp = false;
#ifdef PSMA_WITH_SNMP
  snmp = snmp_option->count() > 0;
#endif

  korv_host::Options options;
  std::string error;
  std::shared_ptr<korv_host::MqttOutput> mqtt_output;
  if (!mqtt.empty()) {
    korv_host::MqttSettings settings;
    if (!MqttSettingsOf(mqtt, mqtt_credentials, mqtt_ca, mqtt_prefix, mqtt_discovery, settings,
                        error)) {
      std::cerr << "korv-host: " << error << "\n";
      return 2;
    }
    mqtt_output = std::make_shared<korv_host::MqttOutput>(std::move(settings));
    if (!mqtt_output->Start(error)) {
      std::cerr << "korv-host: " << error << "\n";
      return 2;
    }
  }
  if (config.empty()) {
    options.site = korv_host::BuiltInSite();
    options.site_name = "built-in site";
    simulate = true;
    // A gateway runs until stopped; a look at the example, a few rounds.
    if (rounds < 0) rounds = mqtt.empty() && http.empty() && !snmp ? 3 : 0;
  } else if (!ReadSite(config, options.site, error)) {
    std::cerr << "korv-host: " << error << "\n";
    return 2;
  } else {
    options.site_name = config;
  }
  // The HTTP side binds before anything starts, so a bad address or a
  // port in use stops korv-host at once.
  std::shared_ptr<korv_host::SiteState> site_state;
  if (!http.empty() || snmp) {
    std::vector<unsigned> units;
    for (const auto& unit : options.site["units"]) {
      if (unit.isObject() && unit["data_id"].isUInt()) units.push_back(unit["data_id"].asUInt());
    }
    site_state = std::make_shared<korv_host::SiteState>(units);
  }
  std::unique_ptr<korv_host::HttpServer> http_server;
  if (!http.empty()) {
    korv_host::HttpAddress address;
    http_server = std::make_unique<korv_host::HttpServer>(*site_state);
    if (!korv_host::ParseHttpAddress(http, address, error) || !http_server->Bind(address, error)) {
      std::cerr << "korv-host: " << error << "\n";
      return 2;
    }
    std::cerr << "korv-host: serving http://"
              << (address.host.find(':') != std::string::npos ? "[" + address.host + "]"
                                                              : address.host)
              << ":" << http_server->port() << "/\n";
  }
  options.plugin = plugin;
  options.db = db;
  options.rounds = rounds < 0 ? 0 : rounds;
  options.simulate = simulate;
  options.retain_days = retain_days;

  // Standard output carries the runner's lines only: the plug-in's trace
  // lines go to standard error with --trace, else nowhere.
  const int out_fd = ::dup(STDOUT_FILENO);
  FILE* out = out_fd >= 0 ? ::fdopen(out_fd, "w") : stdout;
  std::fflush(stdout);
  const int trace_fd = trace ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY);
  if (trace_fd >= 0) {
    ::dup2(trace_fd, STDOUT_FILENO);
    ::close(trace_fd);
  }
  options.outputs.push_back(
      std::make_shared<korv_host::LineOutput>(json, [out](const std::string& line) {
        std::fputs(line.c_str(), out);
        std::fputc('\n', out);
        std::fflush(out);
      }));
  if (mqtt_output) options.outputs.push_back(mqtt_output);
  if (site_state) options.outputs.push_back(site_state);
#ifdef PSMA_WITH_SNMP
  std::shared_ptr<korv_host::SnmpOutput> snmp_output;
  if (snmp) {
    korv_host::SnmpSettings settings;
    settings.socket = snmp_socket;
    snmp_output = std::make_shared<korv_host::SnmpOutput>(site_state, std::move(settings));
    if (!snmp_output->Start(error)) {
      std::cerr << "korv-host: " << error << "\n";
      return 2;
    }
    options.outputs.push_back(snmp_output);
  }
#endif

  korv_tools::BlockStopSignals();

  korv_host::Runner runner(options);
  if (!runner.Setup(error)) {
    runner.Stop();
    std::cerr << "korv-host: " << error << "\n";
    return 2;
  }
  std::thread([&runner] {
    korv_tools::WaitForStopSignal();
    runner.RequestStop();
  }).detach();
  if (http_server) http_server->Start();
  runner.Start();
  runner.Wait();
  runner.Stop();
  if (http_server) http_server->Stop();
#ifdef PSMA_WITH_SNMP
  if (snmp_output) snmp_output->Stop();
#endif
  const std::string db_error = runner.store().LastError();
  if (!db_error.empty()) std::cerr << "korv-host: database: " << db_error << "\n";
  return 0;
} catch (const std::exception& e) {
  // Nothing below main may end the program with an uncaught exception.
  std::fprintf(stderr, "%s: %s\n", "korv-host", e.what());
  return 1;
} catch (...) {
  std::fprintf(stderr, "%s: unknown failure\n", "korv-host");
  return 1;
}
