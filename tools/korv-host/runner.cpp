#include "tools/korv-host/runner.h"

#include <dlfcn.h>
#include <fmt/format.h>
#include <json/writer.h>

#include <cmath>
#include <map>
#include <set>
#include <stdexcept>

#include "host/io_codes.h"
#include "host/polling_engine.h"
#include "tools/korv-host/store.h"
#include "tools/psma-sim/sim_server.h"

namespace korv_host {
namespace {

std::string Quote(const std::string& s) { return Json::valueToQuotedString(s.c_str()); }

// A float as JSON: the shortest text that reads back as the same float.
std::string Number(float v) {
  if (!std::isfinite(v)) return "null";
  return fmt::format("{}", v);
}

// One JSON object, keys in the order given.
class JsonLine {
 public:
  JsonLine& Str(const char* key, const std::string& v) { return Raw(key, Quote(v)); }
  JsonLine& Int(const char* key, std::int64_t v) { return Raw(key, std::to_string(v)); }
  JsonLine& Float(const char* key, float v) { return Raw(key, Number(v)); }
  JsonLine& Bool(const char* key, bool v) { return Raw(key, v ? "true" : "false"); }
  std::string Done() const { return "{" + body_ + "}"; }

 private:
  JsonLine& Raw(const char* key, const std::string& v) {
    if (!body_.empty()) body_ += ',';
    body_ += Quote(key) + ":" + v;
    return *this;
  }
  std::string body_;
};

// The value keys a child offers, by its type. AC channels are counted by
// asking until the channel index is refused.
std::vector<std::string> FixedKeys(const std::string& type) {
  if (type == "psma-ac") return {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"};
  if (type == "psma-dc") return {"v", "i"};
  return {};
}

}  // namespace

// ---- Units --------------------------------------------------------------------

struct Runner::Unit {
  unsigned id = 0;
  std::string type;
  std::string port;
  Json::Value settings;
  std::shared_ptr<KorvSPDevice> root;
  std::vector<std::shared_ptr<KorvVDevice>> children;
  std::unique_ptr<korv::PollingEngine> engine;
  bool published = false;  // a child published during the current exchange
  int rounds = 0;
};

// ---- What the host sees --------------------------------------------------------

class Observer : public korv::HostObserver {
 public:
  Observer(Runner& runner, bool json, std::function<void(const std::string&)> out)
      : runner_(runner), json_(json), out_(std::move(out)) {}

  void Say(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_) out_(line);
  }

  void Values(unsigned unit, KorvVDevice& child, const char* source) {
    const std::string type = child.DeviceType();
    std::vector<std::pair<std::string, float>> values;
    for (const auto& key : FixedKeys(type)) {
      try {
        values.emplace_back(key, child.Get_Value(0, key));
      } catch (const std::out_of_range&) {
      }
    }
    if (type == "psma-ac") {
      for (int ch = 0; ch < 256; ++ch) {
        const std::string base = "channel_" + std::to_string(ch) + "_";
        try {
          const float a = child.Get_Value(0, base + "a");
          values.emplace_back(base + "a", a);
          for (const char* k : {"b", "c", "f"})
            values.emplace_back(base + k, child.Get_Value(0, base + k));
        } catch (const std::out_of_range&) {
          break;  // past the last channel
        }
      }
    }
    for (const auto& [key, value] : values) {
      if (json_) {
        Say(JsonLine()
                .Str("event", "value")
                .Int("device", child.DataId())
                .Str("type", type)
                .Str("key", key)
                .Float("value", value)
                .Str("source", source)
                .Int("unit", unit)
                .Done());
      } else {
        Say(fmt::format("  {} {} {} = {:g}{}", type, child.DataId(), key, value,
                        std::string(source) == "cache" ? " (cache)" : ""));
      }
    }
    // Whether the round moved the screen's values beyond its thresholds.
    unsigned char changed = 0;
    int returned = 0;
    if (std::string(source) == "round" &&
        child.DeviceIoControl(psma::kIoValuesChanged, nullptr, 0, &changed, 1, returned) == 0 &&
        returned == 1) {
      if (json_) {
        Say(JsonLine()
                .Str("event", "change")
                .Int("device", child.DataId())
                .Str("type", type)
                .Bool("changed", changed != 0)
                .Int("unit", unit)
                .Done());
      } else {
        Say(fmt::format("  {} {} values {}", type, child.DataId(),
                        changed ? "moved beyond their thresholds" : "steady"));
      }
    }
  }

