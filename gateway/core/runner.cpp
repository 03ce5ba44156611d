#include "gateway/core/runner.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "child/setting_keys.h"
#include "gateway/core/runner_unit.h"
#include "gateway/core/store.h"
#include "host/line_key.h"
#include "host/pmbus_protocol.h"
#include "host/polling_engine.h"
#include "host/tcp_port.h"

namespace korv_host {

// ---- Runner -------------------------------------------------------------------

UnitSimulator::~UnitSimulator() = default;

Runner::Runner(Options options) : options_(std::move(options)) {
  for (const auto& output : options_.outputs) outputs_.Attach(output);
}

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

namespace {

// The keys a site file may hold at its top, and the keys of a unit that are
// the gateway's: the plug-in ignores what it does not read, so a misspelt
// key (an "adress", a "unit") would silently leave an address or a unit out.
const std::vector<std::string> kSiteKeys = {"units", "store", "options"};
const std::vector<std::string> kStoreKeys = {"history_every", "retain_days", "max_size_mb"};
const std::vector<std::string> kUnitKeys = {"type", "data_id",           "port",    "address",
                                            "baud", "answer_timeout_ms", "scenario"};
// The unit's keys only the gateway reads: the device never sees them. The
// link's keys (address, line rate, answer timeout) go to the device, whose
// protocol class reads them.
const std::vector<std::string> kRunnerOnlyKeys = {"type", "data_id", "port", "scenario"};

std::string UnknownKey(const std::string& at, const std::string& key, const std::string* nearest) {
  std::string error = fmt::format("{}unknown key \"{}\"", at, key);
  if (nearest != nullptr) error += fmt::format(" (did you mean \"{}\"?)", *nearest);
  return error;
}

// Refuses the first key of `object` that is not in `known`, naming the
// nearest known key when it looks like a slip of the hand.
bool CheckKeys(const Json::Value& object, const std::vector<std::string>& known,
               const std::string& at, std::string& error) {
  for (const std::string& key : object.getMemberNames()) {
    if (std::find(known.begin(), known.end(), key) != known.end()) continue;
    error = UnknownKey(at, key, psma::NearestKey(key, known));
    return false;
  }
  return true;
}

// A unit's key that is not the gateway's is the device's to read or refuse;
// one within two edits of a gateway's key is taken for a slip of it (a
// device's own keys keep clear of the gateway's). `at` ends with ": ".
bool CheckUnitKeys(const Json::Value& unit, const std::string& at, std::string& error) {
  for (const std::string& key : unit.getMemberNames()) {
    if (std::find(kUnitKeys.begin(), kUnitKeys.end(), key) != kUnitKeys.end()) continue;
    if (const std::string* nearest = psma::NearestKey(key, kUnitKeys)) {
      error = UnknownKey(at, key, nearest);
      return false;
    }
  }
  return true;
}

// What the unit's device reads: its entry without the gateway's own keys.
Json::Value DeviceSettings(const Json::Value& unit) {
  Json::Value settings = unit;
  for (const std::string& key : kRunnerOnlyKeys) settings.removeMember(key);
  return settings;
}

}  // namespace

bool Runner::CreateUnits(std::string& error) {
  UnitList units;
  const bool made = MakeUnits(options_.site, options_.site_name, units, error);
  std::unique_lock<std::shared_mutex> tables(tables_mutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& unit : units) Register(std::move(unit));
  return made;
}

void Runner::Register(std::unique_ptr<Unit> unit) {
  for (const auto& child : unit->children) {
    unit_of_child_.emplace(std::make_pair(child->DataId(), child->DeviceType()), unit->id);
  }
  by_id_[unit->id] = unit.get();
  units_.push_back(std::move(unit));
}

bool Runner::MakeUnits(const Json::Value& site, const std::string& site_name, UnitList& made,
                       std::string& error) {
  if (!site.isObject() || !site["units"].isArray() || site["units"].empty()) {
    error = site_name + ": \"units\" must be a non-empty array";
    return false;
  }
  if (!CheckKeys(site, kSiteKeys, site_name + ": ", error)) return false;
  StoreSettings store;
  if (!StoreSettingsOf(site, site_name, store, error)) return false;
  const Json::Value& units = site["units"];
  std::set<unsigned> ids;
  for (Json::ArrayIndex k = 0; k < units.size(); ++k) {
    const Json::Value& u = units[k];
    const std::string at = fmt::format("{}: units[{}]", site_name, k);
    if (!u.isObject()) {
      error = at + " must be an object";
      return false;
    }
    if (!CheckUnitKeys(u, at + ": ", error)) return false;
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
    const std::string port = u["port"].asString();
    if (port.empty() && !options_.simulate) {
      error =
          fmt::format("{} (data_id {}) has no \"port\": give one, or run with --simulate", at, id);
      return false;
    }
    std::string host;
    std::uint16_t number = 0;
    if (korv::IsTcpPort(port) && !korv::ParseTcpPort(port, host, number, error)) {
      error = fmt::format("{}: \"port\": {}", at, error);
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
      accepted = unit->root->InitSetting(DeviceSettings(u));
    } catch (const std::exception& e) {
      // The root names the key it could not read; the library's own text
      // names none.
      const std::string& reason = unit->root->SettingsError();
      error = fmt::format("{}: settings refused: {}", at, reason.empty() ? e.what() : reason);
      return false;
    }
    if (!accepted) {
      // The device names the key it refused.
      const std::string& reason = unit->root->SettingsError();
      error = at + ": " +
              (reason.empty() ? "the plug-in refused the settings without a reason" : reason);
      return false;
    }
    for (const auto& child : unit->root->GetAllChildVDevices()) {
      if (child) unit->children.push_back(child);
    }
    made.push_back(std::move(unit));
  }
  return CheckChildIds(made, site_name, error) && CheckLines(made, site_name, error);
}

// A data id names one device of the site: the host keeps alarms, the
// database rows and the cache by it. Only a unit's rectifier group carries
// its unit's id.
bool Runner::CheckChildIds(const UnitList& units, const std::string& site_name,
                           std::string& error) const {
  std::map<unsigned, std::string> holder;
  for (std::size_t k = 0; k < units.size(); ++k) holder[units[k]->id] = fmt::format("units[{}]", k);
  for (std::size_t k = 0; k < units.size(); ++k) {
    bool group = false;  // a child with the unit's own id was met
    for (const auto& child : units[k]->children) {
      const unsigned id = child->DataId();
      if (id == units[k]->id && !group) {
        group = true;
        continue;
      }
      const auto [at, added] =
          holder.emplace(id, fmt::format("units[{}]'s {}", k, child->DeviceType()));
      if (added) continue;
      error = fmt::format("{}: units[{}]: the {} with data_id {} has the id of {}", site_name, k,
                          child->DeviceType(), id, at->second);
      return false;
    }
  }
  return true;
}

// Units on one port share its line: each needs its own address there, and
// the line has one rate.
bool Runner::CheckLines(const UnitList& units, const std::string& site_name,
                        std::string& error) const {
  // What the ports name, not how they are spelt.
  std::vector<std::string> keys;
  for (const auto& unit : units) keys.push_back(korv::LineKey(unit->port));
  std::map<std::string, std::size_t> first_on;  // line -> index of its first unit
  for (std::size_t k = 0; k < units.size(); ++k) {
    const Unit& unit = *units[k];
    if (unit.port.empty()) continue;
    const auto [at, added] = first_on.emplace(keys[k], k);
    if (added) continue;
    for (std::size_t j = at->second; j < k; ++j) {
      const Unit& other = *units[j];
      if (keys[j] != keys[k]) continue;
      const auto& a = static_cast<const PMBusProtocol&>(*other.root);
      const auto& b = static_cast<const PMBusProtocol&>(*unit.root);
      if (a.Address() == b.Address()) {
        error = fmt::format("{}: units[{}] and units[{}] share the port {} and the address {}",
                            site_name, j, k, unit.port, b.Address());
        return false;
      }
      if (a.BaudRate() != b.BaudRate()) {
        error = fmt::format(
            "{}: units[{}] ({} baud) and units[{}] ({} baud) share the port {} at different line "
            "rates",
            site_name, j, a.BaudRate(), k, b.BaudRate(), unit.port);
        return false;
      }
    }
  }
  return true;
}

bool Runner::StoreSettingsOf(const Json::Value& site, const std::string& site_name,
                             StoreSettings& settings, std::string& error) const {
  const Json::Value& store = site["store"];
  if (store.isNull()) {
    settings.retain_days = options_.retain_days.value_or(settings.retain_days);
    return true;
  }
  const std::string at = site_name + ": store";
  if (!store.isObject()) {
    error = at + " must be an object";
    return false;
  }
  if (!CheckKeys(store, kStoreKeys, at + ": ", error)) return false;
  const struct {
    const char* key;
    int most;
    const char* what;
  } numbers[] = {{"history_every", 86400, "seconds; 0: every round"},
                 {"retain_days", Store::kRetainDaysMax, "days; 0 keeps all"},
                 {"max_size_mb", 1048576, "MB; 0: no bound"}};
  int values[3] = {static_cast<int>(settings.history_every.count()), settings.retain_days,
                   settings.max_size_mb};
  for (int k = 0; k < 3; ++k) {
    const Json::Value& v = store[numbers[k].key];
    if (v.isNull()) continue;
    if (!v.isUInt() || v.asUInt() > static_cast<unsigned>(numbers[k].most)) {
      error = fmt::format("{}: \"{}\" must be a whole number 0..{} ({})", at, numbers[k].key,
                          numbers[k].most, numbers[k].what);
      return false;
    }
    values[k] = static_cast<int>(v.asUInt());
  }
  settings.history_every = std::chrono::seconds(values[0]);
  settings.retain_days = options_.retain_days.value_or(values[1]);
  settings.max_size_mb = values[2];
  return true;
}

void Runner::UseStoreSettings(const StoreSettings& settings) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    store_settings_ = settings;
  }
  observer_->HistoryEvery(settings.history_every);
  store_->Retain(settings.retain_days);
  store_->LimitSize(std::int64_t{settings.max_size_mb} << 20);
}

