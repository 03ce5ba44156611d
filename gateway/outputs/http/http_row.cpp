#include "gateway/outputs/http/http_row.h"

#include <syslog.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "gateway/core/journal.h"
#include "gateway/core/site_state.h"
#include "gateway/outputs/http/http_server.h"

namespace korv_host {
namespace {

// The site's state served over HTTP (--http): a pull output, reading the
// SiteState that the runner tells.
class Row final : public OutputRow {
 public:
  void AddOptions(CLI::App& app) override {
    app.add_option("--http", address_,
                   "Serve the site's state over HTTP on [ADDR:]PORT (a bare port: the loopback "
                   "only; 0: any free port): /metrics (Prometheus), /api/v1/state (JSON), "
                   "/healthz and a status page at /");
    app.add_flag("--healthz-ignores-outputs", ignores_outputs_,
                 "/healthz answers 200 while an output is down (a broker or master agent "
                 "away), naming it; else 503");
  }
  bool Wanted() const override { return !address_.empty(); }
  bool ServesSite() const override { return true; }
  // Binds before anything starts, so a bad address or a port in use stops
  // korv-host at once.
  bool Make(const OutputContext& context, MadeOutputs& made, std::string& error) override {
    auto server = std::make_shared<HttpServer>(made.StateOf(context.site), !ignores_outputs_);
    HttpAddress address;
    if (!ParseHttpAddress(address_, address, error) || !server->Bind(address, error)) return false;
    server->ServeHistory(context.db);
    Say(LOG_NOTICE, "serving http://" +
                        (address.host.find(':') != std::string::npos ? "[" + address.host + "]"
                                                                     : address.host) +
                        ":" + std::to_string(server->port()) + "/");
    made.start.emplace_back([server] { server->Start(); });
    made.stop.emplace_back([server] { server->Stop(); });
    return true;
  }

 private:
  std::string address_;
  bool ignores_outputs_ = false;
};

}  // namespace

std::unique_ptr<OutputRow> HttpRow() { return std::make_unique<Row>(); }

}  // namespace korv_host