  void OnLog(unsigned device, const std::string& line) override {
    if (json_) {
      Say(JsonLine().Str("event", "log").Int("device", device).Str("text", line).Done());
    } else {
      Say(fmt::format("log {}: {}", device, line));
    }
  }

  void OnAlarmCheck(const korv::AlarmCheck& c) override {
    if (c.transition == korv::AlarmTransition::None) return;
    const bool raised = c.transition == korv::AlarmTransition::Raised;
    if (Store* store = runner_.store_.get()) {
      store->SaveAlarm(c.device, c.device_type, c.key, c.code, c.level, c.name, c.description,
                       c.seq, raised, c.is_map ? c.state_text : "");
    }
    if (json_) {
      JsonLine line;
      line.Str("event", "alarm")
          .Int("device", c.device)
          .Str("type", c.device_type)
          .Str("key", c.key)
          .Str("code", c.code)
          .Int("level", c.level)
          .Str("name", c.name)
          .Str("description", c.description)
          .Int("seq", c.seq)
          .Str("state", raised ? "raised" : "cleared");
      if (c.is_map) line.Int("value", c.value).Str("text", c.state_text);
      Say(line.Done());
    } else {
      Say(fmt::format("alarm {} {} {} {} {} level {} {}: {}{} (seq {})",
                      raised ? "raised " : "cleared", c.device_type, c.device, c.key, c.code,
                      c.level, c.name, c.description,
                      c.is_map ? " [" + c.state_text + "]" : std::string(), c.seq));
    }
  }

  void OnSendSP(unsigned device, const std::string& type, int kind,
                const std::vector<std::uint8_t>& block, bool) override {
    if (Store* store = runner_.store_.get()) store->SaveLastBlock(device, type, kind, block);
    if (Runner::Unit* unit = UnitOfChild(device, type)) unit->published = true;
  }

  void OnSaveHistory(unsigned device, const std::string& type,
                     const std::vector<std::uint8_t>& block) override {
    if (Store* store = runner_.store_.get()) store->SaveHistory(device, type, block);
  }

  void OnReset(unsigned device) override {
    for (auto& unit : runner_.units_) {
      if (unit->id != device || !unit->published) continue;
      unit->published = false;
      runner_.RoundDone(*unit);
    }
  }

  void OnLinkError(unsigned device, const std::string& reason) override {
    if (json_) {
      Say(JsonLine().Str("event", "fault").Int("device", device).Str("text", reason).Done());
    } else {
      Say(fmt::format("fault {}: {}", device, reason));
    }
  }

  void OnLinkState(unsigned device, bool answering, const std::string& text) override {
    if (json_) {
      Say(JsonLine()
              .Str("event", "link")
              .Int("device", device)
              .Str("state", answering ? "answering" : "not answering")
              .Str("text", text)
              .Done());
    } else {
      Say(fmt::format("link {}: {}", device, text));
    }
  }

 private:
  // The unit a publishing child belongs to (called on that unit's thread).
  Runner::Unit* UnitOfChild(unsigned device, const std::string& type) {
    for (auto& unit : runner_.units_) {
      for (const auto& child : unit->children) {
        if (child->DataId() == device && child->DeviceType() == type) return unit.get();
      }
    }
    return nullptr;
  }