StoreSettings Runner::StoreInUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return store_settings_;
}

void Runner::Restore() {
  for (auto& unit : units_) {
    for (const auto& child : unit->children) {
      std::string block;
      if (!store_->LastBlock(child->DataId(), child->DeviceType(), block)) continue;
      if (child->LoadFromCache(block)) observer_->Restored(unit->id, *child, block);
    }
  }
}

bool Runner::Setup(std::string& error) {
  if (!LoadPlugin(error)) return false;
  controller_ = std::make_shared<KorvController>();
  if (!CreateUnits(error)) return false;
  StoreSettings settings;
  if (!StoreSettingsOf(options_.site, options_.site_name, settings, error)) return false;
  store_ = std::make_unique<Store>();
  if (!store_->Open(options_.db, error)) return false;
  observer_ = std::make_shared<Observer>(static_cast<UnitTable&>(*this), *store_, outputs_,
                                         settings.history_every);
  UseStoreSettings(settings);
  controller_->SetObserver(observer_);
  Restore();

  // One engine per line, its units in the site's order.
  // Units whose ports name one line share it, under its first unit's spelling.
  std::map<std::string, std::vector<std::shared_ptr<PMBusProtocol>>> lines;
  std::vector<std::string> order;
  std::map<std::string, std::string> spelt;
  for (auto& unit : units_) {
    if (unit->port.empty() && !StartSimulator(*unit, error)) return false;
    const std::string key = korv::LineKey(unit->port);
    auto& on = lines[key];
    if (on.empty()) order.push_back(key);
    on.push_back(std::static_pointer_cast<PMBusProtocol>(unit->root));
    if (on.size() == 1) spelt[key] = unit->port;
  }
  for (const std::string& key : order) {
    const std::string& port = spelt[key];
    engines_.push_back(MakeEngine(port, lines[key], engines_.size(), order.size()));
    // A serial device server may be away now and come back, and a local port
    // may not be there yet: their engine keeps trying. A local port there
    // that cannot be opened is a mistake in the site.
    std::string port_error;
    if (!korv::IsTcpPort(port) && !AwaitedPort(port) && !engines_.back()->Open(port_error)) {
      error = fmt::format("unit {}: {}", lines[key].front()->DataId(), port_error);
      return false;
    }
  }
  return true;
}

