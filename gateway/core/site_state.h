#pragma once
// The site as it stands: the latest state of every unit, kept from the
// events korv-host tells, for the pull outputs that ask for it from a thread
// of their own (the status server). Every event takes a short lock and
// records; Take copies the whole state under the same lock.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gateway/outputs/output.h"
#include "host/yd1363.h"

namespace korv_host {

class SiteState final : public Output {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  using WallTime = std::chrono::system_clock::time_point;

  // The upper bounds of the round-duration histogram's buckets, in seconds
  // (the last bucket, +Inf, is implied): a round at 9600 baud takes a few
  // tenths of a second; seconds mean retries.
  static constexpr std::array<double, 9> kDurationBounds = {0.05, 0.1, 0.25, 0.5, 1,
                                                            2.5,  5,   10,   30};

  // kNoRound: the unit answers, but no round completes (its answers refused
  // or faulty, over and over).
  enum class Link { kUnknown, kAnswering, kNotAnswering, kNoRound };

  struct Child {
    unsigned device = 0;
    std::string type;
    Source source = Source::kRound;
    std::vector<psma::FieldValue> fields;                 // its block, decoded
    std::shared_ptr<const ChildDescription> description;  // its block's layout
    // At the snapshot: seconds since its values were told, and whether they
    // are stale (its unit's link is lost, or they are as old as the child
    // stops serving them).
    double age_seconds = 0;
    bool stale = false;
  };

  // An alarm is the host's: its device, key and description tell it apart
  // (the modules of a rectifier group share one key).
  struct Alarm {
    unsigned device = 0;
    std::string type, key, code, name, description;
    int level = 0;
    std::string text;  // a state-table alarm's state text, else empty
    WallTime raised_at{};
  };

  struct Unit {
    unsigned id = 0;
    Link link = Link::kUnknown;  // before its first contact: unknown
    std::string link_text;
    int rounds = 0;
    std::optional<WallTime> last_round_at;
    std::optional<double> last_round_age;  // seconds, at the snapshot
    std::vector<Child> children;           // in the order first told
    std::vector<Alarm> alarms;             // active, in the order raised
    std::uint64_t requests = 0;
    // Link faults by kind (FaultKind), every kind present.
    std::vector<std::pair<std::string, std::uint64_t>> faults;
    // Round durations: per bucket of kDurationBounds and +Inf (not
    // cumulative), their sum in seconds and their count.
    std::array<std::uint64_t, kDurationBounds.size() + 1> duration_buckets{};
    double duration_sum = 0;
    std::uint64_t duration_count = 0;
  };

  // korv-host's own health, beside the units': what the store could not
  // write and the lines no one read.
  struct Health {
    std::uint64_t store_errors = 0;   // writes the database refused
    std::uint64_t store_waiting = 0;  // rows waiting in memory for the database
    std::uint64_t store_lost = 0;     // rows given up
    std::string store_error;          // the last refusal while rows wait, else empty
    std::uint64_t lines_dropped = 0;  // lines dropped because no one read them
    // What the outputs tell of their own health (a connection, a queue),
    // each shown as a metric of its own.
    std::vector<HealthNumber> outputs;
    // The outputs that cannot do their work now, a line each.
    std::vector<std::string> outages;
  };

  struct Snapshot {
    WallTime at;
    std::vector<Unit> units;  // by data id
    Health health;
  };

  // `units`: the site's units, shown before they tell anything.
  explicit SiteState(const std::vector<unsigned>& units = {});

  // The kind of a link fault, its metric label: the text of its code
  // ("bad checksum", ..., "port" for the port's own troubles), "other" for a
  // code outside the set.
  static std::string FaultKind(yd1363::Fault fault);
  // The kinds FaultKind returns, in a fixed order.
  static const std::vector<std::string>& FaultKinds();

  // Adds a source of the health Take reports (called by Take, on the
  // asking thread, outside the state's lock). The HTTP and SNMP outputs
  // serve while korv-host is still starting, so a source may come while
  // another thread takes the state.
  void WatchHealth(std::function<void(Health&)> fill);
  // The health alone, as Take reports it.
  Health TakeHealth() const;

  // A copy of the state; the ages are taken at `now`.
  Snapshot Take(SteadyTime now = std::chrono::steady_clock::now()) const;

  void OnRound(unsigned unit, const RoundEvent& event) override;
  void OnValues(unsigned unit, const ValuesEvent& event) override;
  void OnAlarm(unsigned unit, const AlarmEvent& event) override;
  void OnFault(unsigned unit, const FaultEvent& event) override;
  void OnLinkState(unsigned unit, const LinkEvent& event) override;
  void OnRequest(unsigned unit, const RequestEvent& event) override;
  // The unit, its children and their active alarms leave the state.
  void OnUnitRemoved(unsigned unit, const UnitRemovedEvent& event) override;

 private:
  struct UnitEntry {
    Unit unit;
    std::vector<SteadyTime> told;  // when each child's values were told
    std::optional<SteadyTime> last_round;
    std::map<std::string, std::uint64_t> faults;
  };

  UnitEntry& EntryOf(unsigned unit);  // under mutex_

  mutable std::mutex health_mutex_;  // guards health_ alone
  std::vector<std::function<void(Health&)>> health_;
  mutable std::mutex mutex_;
  std::map<unsigned, UnitEntry> units_;
};

}  // namespace korv_host
