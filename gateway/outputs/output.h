#pragma once
// What korv-host tells, one call per kind of event, apart from how it is
// shown: readable or JSON lines (LineOutput) today; a publisher or a status
// server is one more Output attached beside them.
//
// The runner calls its outputs through one Outputs fan-out, which hands each
// event to every output attached, one event at a time: an output needs no
// lock of its own, but it holds up the units' polling threads while it works,
// so a slow one (a network) should queue and return.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/host_observer.h"
#include "plugin/io_codes.h"

namespace korv_host {

// Where a child's values come from: its completed round, or the block
// restored from the database at start.
enum class Source { kRound, kCache };
// "round" or "cache".
const char* SourceName(Source source);

// A child as it described itself once, the first time its values were told.
struct ChildDescription {
  // What its keys measure (psma::kIoValueClasses), in its order.
  std::vector<psma::KeyClass> classes;
  // The class of `key`; nullptr when the child names none.
  const psma::KeyClass* ClassOf(const std::string& key) const {
    return psma::ClassOfKey(classes, key);
  }
  // The unit of `key` ("V", "A", "Hz"); "" for a state value, or a key the
  // child names nothing for.
  const char* UnitOf(const std::string& key) const {
    const psma::KeyClass* c = ClassOf(key);
    return c != nullptr ? psma::ValueUnit(c->value_class) : "";
  }
};

// The values of one child of a unit.
struct ChildValues {
  unsigned unit = 0;    // the unit's data id
  unsigned device = 0;  // the child's data id
  std::string type;     // the child's device type
  Source source = Source::kRound;
  std::vector<std::pair<std::string, float>> values;  // (key, value), in the child's order
  // A round only, when the child tells it: whether the round moved its values
  // beyond its thresholds (or brought its first data).
  std::optional<bool> changed;
  // The child's description; nullptr when none was asked for.
  std::shared_ptr<const ChildDescription> description;
};

class Output {
 public:
  virtual ~Output();
  // The unit's simulator serves it on `port` (--simulate).
  virtual void OnSimulator(unsigned /*unit*/, const std::string& /*port*/) {}
  // A round of the unit completed; the values of its children follow.
  virtual void OnRound(unsigned /*unit*/, int /*round*/) {}
  virtual void OnValues(const ChildValues& /*values*/) {}
  // An alarm was raised or cleared (`check.transition` is never None here).
  virtual void OnAlarm(const korv::AlarmCheck& /*check*/) {}
  // The same, with the unit it belongs to (the root's own data id for an
  // alarm of no child). An output that groups alarms by unit takes this one;
  // by default it tells OnAlarm.
  virtual void OnUnitAlarm(unsigned /*unit*/, const korv::AlarmCheck& check) { OnAlarm(check); }
  // A protocol log line of the plug-in.
  virtual void OnLog(unsigned /*device*/, const std::string& /*line*/) {}
  // A link fault, or the port failed.
  virtual void OnFault(unsigned /*device*/, const std::string& /*text*/) {}
  // The unit answers (first contact, or again), or does not answer.
  virtual void OnLinkState(unsigned /*device*/, bool /*answering*/, const std::string& /*text*/) {}
  // A request went to the unit.
  virtual void OnRequest(unsigned /*unit*/) {}
  // A round of the unit took `duration`, from its exchange's first request to
  // the exchange's end; told just before its OnRound.
  virtual void OnRoundDuration(unsigned /*unit*/, std::chrono::microseconds /*duration*/) {}
};

// Every output attached, each event to each in the order attached.
class Outputs final : public Output {
 public:
  // Before the runner starts; not while events are told.
  void Attach(std::shared_ptr<Output> output);

  void OnSimulator(unsigned unit, const std::string& port) override;
  void OnRound(unsigned unit, int round) override;
  void OnValues(const ChildValues& values) override;
  void OnAlarm(const korv::AlarmCheck& check) override;
  void OnUnitAlarm(unsigned unit, const korv::AlarmCheck& check) override;
  void OnLog(unsigned device, const std::string& line) override;
  void OnFault(unsigned device, const std::string& text) override;
  void OnLinkState(unsigned device, bool answering, const std::string& text) override;
  void OnRequest(unsigned unit) override;
  void OnRoundDuration(unsigned unit, std::chrono::microseconds duration) override;

 private:
  template <typename Call>
  void Tell(const Call& call);

  std::mutex mutex_;  // one event at a time
  std::vector<std::shared_ptr<Output>> outputs_;
};

}  // namespace korv_host
