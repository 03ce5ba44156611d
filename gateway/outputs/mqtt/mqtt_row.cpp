#include "gateway/outputs/mqtt/mqtt_row.h"

#include <CLI/CLI.hpp>
#include <fstream>
#include <optional>
#include <set>
#include <utility>

#include "gateway/outputs/mqtt/mqtt_output.h"

namespace korv_host {
namespace {

// The site published to an MQTT broker (--mqtt).
class Row final : public OutputRow {
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
  bool Make(const OutputContext& context, MadeOutputs& made, std::string& error) override {
    MqttSettings settings;
    if (!SettingsOf(settings, error)) return false;
    settings.units = UnitsOf(context.site);
    auto output = std::make_shared<MqttOutput>(std::move(settings));
    if (!output->Start(error)) return false;
    made.outputs.push_back(output);
    return true;
  }

 private:
  // The data ids of the site's units; none when one has no id to read (the
  // site is refused later): then no retained topic is taken for a unit gone.
  static std::optional<std::set<unsigned>> UnitsOf(const Json::Value& site) {
    const Json::Value& units = site["units"];
    if (!units.isArray()) return std::nullopt;
    std::set<unsigned> ids;
    for (const auto& unit : units) {
      if (!unit.isObject() || !unit["data_id"].isUInt()) return std::nullopt;
      ids.insert(unit["data_id"].asUInt());
    }
    return ids;
  }

  // The credentials from their file, else from the environment (never from
  // the command line, never told).
  bool SettingsOf(MqttSettings& settings, std::string& error) const {
    // Taken first, so that the password is wiped whatever is refused below.
    MqttSettings environment;
    TakeMqttEnvironment(environment);
    if (!ParseMqttUrl(url_, settings, error)) return false;
    if (!credentials_.empty()) {
      if (!ReadMqttCredentials(credentials_, settings, error)) return false;
    } else {
      settings.username = environment.username;
      settings.password = environment.password;
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
    settings.prefix = prefix_.empty() ? DefaultMqttPrefix() : prefix_;
    while (!settings.prefix.empty() && settings.prefix.back() == '/') settings.prefix.pop_back();
    if (!CheckMqttPrefix(settings.prefix, error)) return false;
    settings.client_id = MqttClientId(settings.prefix);
    settings.discovery = discovery_;
    return true;
  }

  std::string url_, credentials_, ca_, prefix_;
  bool discovery_ = false;
};

}  // namespace

std::unique_ptr<OutputRow> MqttRow() { return std::make_unique<Row>(); }

}  // namespace korv_host
