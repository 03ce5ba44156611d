#include "gateway/outputs/modbus/modbus_row.h"

#include <fmt/format.h>
#include <syslog.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <utility>

#include "gateway/core/journal.h"
#include "gateway/outputs/modbus/modbus_server.h"
#include "host/host_port.h"

namespace korv_host {
namespace {

// The server's output: its health beside the site's (/metrics).
class Health final : public Output {
 public:
  explicit Health(std::shared_ptr<modbus::Server> server) : server_(std::move(server)) {}
  std::vector<HealthNumber> Metrics() const override { return server_->Metrics(); }

 private:
  std::shared_ptr<modbus::Server> server_;
};

// The site's units, described by their plug-in, under the register map;
// false with a one-line `error`.
bool MapOf(const OutputContext& context, modbus::Map& map, std::string& error) {
  Options options;
  options.site = context.site;
  options.site_name = "the site";
  options.plugin = context.plugin;
  // Nothing is opened: a unit without a port is described as one with.
  options.simulate = true;
  Runner runner(std::move(options));
  std::vector<Runner::UnitShape> units;
  if (!runner.Describe(units, error)) return false;
  map = modbus::BuildMap(units);
  return true;
}

// The site's registers served over Modbus TCP (--modbus-tcp): a pull
// output, reading the SiteState that the runner tells.
class Row final : public OutputRow {
 public:
  void AddOptions(CLI::App& app) override {
    app.add_option("--modbus-tcp", address_,
                   "Serve the site's values read-only over Modbus TCP on [ADDR:]PORT (a bare "
                   "port: the loopback only; 0: any free port), under the map of --modbus-map");
    app.add_option("--modbus-word-order", order_,
                   "How a 32-bit value lies in its two registers: abcd (the high word first) or "
                   "cdab")
        ->transform(CLI::IsMember({"abcd", "cdab"}, CLI::ignore_case))
        ->capture_default_str();
    app.add_flag("--modbus-map", print_map_,
                 "Print the Modbus register map of the site (--config's, else the built-in "
                 "site) as a table, and exit");
    // For tests: an idle client is closed sooner.
    app.add_option("--modbus-idle-seconds", idle_s_)->group("")->check(CLI::Range(1, 3600));
  }
  bool Wanted() const override { return !address_.empty(); }
  bool ServesSite() const override { return true; }

  std::optional<int> Tell(const OutputContext& context) override {
    if (!print_map_) return std::nullopt;
    modbus::Map map;
    std::string error;
    if (!MapOf(context, map, error)) {
      Say(LOG_ERR, "--modbus-map: " + error);
      return 2;
    }
    const std::string text = modbus::MapText(map, Order());
    for (std::size_t at = 0; at < text.size();) {
      const ssize_t n = ::write(context.out_fd, text.data() + at, text.size() - at);
      if (n <= 0) return 1;
      at += static_cast<std::size_t>(n);
    }
    return 0;
  }

  // Listens before anything starts, so a bad address or a port in use stops
  // korv-host at once.
  bool Make(const OutputContext& context, MadeOutputs& made, std::string& error) override {
    modbus::ServerSettings settings;
    if (!Parse(settings, error)) return false;
    modbus::Map map;
    if (!MapOf(context, map, error)) {
      error = "--modbus-tcp: " + error;
      return false;
    }
    for (const auto& line : map.left_out) Say(LOG_WARNING, "modbus: not served: " + line);
    settings.order = Order();
    settings.idle = std::chrono::seconds(idle_s_);
    made.StateOf(context.site);
    auto server = std::make_shared<modbus::Server>(made.state, std::move(map), settings);
    if (!server->Start(error)) {
      error = "--modbus-tcp " + address_ + ": " + error;
      return false;
    }
    const bool v6 = settings.address.find(':') != std::string::npos;
    Say(LOG_NOTICE, fmt::format("serving modbus tcp on {}{}{}:{}", v6 ? "[" : "", settings.address,
                                v6 ? "]" : "", server->Port()));
    made.outputs.push_back(std::make_shared<Health>(server));
    made.stop.emplace_back([server] { server->Stop(); });
    return true;
  }

 private:
  // "PORT" (the loopback), "HOST:PORT" or "[IPV6]:PORT".
  bool Parse(modbus::ServerSettings& settings, std::string& error) const {
    const bool bare = address_.find_first_of(":[") == std::string::npos;
    korv::HostPort split;
    if (korv::SplitHostPort(bare ? ":" + address_ : address_, split) !=
            korv::HostPortFault::kNone ||
        !split.has_port || (!bare && split.host.empty())) {
      error =
          "--modbus-tcp " + address_ + ": expected PORT, HOST:PORT or [IPV6]:PORT (PORT 0..65535)";
      return false;
    }
    settings.address = bare ? "127.0.0.1" : split.host;
    settings.port = std::to_string(split.port);
    return true;
  }

  modbus::WordOrder Order() const {
    return order_ == "cdab" ? modbus::WordOrder::kCdab : modbus::WordOrder::kAbcd;
  }

  std::string address_;
  std::string order_ = "abcd";
  bool print_map_ = false;
  int idle_s_ = 60;
};

}  // namespace

std::unique_ptr<OutputRow> ModbusRow() { return std::make_unique<Row>(); }

}  // namespace korv_host