  Runner& runner_;
  const bool json_;
  std::function<void(const std::string&)> out_;
  std::mutex mutex_;
};

// ---- Runner -------------------------------------------------------------------

Runner::Runner(Options options) : options_(std::move(options)) {}

Runner::~Runner() { Stop(); }

Store& Runner::store() { return *store_; }

bool Runner::LoadPlugin(std::string& error) {
  library_ = ::dlopen(options_.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    const char* e = ::dlerror();
    error = std::string("cannot load the plug-in: ") + (e != nullptr ? e : options_.plugin);
    return false;
  }
  ::dlerror();
  void* symbol = ::dlsym(library_, "get_providers");
  if (const char* e = ::dlerror()) {
    error = std::string("the plug-in has no get_providers: ") + e;
    return false;
  }
  auto entry = reinterpret_cast<get_providers_fn>(symbol);
  providers_ = std::make_unique<ProviderList>(entry());
  return true;
}

bool Runner::CreateUnits(std::string& error) {
  if (!options_.site.isObject() || !options_.site["units"].isArray() ||
      options_.site["units"].empty()) {
    error = options_.site_name + ": \"units\" must be a non-empty array";
    return false;
  }
  const Json::Value& units = options_.site["units"];
  std::set<unsigned> ids;
  std::map<std::string, std::string> ports;
  for (Json::ArrayIndex k = 0; k < units.size(); ++k) {
    const Json::Value& u = units[k];
    const std::string at = fmt::format("{}: units[{}]", options_.site_name, k);
    if (!u.isObject()) {
      error = at + " must be an object";
      return false;
    }
    if (!u["type"].isString()) {
      error = at + ": \"type\" must be a text";
      return false;
    }
    if (!u["data_id"].isUInt()) {
      error = at + ": \"data_id\" must be a whole number 0..4294967295";
      return false;
    }
    const unsigned id = u["data_id"].asUInt();
    if (!ids.insert(id).second) {
      error = fmt::format("{}: data_id {} is used twice", at, id);
      return false;
    }
    if (!u["port"].isNull() && (!u["port"].isString() || u["port"].asString().empty())) {
      error = at + ": \"port\" must be a device path";
      return false;
    }
    if (!u["scenario"].isNull() && !u["scenario"].isString()) {
      error = at + ": \"scenario\" must be a file path";
      return false;
    }
    const Json::Value& address = u["address"];
    if (!address.isNull() && (!address.isUInt() || address.asUInt() > 255)) {
      error = at + ": \"address\" must be 0..255";
      return false;
    }
    const Json::Value& timeout = u["answer_timeout_ms"];
    if (!timeout.isNull() &&
        (!timeout.isUInt() || timeout.asUInt() < 1 || timeout.asUInt() > 60000)) {
      error = at + ": \"answer_timeout_ms\" must be 1..60000";
      return false;
    }
    const std::string port = u["port"].asString();
    if (port.empty() && !options_.simulate) {
      error =
          fmt::format("{} (data_id {}) has no \"port\": give one, or run with --simulate", at, id);
      return false;
    }
    if (!port.empty() && !ports.emplace(port, at).second) {
      error = at + " and " + ports[port] + " share the port " + port;
      return false;
    }

    auto unit = std::make_unique<Unit>();
    unit->id = id;
    unit->type = u["type"].asString();
    unit->port = port;
    unit->settings = u;
    for (const auto& p : *providers_) {
      auto* provider = dynamic_cast<KorvSPDeviceProvider*>(p.get());
      if (provider == nullptr) continue;
      std::shared_ptr<KorvSPDevice> candidate(provider->create());
      if (candidate && candidate->DeviceType() == unit->type) {
        unit->root = std::move(candidate);
        break;
      }
    }
    if (!unit->root) {
      error = fmt::format("{}: no provider of the plug-in makes devices of type \"{}\"", at,
                          unit->type);
      return false;
    }
    if (!std::dynamic_pointer_cast<PMBusProtocol>(unit->root)) {
      error = fmt::format("{}: type \"{}\" is not a unit on a serial line", at, unit->type);
      return false;
    }
    unit->root->Init(controller_, id, u);
    bool accepted = false;
    try {
      accepted = unit->root->InitSetting(u);
    } catch (const std::exception& e) {
      error = fmt::format("{}: settings refused: {}", at, e.what());
      return false;
    }
    if (!accepted) {
      error = at + ": the plug-in refused the settings (is there an \"rcSetting\" object?)";
      return false;
    }
    for (const auto& child : unit->root->GetAllChildVDevices()) {
      if (child) unit->children.push_back(child);
    }
    units_.push_back(std::move(unit));
  }
  return true;
}

void Runner::Restore() {
  for (auto& unit : units_) {
    for (const auto& child : unit->children) {
      std::string block;
      if (!store_->LastBlock(child->DataId(), child->DeviceType(), block)) continue;
      if (child->LoadFromCache(block)) observer_->Values(unit->id, *child, "cache");
    }
  }
}

bool Runner::Setup(std::string& error) {
  if (!LoadPlugin(error)) return false;
  controller_ = std::make_shared<KorvController>();
  observer_ = std::make_shared<Observer>(*this, options_.json, options_.out);
  if (!CreateUnits(error)) return false;
  store_ = std::make_unique<Store>();
  if (!store_->Open(options_.db, error)) return false;
  controller_->SetObserver(observer_);
  Restore();

  for (auto& unit : units_) {
    if (unit->port.empty()) {
      // The simulator serves this unit on a new pseudo-terminal, in this
      // process: the unit's scenario file, or the built-in scenario shaped
      // after the unit's settings.
      const Json::Value& s = unit->settings;
      const int address = s["address"].isNull() ? 1 : s["address"].asInt();
      psma_sim::Scenario scenario;
      const bool loaded =
          s["scenario"].isString()
              ? scenario.LoadFile(s["scenario"].asString(), error)
              : scenario.Load(
                    psma_sim::BuiltInScenario(
                        s["acSetting"].isArray() ? static_cast<int>(s["acSetting"].size()) : 0,
                        s["dcSetting"].isArray() ? static_cast<int>(s["dcSetting"].size()) : 0, 3,
                        address),
                    error);
      if (!loaded || !scenario.Set("/address", address, error)) {
        error = fmt::format("unit {}: scenario {}", unit->id, error);
        return false;
      }
      auto sim = std::make_unique<psma_sim::SimServer>(scenario, unit->root->BaudRate(),
                                                       psma_sim::FaultPlan{});
      std::string path;
      if (!sim->OpenPty(path, error)) {
        error = fmt::format("unit {}: simulator: {}", unit->id, error);
        return false;
      }
      sim->Start();
      sims_.push_back(std::move(sim));
      unit->port = path;
      observer_->Say(
          options_.json
              ? JsonLine().Str("event", "simulator").Int("unit", unit->id).Str("port", path).Done()
              : fmt::format("unit {}: simulated on {}", unit->id, path));
    }
    korv::PollingEngine::Options engine;
    engine.port = unit->port;
    engine.poll_interval = options_.poll_interval;
    unit->engine = std::make_unique<korv::PollingEngine>(
        std::dynamic_pointer_cast<PMBusProtocol>(unit->root), engine);
    std::string port_error;
    if (!unit->engine->Open(port_error)) {
      error = fmt::format("unit {}: {}", unit->id, port_error);
      return false;
    }
  }
  return true;
}

void Runner::Start() {
  for (auto& unit : units_) unit->engine->Start();
  started_ = true;
}

void Runner::RoundDone(Unit& unit) {
  // Only this unit's thread counts its rounds; the count moves once the
  // round has been told, so whoever waits for it sees all of it.
  int round;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    round = unit.rounds + 1;
  }
  observer_->Say(
      options_.json
          ? JsonLine().Str("event", "round").Int("unit", unit.id).Int("round", round).Done()
          : fmt::format("unit {} round {}", unit.id, round));
  for (const auto& child : unit.children) observer_->Values(unit.id, *child, "round");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unit.rounds = round;
  }
  cv_.notify_all();
}

