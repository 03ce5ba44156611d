// The runner's site while it runs: a check of a site file without running
// it, a reload that touches only the units whose entry changed, and the
// watchdog's measure of the polling threads.

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <set>

#include "gateway/core/runner.h"
#include "gateway/core/runner_unit.h"
#include "host/line_key.h"
#include "host/polling_engine.h"
#include "host/tcp_port.h"
#include "plugin/io_codes.h"

namespace korv_host {

bool Runner::Check(std::string& error, std::vector<std::string>* warnings) {
  if (!LoadPlugin(error)) return false;
  controller_ = std::make_shared<KorvController>();
  UnitList units;
  if (!MakeUnits(options_.site, options_.site_name, units, error)) return false;
  for (std::size_t k = 0; warnings != nullptr && k < units.size(); ++k) {
    const std::string& port = units[k]->port;
    if (port.empty() || korv::IsTcpPort(port) || !AwaitedPort(port)) continue;
    warnings->push_back(
        fmt::format("{}: units[{}]: port {} is not there now: korv-host waits for it",
                    options_.site_name, k, port));
  }
  return true;
}

bool Runner::Describe(std::vector<UnitShape>& shapes, std::string& error) {
  if (!LoadPlugin(error)) return false;
  controller_ = std::make_shared<KorvController>();
  UnitList units;
  if (!MakeUnits(options_.site, options_.site_name, units, error)) return false;
  shapes.clear();
  for (const auto& unit : units) {
    UnitShape shape;
    shape.id = unit->id;
    for (const auto& child : unit->children) {
      ChildShape c;
      c.device = child->DataId();
      c.type = child->DeviceType();
      psma::BlockLayout layout;
      if (psma::BlockLayoutOf(*child, layout, c.description.error)) {
        c.description.layout = std::move(layout);
      }
      shape.children.push_back(std::move(c));
    }
    shapes.push_back(std::move(shape));
  }
  return true;
}

bool Runner::Progressing(std::chrono::milliseconds grace) const {
  const auto now = std::chrono::steady_clock::now();
  std::shared_lock<std::shared_mutex> tables(tables_mutex_);
  return std::all_of(engines_.begin(), engines_.end(),
                     [&](const auto& engine) { return now <= engine->BackBy() + grace; });
}

std::size_t Runner::UnitCount() const {
  std::shared_lock<std::shared_mutex> tables(tables_mutex_);
  return units_.size();
}

namespace {

// The units of a line, by data id, in the order they take turns.
using LineUnits = std::vector<unsigned>;

}  // namespace

bool Runner::Reload(const Json::Value& site, const std::string& site_name, ReloadCounts& counts,
                    std::string& error) {
  std::lock_guard<std::mutex> reloading(reload_mutex_);
  if (stopped_ || !controller_) {
    error = "korv-host is stopping";
    return false;
  }
  // The whole file passes before anything changes: new devices for every
  // entry, dropped again where the running unit's entry is the same.
  UnitList fresh;
  if (!MakeUnits(site, site_name, fresh, error)) return false;
  StoreSettings store;
  StoreSettingsOf(site, site_name, store, error);  // MakeUnits checked it
  UseStoreSettings(store);

  // Only the reload changes the tables, so it reads them without a lock.
  std::set<unsigned> kept;
  UnitList coming;
  for (auto& unit : fresh) {
    const auto running = by_id_.find(unit->id);
    if (running != by_id_.end() && running->second->settings == unit->settings) {
      kept.insert(unit->id);
    } else {
      coming.push_back(std::move(unit));
    }
  }
  counts = ReloadCounts{};
  counts.unchanged = static_cast<int>(kept.size());
  std::set<unsigned> restarted;
  for (const auto& unit : coming) {
    if (by_id_.count(unit->id) != 0) restarted.insert(unit->id);
  }
  counts.restarted = static_cast<int>(restarted.size());
  counts.added = static_cast<int>(coming.size()) - counts.restarted;
  counts.removed = static_cast<int>(units_.size() - kept.size()) - counts.restarted;

  // The new site's lines: each port's units in the site's order. A unit kept
  // keeps its port (its simulator's pseudo-terminal too); a new simulated
  // unit gets its own.
  for (auto& unit : coming) {
    if (unit->port.empty() && !OpenSimulator(*unit, error)) return false;
  }
  std::map<unsigned, Unit*> next;  // the new site's units by data id
  for (auto& unit : coming) next[unit->id] = unit.get();
  for (unsigned id : kept) next[id] = by_id_.at(id);
  // Lines by what their ports name, as at start, under their first unit's
  // spelling.
  std::map<std::string, LineUnits> lines;
  std::vector<std::string> order;
  std::map<std::string, std::string> spelt;
  for (const auto& entry : site["units"]) {
    const Unit* unit = next.at(entry["data_id"].asUInt());
    const std::string key = korv::LineKey(unit->port);
    auto& on = lines[key];
    if (on.empty()) {
      order.push_back(key);
      spelt[key] = unit->port;
    }
    on.push_back(unit->id);
  }

  // A running line goes on when its units are all kept and the new site has
  // the same units on its port; any other line stops, and the new site's
  // lines that are not running start.
  std::set<std::string> held;  // lines a running engine holds
  std::vector<std::size_t> staying, stopping;
  for (std::size_t k = 0; k < engines_.size(); ++k) {
    const std::string key = korv::LineKey(engines_[k]->Port());
    held.insert(key);
    LineUnits running;
    for (const auto& unit : units_) {
      if (korv::LineKey(unit->port) == key) running.push_back(unit->id);
    }
    const auto line = lines.find(key);
    const bool same = line != lines.end() && line->second == running &&
                      std::all_of(running.begin(), running.end(),
                                  [&](unsigned id) { return kept.count(id) != 0; });
    (same ? staying : stopping).push_back(k);
  }
  std::set<std::string> going_on;
  for (std::size_t k : staying) going_on.insert(korv::LineKey(engines_[k]->Port()));
  std::vector<std::unique_ptr<korv::PollingEngine>> starting;
  for (const std::string& key : order) {
    if (going_on.count(key) != 0) continue;
    const std::string& port = spelt[key];
    std::vector<std::shared_ptr<PMBusProtocol>> roots;
    for (unsigned id : lines[key]) {
      roots.push_back(std::static_pointer_cast<PMBusProtocol>(next.at(id)->root));
    }
    starting.push_back(MakeEngine(port, std::move(roots), starting.size(), order.size()));
    // A local port no running line holds must open now, as at start, unless
    // it is not there yet; one a stopping line holds opens when that line
    // has let it go (the new line keeps trying, as for a serial device
    // server).
    std::string port_error;
    if (!korv::IsTcpPort(port) && held.count(key) == 0 && !AwaitedPort(port) &&
        !starting.back()->Open(port_error)) {
      error = fmt::format("unit {}: {}", lines[key].front(), port_error);
      return false;
    }
  }

  // From here on the reload goes through.
  for (std::size_t k : stopping) engines_[k]->Stop();
  // The leaving units' work items (their history blocks) end with them.
  controller_->DrainWork();
  // A kept unit whose line stopped in the middle of an exchange starts its
  // next one on its new line.
  for (std::size_t k : stopping) {
    for (unsigned id : kept) {
      Unit* unit = by_id_.at(id);
      if (korv::LineKey(unit->port) != korv::LineKey(engines_[k]->Port())) continue;
      auto& root = static_cast<PMBusProtocol&>(*unit->root);
      if (root.IsProcessing()) root.Reset();
    }
  }
  UnitList leaving;
  std::vector<std::unique_ptr<korv::PollingEngine>> stopped;
  {
    std::unique_lock<std::shared_mutex> tables(tables_mutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<unsigned, std::unique_ptr<Unit>> by_id;
    for (auto& unit : units_) {
      const unsigned id = unit->id;
      (kept.count(id) != 0 ? by_id[id] : leaving.emplace_back()) = std::move(unit);
    }
    for (auto& unit : coming) by_id[unit->id] = std::move(unit);
    units_.clear();
    by_id_.clear();
    unit_of_child_.clear();
    for (const auto& entry : site["units"]) {
      Register(std::move(by_id.at(entry["data_id"].asUInt())));
    }
    std::vector<std::unique_ptr<korv::PollingEngine>> engines;
    for (std::size_t k = 0; k < engines_.size(); ++k) {
      const bool stays = std::find(staying.begin(), staying.end(), k) != staying.end();
      (stays ? engines : stopped).push_back(std::move(engines_[k]));
    }
    for (auto& engine : starting) engines.push_back(std::move(engine));
    engines_.swap(engines);
    options_.site = site;
    options_.site_name = site_name;
  }
  // A unit that starts over counts its rounds from 0; one removed is gone
  // from the outputs that keep the site's units.
  for (const auto& unit : leaving) {
    observer_->Forget(unit->id);
    if (restarted.count(unit->id) == 0) outputs_.OnUnitRemoved(unit->id, {});
  }
  stopped.clear();
  leaving.clear();  // the devices end, then their simulators
  for (const auto& unit : units_) {
    if (unit->sim && kept.count(unit->id) == 0) outputs_.OnSimulator(unit->id, {unit->port});
  }
  if (started_) {
    for (const auto& engine : engines_) engine->Start();
  }
  return true;
}

}  // namespace korv_host
