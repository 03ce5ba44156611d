#pragma once
/// The output contract: what korv-host tells, apart from how it is shown.
///
/// An output is one of two kinds (gateway/outputs/README.md is the recipe):
/// - a push output implements Output: the runner hands it every event as it
///   happens (the console lines, the MQTT publisher);
/// - a pull output implements nothing here: it reads SiteState::Take()
///   snapshots from a thread of its own when someone asks (the HTTP server).
///
/// Threads: an event is told on the polling thread of the unit it is about
/// (OnSimulator on the thread that runs Runner::Setup, OnUnitRemoved on the
/// one that reloads the site), through one Outputs
/// fan-out that hands each event to every output, one event at a time. An
/// output needs no lock against its own calls, but every moment it spends in
/// one holds up a unit's polling: it takes the event and returns at once
/// (queue what must travel, and let a thread of its own send it), never
/// waits on a network or a disk, never throws, and never calls into a device.
///
/// Every event names its unit (the data id of the unit's root) first, then
/// carries a small struct. An output overrides the events it shows.
///
/// Health: an output tells its own state itself, never through an event back
/// into the core: what can fail at start fails in its Start or Bind with a
/// one-line error before the runner starts (korv-host stops with status 2);
/// afterwards it keeps its own counters (connected, queue depth, dropped) and
/// tells them through Metrics(), which korv-host shows beside the site's state,
/// and an outage through Outage(). It says an outage itself, once when it
/// begins and once when it ends (korv_host::Say, warning and notice).

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/host_observer.h"
#include "host/yd1363.h"
#include "plugin/io_codes.h"

namespace korv_host {

/// Where a child's values come from: its completed round, or the block
/// restored from the database at start.
enum class Source { kRound, kCache };
/// "round" or "cache".
const char* SourceName(Source source);

/// The unit's simulator serves it (--simulate).
struct SimulatorEvent {
  std::string port;  ///< the pseudo-terminal it serves on
};

/// A round of the unit completed; the values of its children follow.
struct RoundEvent {
  int round = 0;  ///< rounds the unit completed, this one included
  /// From the round's exchange's first request to the exchange's end,
  /// retries included; none when no request was seen.
  std::optional<std::chrono::microseconds> duration;
};

/// A child as it described itself once, the first time its values were told.
struct ChildDescription {
  /// The layout of its block (psma::kIoBlockLayout); none when the child
  /// answered none a host can use.
  std::optional<psma::BlockLayout> layout;
  /// Why there is no layout.
  std::string error;
};

/// The values of one child of the unit: its block, decoded through its
/// description.
struct ValuesEvent {
  unsigned device = 0;  ///< the child's data id
  std::string type;     ///< the child's device type
  Source source = Source::kRound;
  /// Every element of every field of its block, in the layout's order
  /// (names and texts: gateway/core/field_text.h).
  std::vector<psma::FieldValue> fields;
  /// A round only, when the child tells it: whether the round moved its
  /// values beyond its thresholds (or brought its first data).
  std::optional<bool> changed;
  /// The child's description; nullptr when none was asked for.
  std::shared_ptr<const ChildDescription> description;
};

/// An alarm raised or cleared (`transition` is never None here), as the
/// host's alarm check told it: the child, its key, code, level and texts.
using AlarmEvent = korv::AlarmCheck;

/// A protocol log line of the plug-in.
struct LogEvent {
  unsigned device = 0;  ///< the data id of the device that wrote it
  std::string text;
};

/// A link fault, or the port's own trouble.
struct FaultEvent {
  yd1363::Fault fault = yd1363::Fault::kNone;  ///< the code; kNone for one outside the set
  std::string text;                            ///< for people: the code's text and its details
};

/// The unit answers (first contact, or again), or does not answer.
struct LinkEvent {
  bool answering = false;
  std::string text;  ///< "answering", "not answering", "line lost: ..."
  /// Answering, but completing no round (its answers refused or faulty, over
  /// and over); false again once a round completes.
  bool no_round = false;
};

/// A request went to the unit.
struct RequestEvent {
  std::uint8_t cid1 = 0;
  std::uint8_t cid2 = 0;
};

/// The unit left the site (a reload of the site file), its polling ended:
/// an output that keeps the site's units forgets it. Told on the thread that
/// reloads.
struct UnitRemovedEvent {};

/// A number an output tells about its own health (its connection, its
/// queue), shown beside the site's state (korv-host's /metrics).
struct HealthNumber {
  std::string name;  ///< a Prometheus metric name
  std::string type;  ///< "gauge" or "counter"
  std::string help;
  double value = 0;
};

/// A push output: one call per kind of event, each with its unit. The
/// defaults ignore the event.
class Output {
 public:
  virtual ~Output();
  /// Its own health, asked on a reader's thread at any time (so it takes its
  /// own lock); none by default.
  virtual std::vector<HealthNumber> Metrics() const { return {}; }
  /// Why it cannot do its work now (its broker or master agent away), in
  /// one line that names it ("mqtt: ..."); empty while it can. Asked like
  /// Metrics(); /healthz names each output down.
  virtual std::string Outage() const { return {}; }
  virtual void OnSimulator(unsigned /*unit*/, const SimulatorEvent& /*event*/) {}
  virtual void OnRound(unsigned /*unit*/, const RoundEvent& /*event*/) {}
  virtual void OnValues(unsigned /*unit*/, const ValuesEvent& /*event*/) {}
  virtual void OnAlarm(unsigned /*unit*/, const AlarmEvent& /*event*/) {}
  virtual void OnLog(unsigned /*unit*/, const LogEvent& /*event*/) {}
  virtual void OnFault(unsigned /*unit*/, const FaultEvent& /*event*/) {}
  virtual void OnLinkState(unsigned /*unit*/, const LinkEvent& /*event*/) {}
  virtual void OnRequest(unsigned /*unit*/, const RequestEvent& /*event*/) {}
  virtual void OnUnitRemoved(unsigned /*unit*/, const UnitRemovedEvent& /*event*/) {}
};

/// Every output attached, each event to each in the order attached, one
/// event at a time.
class Outputs final : public Output {
 public:
  /// Before the runner starts; not while events are told.
  void Attach(std::shared_ptr<Output> output);

  void OnSimulator(unsigned unit, const SimulatorEvent& event) override;
  void OnRound(unsigned unit, const RoundEvent& event) override;
  void OnValues(unsigned unit, const ValuesEvent& event) override;
  void OnAlarm(unsigned unit, const AlarmEvent& event) override;
  void OnLog(unsigned unit, const LogEvent& event) override;
  void OnFault(unsigned unit, const FaultEvent& event) override;
  void OnLinkState(unsigned unit, const LinkEvent& event) override;
  void OnRequest(unsigned unit, const RequestEvent& event) override;
  void OnUnitRemoved(unsigned unit, const UnitRemovedEvent& event) override;

 private:
  template <typename Event>
  void Tell(void (Output::*call)(unsigned, const Event&), unsigned unit, const Event& event);

  std::mutex mutex_;  // one event at a time
  std::vector<std::shared_ptr<Output>> outputs_;
};

}  // namespace korv_host
