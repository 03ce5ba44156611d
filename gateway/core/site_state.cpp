#include "gateway/core/site_state.h"

#include <algorithm>

#include "host/yd1363.h"

namespace korv_host {

SiteState::SiteState(const std::vector<unsigned>& units) {
  for (unsigned id : units) EntryOf(id);
}

const std::vector<std::string>& SiteState::FaultKinds() {
  static const std::vector<std::string> kinds = [] {
    std::vector<std::string> k;
    for (auto f :
         {yd1363::Fault::kTimeout, yd1363::Fault::kBadChecksum, yd1363::Fault::kBadLengthChecksum,
          yd1363::Fault::kBadLength, yd1363::Fault::kBadHex, yd1363::Fault::kWrongAddress,
          yd1363::Fault::kReturnCode, yd1363::Fault::kFrameTooLong}) {
      k.emplace_back(yd1363::FaultText(f));
    }
    k.emplace_back("port");
    k.emplace_back("other");
    return k;
  }();
  return kinds;
}

std::string SiteState::FaultKind(const std::string& text) {
  // The port's lines name the port ("port /dev/ttyUSB0: ...; retrying").
  if (text.rfind("port ", 0) == 0) return "port";
  const std::string head = text.substr(0, text.find(':'));
  const auto& kinds = FaultKinds();
  return std::find(kinds.begin(), kinds.end(), head) != kinds.end() ? head : "other";
}

SiteState::UnitEntry& SiteState::EntryOf(unsigned unit) {
  auto [it, added] = units_.try_emplace(unit);
  if (added) it->second.unit.id = unit;
  return it->second;
}

void SiteState::OnRound(unsigned unit, int round) {
  const auto steady = std::chrono::steady_clock::now();
  const auto wall = std::chrono::system_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  UnitEntry& e = EntryOf(unit);
  e.unit.rounds = round;
  e.unit.last_round_at = wall;
  e.last_round = steady;
}

void SiteState::OnValues(const ChildValues& v) {
  std::lock_guard<std::mutex> lock(mutex_);
  unit_of_[{v.device, v.type}] = v.unit;
  auto& children = EntryOf(v.unit).unit.children;
  auto it = std::find_if(children.begin(), children.end(),
                         [&](const Child& c) { return c.device == v.device && c.type == v.type; });
  if (it == children.end()) {
    children.push_back({v.device, v.type, v.source, {}, {}});
    it = children.end() - 1;
  }
  it->source = v.source;
  it->values = v.values;  // reuses the storage of the last round's values
  it->description = v.description;
}

void SiteState::OnAlarm(const korv::AlarmCheck& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(alarms_.begin(), alarms_.end(), [&](const Alarm& a) {
    return a.device == c.device && a.type == c.device_type && a.key == c.key;
  });
  if (c.transition == korv::AlarmTransition::Cleared) {
    if (it != alarms_.end()) alarms_.erase(it);
    return;
  }
  if (c.transition != korv::AlarmTransition::Raised) return;
  Alarm a{c.device, c.device_type, c.key,   c.code,
          c.name,   c.description, c.level, c.is_map ? c.state_text : std::string()};
  if (it != alarms_.end()) {
    *it = std::move(a);
  } else {
    alarms_.push_back(std::move(a));
  }
}

void SiteState::OnFault(unsigned device, const std::string& text) {
  const std::string kind = FaultKind(text);
  std::lock_guard<std::mutex> lock(mutex_);
  ++EntryOf(device).faults[kind];
}

void SiteState::OnLinkState(unsigned device, bool answering, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Unit& u = EntryOf(device).unit;
  u.link = answering ? Link::kAnswering : Link::kNotAnswering;
  u.link_text = text;
}

void SiteState::OnRequest(unsigned unit) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++EntryOf(unit).unit.requests;
}

void SiteState::OnRoundDuration(unsigned unit, std::chrono::microseconds duration) {
  const double seconds = std::chrono::duration<double>(duration).count();
  const auto bucket = static_cast<std::size_t>(
      std::lower_bound(kDurationBounds.begin(), kDurationBounds.end(), seconds) -
      kDurationBounds.begin());
  std::lock_guard<std::mutex> lock(mutex_);
  Unit& u = EntryOf(unit).unit;
  ++u.duration_buckets[bucket];
  u.duration_sum += seconds;
  ++u.duration_count;
}

SiteState::Snapshot SiteState::Take(SteadyTime now) const {
  Snapshot s;
  s.at = std::chrono::system_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  s.units.reserve(units_.size());
  for (const auto& [id, e] : units_) {
    s.units.push_back(e.unit);
    Unit& u = s.units.back();
    if (e.last_round) u.last_round_age = std::chrono::duration<double>(now - *e.last_round).count();
    for (const auto& kind : FaultKinds()) {
      const auto it = e.faults.find(kind);
      u.faults.emplace_back(kind, it != e.faults.end() ? it->second : 0);
    }
  }
  // Each alarm under its child's unit; one of no known child (the root's
  // own) under the unit of its data id.
  for (const auto& a : alarms_) {
    const auto child = unit_of_.find({a.device, a.type});
    const unsigned unit = child != unit_of_.end() ? child->second : a.device;
    auto it =
        std::find_if(s.units.begin(), s.units.end(), [&](const Unit& u) { return u.id == unit; });
    if (it == s.units.end()) {
      Unit u;
      u.id = unit;
      for (const auto& kind : FaultKinds()) u.faults.emplace_back(kind, 0);
      it = s.units.insert(std::upper_bound(s.units.begin(), s.units.end(), unit,
                                           [](unsigned id, const Unit& x) { return id < x.id; }),
                          std::move(u));
    }
    it->alarms.push_back(a);
  }
  return s;
}

}  // namespace korv_host
