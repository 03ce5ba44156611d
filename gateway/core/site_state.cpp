#include "gateway/core/site_state.h"

#include <algorithm>
#include <utility>

#include "host/yd1363.h"

namespace korv_host {

SiteState::SiteState(const std::vector<unsigned>& units) {
  for (unsigned id : units) EntryOf(id);
}

const std::vector<std::string>& SiteState::FaultKinds() {
  static const std::vector<std::string> kinds = [] {
    std::vector<std::string> k;
    for (int code = static_cast<int>(yd1363::Fault::kTimeout);
         code <= static_cast<int>(yd1363::Fault::kPort); ++code) {
      k.emplace_back(yd1363::FaultText(yd1363::FaultOfCode(code)));
    }
    k.emplace_back("other");
    return k;
  }();
  return kinds;
}

std::string SiteState::FaultKind(yd1363::Fault fault) {
  return fault == yd1363::Fault::kNone ? "other" : yd1363::FaultText(fault);
}

SiteState::UnitEntry& SiteState::EntryOf(unsigned unit) {
  auto [it, added] = units_.try_emplace(unit);
  if (added) it->second.unit.id = unit;
  return it->second;
}

void SiteState::OnRound(unsigned unit, const RoundEvent& event) {
  const auto steady = std::chrono::steady_clock::now();
  const auto wall = std::chrono::system_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  Unit& u = EntryOf(unit).unit;
  u.rounds = event.round;
  u.last_round_at = wall;
  EntryOf(unit).last_round = steady;
  if (!event.duration) return;
  const double seconds = std::chrono::duration<double>(*event.duration).count();
  const auto bucket = static_cast<std::size_t>(
      std::lower_bound(kDurationBounds.begin(), kDurationBounds.end(), seconds) -
      kDurationBounds.begin());
  ++u.duration_buckets[bucket];
  u.duration_sum += seconds;
  ++u.duration_count;
}

void SiteState::OnValues(unsigned unit, const ValuesEvent& v) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  UnitEntry& e = EntryOf(unit);
  auto& children = e.unit.children;
  auto it = std::find_if(children.begin(), children.end(),
                         [&](const Child& c) { return c.device == v.device && c.type == v.type; });
  if (it == children.end()) {
    children.push_back({v.device, v.type, v.source, {}, {}});
    e.told.push_back(now);
    it = children.end() - 1;
  }
  it->source = v.source;
  it->fields = v.fields;  // reuses the storage of the last round's fields
  it->description = v.description;
  e.told[static_cast<std::size_t>(it - children.begin())] = now;
}

void SiteState::OnAlarm(unsigned unit, const AlarmEvent& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& alarms = EntryOf(unit).unit.alarms;
  auto it = std::find_if(alarms.begin(), alarms.end(), [&](const Alarm& a) {
    return a.device == c.device && a.type == c.device_type && a.key == c.key &&
           a.description == c.description;
  });
  if (c.transition == korv::AlarmTransition::Cleared) {
    if (it != alarms.end()) alarms.erase(it);
    return;
  }
  if (c.transition != korv::AlarmTransition::Raised) return;
  Alarm a{c.device, c.device_type, c.key,   c.code,
          c.name,   c.description, c.level, c.is_map ? c.state_text : std::string(),
          c.at};
  if (it != alarms.end()) {
    a.raised_at = it->raised_at;  // a state-table alarm that moved is still the one raised then
    *it = std::move(a);
  } else {
    alarms.push_back(std::move(a));
  }
}

void SiteState::OnFault(unsigned unit, const FaultEvent& event) {
  const std::string kind = FaultKind(event.fault);
  std::lock_guard<std::mutex> lock(mutex_);
  ++EntryOf(unit).faults[kind];
}

void SiteState::OnLinkState(unsigned unit, const LinkEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  Unit& u = EntryOf(unit).unit;
  u.link = !event.answering ? Link::kNotAnswering
           : event.no_round ? Link::kNoRound
                            : Link::kAnswering;
  u.link_text = event.text;
}

void SiteState::OnRequest(unsigned unit, const RequestEvent&) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++EntryOf(unit).unit.requests;
}

void SiteState::WatchHealth(std::function<void(Health&)> fill) {
  if (!fill) return;
  std::lock_guard<std::mutex> lock(health_mutex_);
  health_.push_back(std::move(fill));
}

SiteState::Health SiteState::TakeHealth() const {
  std::vector<std::function<void(Health&)>> sources;
  {
    // A copy: a source asks the store and the outputs, which may be slow.
    std::lock_guard<std::mutex> lock(health_mutex_);
    sources = health_;
  }
  Health health;
  for (const auto& fill : sources) fill(health);
  return health;
}

void SiteState::OnUnitRemoved(unsigned unit, const UnitRemovedEvent&) {
  std::lock_guard<std::mutex> lock(mutex_);
  units_.erase(unit);
}

SiteState::Snapshot SiteState::Take(SteadyTime now) const {
  Snapshot s;
  s.at = std::chrono::system_clock::now();
  s.health = TakeHealth();
  std::lock_guard<std::mutex> lock(mutex_);
  s.units.reserve(units_.size());
  for (const auto& [id, e] : units_) {
    s.units.push_back(e.unit);
    Unit& u = s.units.back();
    if (e.last_round) u.last_round_age = std::chrono::duration<double>(now - *e.last_round).count();
    for (std::size_t k = 0; k < u.children.size() && k < e.told.size(); ++k) {
      Child& c = u.children[k];
      c.age_seconds = std::max(0.0, std::chrono::duration<double>(now - e.told[k]).count());
      const int limit =
          c.description && c.description->layout ? c.description->layout->stale_after_s : 0;
      c.stale = u.link == Link::kNotAnswering || (limit > 0 && c.age_seconds >= limit);
    }
    for (const auto& kind : FaultKinds()) {
      const auto it = e.faults.find(kind);
      u.faults.emplace_back(kind, it != e.faults.end() ? it->second : 0);
    }
  }
  return s;
}

}  // namespace korv_host
