#include "gateway/outputs/snmp/snmp_view.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <utility>

#include "gateway/core/field_text.h"

namespace korv_host::snmp {
namespace {

// korvObjects' tables and their columns, as the MIB numbers them.
constexpr std::uint32_t kUnitTable = 1;
constexpr std::uint32_t kValueTable = 2;
constexpr std::uint32_t kAlarmTable = 3;
constexpr std::uint32_t kAgent = 4;
constexpr std::uint32_t kEntry = 1;

enum UnitColumn : std::uint32_t {
  kUnitLink = 2,
  kUnitLinkText = 3,
  kUnitRounds = 4,
  kUnitLastRoundAge = 5,
  kUnitRequests = 6,
  kUnitLinkFaults = 7,
};
enum ValueColumn : std::uint32_t {
  kValueType = 3,
  kValueName = 4,
  kValueText = 5,
  kValueMilli = 6,
  kValueUnit = 7,
  kValueSource = 8,
  kValueStale = 10,
};
constexpr std::int64_t kTrue = 1;
constexpr std::int64_t kFalse = 2;
enum AlarmColumn : std::uint32_t {
  kAlarmUnit = 2,
  kAlarmChild = 3,
  kAlarmType = 4,
  kAlarmKey = 5,
  kAlarmCode = 6,
  kAlarmLevel = 7,
  kAlarmName = 8,
  kAlarmDescription = 9,
  kAlarmStateText = 10,
  kAlarmRaisedAt = 11,
};
enum AgentScalar : std::uint32_t {
  kNotificationsSent = 1,
  kNotificationsUnsent = 2,
  kNotificationsDropped = 3,
};

// korvUnitLink's and korvValueSource's numbers.
constexpr std::int64_t kLinkUnknown = 1;
constexpr std::int64_t kLinkAnswering = 2;
constexpr std::int64_t kLinkNotAnswering = 3;
constexpr std::int64_t kLinkNoRound = 4;
constexpr std::int64_t kSourceRound = 1;
constexpr std::int64_t kSourceCache = 2;

constexpr std::size_t kTextLimit = 255;  // KorvText's SIZE

// A counter's value as its 32 bits show it: it wraps.
Value Counter(std::uint64_t n) {
  return {Value::Kind::kCounter, static_cast<std::uint32_t>(n), {}};
}
Value Gauge(std::uint64_t n) {
  return {Value::Kind::kGauge,
          static_cast<std::int64_t>(
              std::min<std::uint64_t>(n, std::numeric_limits<std::uint32_t>::max())),
          {}};
}
Value Integer(std::int64_t n) { return {Value::Kind::kInteger, n, {}}; }
Value Octets(std::string s) { return {Value::Kind::kOctets, 0, std::move(s)}; }

Oid Column(std::uint32_t table, std::uint32_t column, std::initializer_list<std::uint32_t> index) {
  Oid oid = ObjectsOid();
  oid.insert(oid.end(), {table, kEntry, column});
  oid.insert(oid.end(), index);
  return oid;
}

// Whether `key` matches `pattern`, whose one '*' stands for any text.
}  // namespace

const Oid& ModuleOid() {
  static const Oid oid = {1, 3, 6, 1, 4, 1, 8072, 9999, 1363};
  return oid;
}

const Oid& ObjectsOid() {
  static const Oid oid = [] {
    Oid o = ModuleOid();
    o.push_back(1);
    return o;
  }();
  return oid;
}

Oid NotificationOid(Notification n) {
  Oid oid = ModuleOid();
  oid.push_back(0);
  oid.push_back(static_cast<std::uint32_t>(n));
  return oid;
}

std::optional<std::int32_t> Milli(float value) {
  const double milli = std::round(static_cast<double>(value) * 1000.0);
  if (!std::isfinite(milli) || milli < std::numeric_limits<std::int32_t>::min() ||
      milli > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(milli);
}

std::string Text(const std::string& text) {
  if (text.size() <= kTextLimit) return text;
  std::size_t end = kTextLimit;
  // Back over continuation bytes (10xxxxxx) to the start of the cut character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string DateAndTime(std::chrono::system_clock::time_point at) {
  const auto since = at.time_since_epoch();
  const std::time_t seconds =
      static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(since).count());
  const auto deci =
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000 / 100;
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  const int year = tm.tm_year + 1900;
  return std::string{static_cast<char>(year >> 8),
                     static_cast<char>(year & 0xFF),
                     static_cast<char>(tm.tm_mon + 1),
                     static_cast<char>(tm.tm_mday),
                     static_cast<char>(tm.tm_hour),
                     static_cast<char>(tm.tm_min),
                     static_cast<char>(tm.tm_sec),
                     static_cast<char>(deci),
                     '+',
                     0,
                     0};
}

std::vector<Varbind> AlarmVarbinds(const ActiveAlarm& a) {
  const auto col = [&](std::uint32_t column) { return Column(kAlarmTable, column, {a.id}); };
  const korv::AlarmCheck& c = a.check;
  return {
      {col(kAlarmUnit), Gauge(a.unit)},
      {col(kAlarmChild), Gauge(c.device)},
      {col(kAlarmType), Octets(Text(c.device_type))},
      {col(kAlarmKey), Octets(Text(c.key))},
      {col(kAlarmCode), Octets(Text(c.code))},
      {col(kAlarmLevel), Integer(c.level)},
      {col(kAlarmName), Octets(Text(c.name))},
      {col(kAlarmDescription), Octets(Text(c.description))},
      {col(kAlarmStateText), Octets(Text(c.is_map ? c.state_text : std::string()))},
      {col(kAlarmRaisedAt), Octets(DateAndTime(a.raised_at))},
  };
}

std::vector<Varbind> LinkVarbinds(unsigned unit, bool answering, const std::string& text,
                                  int rounds) {
  return {
      {Column(kUnitTable, kUnitLink, {unit}),
       Integer(answering ? kLinkAnswering : kLinkNotAnswering)},
      {Column(kUnitTable, kUnitLinkText, {unit}), Octets(Text(text))},
      {Column(kUnitTable, kUnitRounds, {unit}),
       Counter(static_cast<std::uint64_t>(std::max(rounds, 0)))},
  };
}

std::vector<Varbind> BuildView(const SiteState::Snapshot& snapshot,
                               const std::vector<ActiveAlarm>& alarms,
                               const NotificationCounts& counts) {
  std::vector<Varbind> view;
  for (const auto& u : snapshot.units) {
    const auto col = [&](std::uint32_t column) { return Column(kUnitTable, column, {u.id}); };
    const std::int64_t link = u.link == SiteState::Link::kAnswering      ? kLinkAnswering
                              : u.link == SiteState::Link::kNotAnswering ? kLinkNotAnswering
                              : u.link == SiteState::Link::kNoRound      ? kLinkNoRound
                                                                         : kLinkUnknown;
    std::uint64_t faults = 0;
    for (const auto& kind : u.faults) faults += kind.second;
    view.push_back({col(kUnitLink), Integer(link)});
    view.push_back({col(kUnitLinkText), Octets(Text(u.link_text))});
    view.push_back({col(kUnitRounds), Counter(static_cast<std::uint64_t>(std::max(u.rounds, 0)))});
    if (u.last_round_age) {
      view.push_back({col(kUnitLastRoundAge),
                      Gauge(static_cast<std::uint64_t>(std::max(*u.last_round_age, 0.0)))});
    }
    view.push_back({col(kUnitRequests), Counter(u.requests)});
    view.push_back({col(kUnitLinkFaults), Counter(faults)});

    for (const auto& child : u.children) {
      if (!child.description || !child.description->layout) continue;
      const psma::BlockLayout& layout = *child.description->layout;
      for (const auto& v : child.fields) {
        // Indexed by field and element: a row stays the same field when a
        // channel or a module comes or goes.
        const auto vcol = [&](std::uint32_t column) {
          return Column(kValueTable, column, {u.id, child.device, v.field + 1u, v.element + 1u});
        };
        const psma::FieldLayout& field = FieldOf(layout, v);
        view.push_back({vcol(kValueType), Octets(Text(child.type))});
        view.push_back({vcol(kValueName), Octets(Text(FieldName(layout, v)))});
        view.push_back({vcol(kValueText), Octets(Text(FieldRounded(layout, v)))});
        if (v.present) {
          const auto milli =
              Milli(field.type == psma::FieldType::kU8 ? static_cast<float>(v.code) : v.value);
          if (milli) view.push_back({vcol(kValueMilli), Integer(*milli)});
        }
        view.push_back({vcol(kValueUnit), Octets(psma::ValueUnit(field.value_class))});
        view.push_back({vcol(kValueSource),
                        Integer(child.source == Source::kCache ? kSourceCache : kSourceRound)});
        view.push_back({vcol(kValueStale), Integer(child.stale ? kTrue : kFalse)});
      }
    }
  }
  for (const auto& a : alarms) {
    auto row = AlarmVarbinds(a);
    std::move(row.begin(), row.end(), std::back_inserter(view));
  }
  // korvAgent holds scalars, not a table: korvAgent.N.0.
  const auto agent = [](std::uint32_t n) {
    Oid oid = ObjectsOid();
    oid.insert(oid.end(), {kAgent, n, 0});
    return oid;
  };
  view.push_back({agent(kNotificationsSent), Counter(counts.sent)});
  view.push_back({agent(kNotificationsUnsent), Counter(counts.unsent)});
  view.push_back({agent(kNotificationsDropped), Counter(counts.dropped)});
  // Rows were made row by row; a walk goes column by column.
  std::stable_sort(view.begin(), view.end(),
                   [](const Varbind& a, const Varbind& b) { return a.oid < b.oid; });
  // Two children of one unit under one data id would share rows: the first
  // told keeps them.
  view.erase(std::unique(view.begin(), view.end(),
                         [](const Varbind& a, const Varbind& b) { return a.oid == b.oid; }),
             view.end());
  return view;
}

}  // namespace korv_host::snmp
