#pragma once
// The site as it stands: the latest state of every unit, kept from the
// events korv-host tells, for whoever asks for it from another thread (the
// status server). Every event takes a short lock and records; Snapshot
// copies the whole state under the same lock.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gateway/outputs/output.h"

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

  enum class Link { kUnknown, kAnswering, kNotAnswering };

  struct Child {
    unsigned device = 0;
    std::string type;
    Source source = Source::kRound;
    std::vector<std::pair<std::string, float>> values;    // (key, value), in the child's order
    std::shared_ptr<const ChildDescription> description;  // what its keys measure
  };

  struct Alarm {
    unsigned device = 0;
    std::string type, key, code, name, description;
    int level = 0;
    std::string text;  // a state-table alarm's state text, else empty
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

  struct Snapshot {
    WallTime at;
    std::vector<Unit> units;  // by data id
  };

  // `units`: the site's units, shown before they tell anything.
  explicit SiteState(const std::vector<unsigned>& units = {});

  // The kind of a link fault: the text before its first ':', one of the
  // link's closed set of fault texts, "port" for the port's own troubles,
  // else "other".
  static std::string FaultKind(const std::string& text);
  // The kinds FaultKind returns, in a fixed order.
  static const std::vector<std::string>& FaultKinds();

  // A copy of the state; the ages are taken at `now`.
  Snapshot Take(SteadyTime now = std::chrono::steady_clock::now()) const;

  void OnRound(unsigned unit, int round) override;
  void OnValues(const ChildValues& values) override;
  void OnAlarm(const korv::AlarmCheck& check) override;
  void OnFault(unsigned device, const std::string& text) override;
  void OnLinkState(unsigned device, bool answering, const std::string& text) override;
  void OnRequest(unsigned unit) override;
  void OnRoundDuration(unsigned unit, std::chrono::microseconds duration) override;

 private:
  struct UnitEntry {
    Unit unit;
    std::optional<SteadyTime> last_round;
    std::map<std::string, std::uint64_t> faults;
  };
  using ChildKey = std::pair<unsigned, std::string>;  // (device, type)

  UnitEntry& EntryOf(unsigned unit);  // under mutex_

  mutable std::mutex mutex_;
  std::map<unsigned, UnitEntry> units_;
  // Which unit each child belongs to, learnt from its values: an alarm
  // names its child only, and may come before the child's first values.
  std::map<ChildKey, unsigned> unit_of_;
  // The active alarms of the site, by (device, type, key), in raising order.
  std::vector<Alarm> alarms_;
};

}  // namespace korv_host