std::unique_ptr<korv::PollingEngine> Runner::MakeEngine(
    const std::string& port, std::vector<std::shared_ptr<PMBusProtocol>> units, std::size_t index,
    std::size_t lines) const {
  korv::PollingEngine::Options engine;
  engine.port = port;
  engine.poll_interval = options_.poll_interval;
  // The lines look for due units at phases spread over the second.
  engine.phase = std::chrono::milliseconds(500 * index / lines);
  return std::make_unique<korv::PollingEngine>(std::move(units), engine);
}

bool Runner::StartSimulator(Unit& unit, std::string& error) {
  if (!OpenSimulator(unit, error)) return false;
  outputs_.OnSimulator(unit.id, {unit.port});
  return true;
}

bool Runner::OpenSimulator(Unit& unit, std::string& error) {
  // The simulator serves this unit on the address it speaks to.
  const int address = std::dynamic_pointer_cast<PMBusProtocol>(unit.root)->Address();
  std::string path;
  auto sim = options_.simulator ? options_.simulator(unit.settings, unit.children, address,
                                                     unit.root->BaudRate(), path, error)
                                : nullptr;
  if (!options_.simulator) error = "simulator: not in this build";
  if (!sim) {
    error = fmt::format("unit {}: {}", unit.id, error);
    return false;
  }
  unit.sim = std::move(sim);
  unit.port = path;
  return true;
}

