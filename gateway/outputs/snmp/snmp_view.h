#pragma once
// What the SNMP side serves, apart from net-snmp: the objects of
// KORV-PSMA-MIB (KORV-PSMA-MIB.txt beside this file) for one snapshot of the
// site, as a list sorted by object identifier, and the varbinds of its
// notifications. The subagent answers a get from it by lookup and a
// get-next by the first identifier past the one asked.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/core/site_state.h"

namespace korv_host::snmp {

using Oid = std::vector<std::uint32_t>;

// The module's identifier: net-snmp's experimental arc
// (netSnmpExperimental, 1.3.6.1.4.1.8072.9999) and 1363, as the MIB's
// MODULE-IDENTITY says. The one place in the code that names the arc.
const Oid& ModuleOid();
// Where the objects start (korvObjects): the subtree the subagent registers.
const Oid& ObjectsOid();

// The notifications (korvNotifications.N).
enum class Notification : std::uint32_t {
  kAlarmRaised = 1,
  kAlarmCleared = 2,
  kLinkLost = 3,
  kLinkRegained = 4,
};
Oid NotificationOid(Notification n);

struct Value {
  enum class Kind { kInteger, kGauge, kCounter, kOctets };
  Kind kind = Kind::kInteger;
  std::int64_t number = 0;  // kInteger, kGauge, kCounter
  std::string octets;       // kOctets
};

struct Varbind {
  Oid oid;
  Value value;
};

// An alarm raised and not cleared, as the subagent keeps it: its number and
// when korv-host was told of it.
struct ActiveAlarm {
  std::uint32_t id = 0;  // korvAlarmId: from 1, in raising order
  unsigned unit = 0;
  korv::AlarmCheck check;
  std::chrono::system_clock::time_point raised_at;
};

// What became of the notifications (korvAgent).
struct NotificationCounts {
  std::uint64_t sent = 0;
  std::uint64_t unsent = 0;   // the master agent was away
  std::uint64_t dropped = 0;  // the queue was full
};

// Every object of the units, values, alarms and the counts, sorted by
// identifier. `alarms` in any order.
std::vector<Varbind> BuildView(const SiteState::Snapshot& snapshot,
                               const std::vector<ActiveAlarm>& alarms,
                               const NotificationCounts& counts);

// The varbinds of korvAlarmRaised and korvAlarmCleared: the alarm's row.
std::vector<Varbind> AlarmVarbinds(const ActiveAlarm& alarm);
// The varbinds of korvLinkLost and korvLinkRegained.
std::vector<Varbind> LinkVarbinds(unsigned unit, bool answering, const std::string& text,
                                  int rounds);

// korvValueMilli: the value in thousandths, rounded to the nearest; none
// when it is not a number or falls outside an Integer32.
std::optional<std::int32_t> Milli(float value);
// A KorvText: the text cut to 255 octets at a UTF-8 character boundary.
std::string Text(const std::string& text);
// A DateAndTime of 11 octets in UTC.
std::string DateAndTime(std::chrono::system_clock::time_point at);

}  // namespace korv_host::snmp