int Runner::Rounds(unsigned unit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& u : units_) {
    if (u->id == unit) return u->rounds;
  }
  return 0;
}

std::vector<std::shared_ptr<KorvVDevice>> Runner::Children(unsigned unit) const {
  for (const auto& u : units_) {
    if (u->id == unit) return u->children;
  }
  return {};
}

bool Runner::Wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto done = [&] {
    if (options_.rounds <= 0) return false;
    for (const auto& u : units_) {
      if (u->rounds < options_.rounds) return false;
    }
    return true;
  };
  cv_.wait_for(lock, limit, [&] { return stop_ || done(); });
  return done();
}

void Runner::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
}

void Runner::Stop() {
  for (auto& unit : units_) {
    if (unit->engine) unit->engine->Stop();
  }
  // The round's work items save the history blocks: let them finish.
  if (controller_) controller_->DrainWork();
  for (auto& unit : units_) unit->engine.reset();
  units_.clear();  // the devices end here, in the plug-in's code
  controller_.reset();
  sims_.clear();  // after the ports: the simulators stop last
  if (store_) store_->Close();
  providers_.reset();
  if (library_ != nullptr) ::dlclose(library_);
  library_ = nullptr;
}

Json::Value BuiltInSite() {
  Json::Value unit;
  unit["type"] = "psma";
  unit["data_id"] = 1;
  unit["address"] = 1;
  Json::Value ac;
  ac["data_id"] = 11;
  ac["appSetting"]["diff_v"] = 5;
  ac["appSetting"]["diff_i"] = 2;
  unit["acSetting"].append(ac);
  Json::Value dc;
  dc["data_id"] = 21;
  unit["dcSetting"].append(dc);
  unit["rcSetting"] = Json::Value(Json::objectValue);
  Json::Value site;
  site["units"].append(unit);
  return site;
}

}  // namespace korv_host