void Runner::Start() {
  std::lock_guard<std::mutex> reloading(reload_mutex_);
  for (auto& engine : engines_) engine->Start();
  started_ = true;
}

const Runner::Unit* Runner::Find(unsigned unit) const {
  const auto found = by_id_.find(unit);
  return found != by_id_.end() ? found->second : nullptr;
}

// Called on the publishing unit's thread, and the threshold worker's.
bool Runner::UnitOfChild(unsigned device, const std::string& type, unsigned& unit) const {
  std::shared_lock<std::shared_mutex> tables(tables_mutex_);
  const auto found = unit_of_child_.find({device, type});
  if (found == unit_of_child_.end()) return false;
  unit = found->second;
  return true;
}

bool Runner::UnitOfDevice(unsigned device, unsigned& unit) const {
  if (by_id_.count(device) != 0) {
    unit = device;
    return true;
  }
  const auto child = unit_of_child_.lower_bound({device, std::string()});
  if (child == unit_of_child_.end() || child->first.first != device) return false;
  unit = child->second;
  return true;
}

const std::vector<std::shared_ptr<KorvVDevice>>& Runner::ChildrenOf(unsigned unit) const {
  static const std::vector<std::shared_ptr<KorvVDevice>> none;
  // The unit's own thread asks: its unit stays until its engine has stopped.
  std::shared_lock<std::shared_mutex> tables(tables_mutex_);
  const Unit* u = Find(unit);
  return u != nullptr ? u->children : none;
}

bool Runner::LineOf(unsigned unit, std::string& port, int& baud) const {
  // The unit's own thread asks, as for its children.
  std::shared_lock<std::shared_mutex> tables(tables_mutex_);
  const Unit* u = Find(unit);
  if (u == nullptr) return false;
  port = u->port;
  baud = u->settings["baud"].isInt() ? u->settings["baud"].asInt() : 9600;
  return true;
}

void Runner::RoundTold(unsigned unit, int round) {
  bool reached = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = by_id_.find(unit);
    if (found != by_id_.end()) found->second->rounds = round;
    reached = options_.rounds > 0 && round >= options_.rounds;
  }
  // Only a unit that reached the rounds asked for can end the wait: a wake
  // of the waiting thread each round would cost as much as a request.
  if (reached) cv_.notify_all();
}

int Runner::Rounds(unsigned unit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Unit* u = Find(unit);
  return u != nullptr ? u->rounds : 0;
}

std::vector<std::shared_ptr<KorvVDevice>> Runner::Children(unsigned unit) const {
  return ChildrenOf(unit);
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
  // Notified under the lock: Wait cannot return, and so the runner cannot be
  // destroyed, while the notification is under way (a stop signal's thread).
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = true;
  cv_.notify_all();
}

void Runner::Stop() {
  std::lock_guard<std::mutex> reloading(reload_mutex_);
  stopped_ = true;
  for (auto& engine : engines_) engine->Stop();
  // The round's work items save the history blocks: let them finish.
  if (controller_) controller_->DrainWork();
  // Each child's last block goes in at once, to be restored at the next start.
  if (observer_) observer_->Keep();
  UnitList units;  // the devices end here, in the plug-in's code, after the ports
  {
    std::unique_lock<std::shared_mutex> tables(tables_mutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    engines_.clear();
    by_id_.clear();
    unit_of_child_.clear();
    units.swap(units_);
  }
  units.clear();
  controller_.reset();
  if (store_) store_->Close();
  providers_.reset();
  if (library_ != nullptr) ::dlclose(library_);
  library_ = nullptr;
}

}  // namespace korv_host
