#pragma once
// What korv-host makes of the host calls it sees: it keeps the alarm events
// and the children's history in the database, tells the outputs, and finds
// the rounds: a unit's round is complete when its exchange ends after one of
// its children published its block; then the round, its alarm raises and
// clears and the unit's children's values are told, in that order. The
// children check their alarms before the exchange ends, so a child's alarm
// events wait for the end of its unit's exchange; an alarm of no child (the
// root's model check) is told at once.
//
// A child's history block is kept when its round moved the values beyond
// the child's thresholds, when one of its alarms was raised or cleared, or
// when its newest row is `history_every` old: a steady site writes a row a
// minute per child, and a trend loses no step. Its last block goes in at a
// clean stop (Keep); after a crash a child restores its newest history row.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/outputs/output.h"
#include "host/host_observer.h"
#include "host/korv_device.h"

namespace korv_host {

class Store;

// The units as the observer needs them (the runner keeps them).
class UnitTable {
 public:
  virtual ~UnitTable();
  // The unit whose child is (`device`, `type`); false when it is no unit's.
  virtual bool UnitOfChild(unsigned device, const std::string& type, unsigned& unit) const = 0;
  // The unit of device `device`: the unit of that data id, else the unit of
  // a child of that data id; false when it is neither.
  virtual bool UnitOfDevice(unsigned device, unsigned& unit) const = 0;
  // The children of unit `unit`, in its root's order.
  virtual const std::vector<std::shared_ptr<KorvVDevice>>& ChildrenOf(unsigned unit) const = 0;
  // Round `round` of unit `unit` has been told to the outputs.
  virtual void RoundTold(unsigned unit, int round) = 0;
  // The line of unit `unit`: its port as the site names it, and its rate.
  // False when it is no unit's (or the table keeps no lines).
  virtual bool LineOf(unsigned /*unit*/, std::string& /*port*/, int& /*baud*/) const {
    return false;
  }
};

class Observer final : public korv::HostObserver {
 public:
  // `history_every` 0: a history row every round.
  Observer(UnitTable& units, Store& store, Output& output, std::chrono::seconds history_every);
  void HistoryEvery(std::chrono::seconds every);

  // Tells the values of a child just restored from `block`, its last block
  // in the database.
  void Restored(unsigned unit, KorvVDevice& child, const std::string& block);
  // Forgets unit `unit` (it left the site, or starts over with new devices):
  // its children's last blocks go in, and its next round is round 1. Not
  // while its polling thread runs.
  void Forget(unsigned unit);
  // Every unit's children's last blocks go in, each also as the child's
  // newest history row unless it is that already. Not while a polling
  // thread runs.
  void Keep();

  void OnLog(unsigned device, const std::string& line) override;
  void OnAlarmCheck(const korv::AlarmCheck& check) override;
  bool WantsEveryAlarmCheck() const override { return false; }
  void OnSendSP(unsigned device, const std::string& type, int kind,
                const std::vector<std::uint8_t>& block, bool delayed) override;
  void OnSaveHistory(unsigned device, const std::string& type,
                     const std::vector<std::uint8_t>& block) override;
  // The exchange, the link and the requests are the unit's root's: their
  // data id is the unit's.
  void OnReset(unsigned unit) override;
  void OnLinkError(unsigned unit, yd1363::Fault fault, const std::string& reason) override;
  void OnLinkState(unsigned unit, bool answering, const std::string& text) override;
  void OnLinkRounds(unsigned unit, bool completing, const std::string& text) override;
  void OnRequest(unsigned unit, std::uint8_t cid1, std::uint8_t cid2,
                 const std::vector<std::uint8_t>& info) override;

 private:
  // Each unit's state is touched by that unit's polling thread only.
  struct UnitState {
    bool published = false;                // a child published during the current exchange
    int rounds = 0;                        // rounds told
    std::vector<korv::AlarmCheck> alarms;  // raised or cleared during the exchange
    std::optional<std::chrono::steady_clock::time_point> first_request;  // of the exchange
    // Each child's description, asked at its first values (a child's
    // layout never changes).
    std::map<const KorvVDevice*, std::shared_ptr<const ChildDescription>> children;
    // Each child's last block, by data id and type, as it published it.
    struct Published {
      int kind = 0;
      std::vector<std::uint8_t> block;
    };
    std::map<std::pair<unsigned, std::string>, Published> blocks;
  };
  // Each child's history, by data id and type: touched by its unit's
  // polling thread and the threshold worker.
  struct History {
    bool due = false;  // the values moved or an alarm changed since the last row
    std::optional<std::chrono::steady_clock::time_point> saved;  // the last row
    std::vector<std::uint8_t> block;                             // ... its block
  };
  void HistoryDue(unsigned device, const std::string& type);
  // The unit's children's last blocks into the database.
  void Keep(unsigned unit, const UnitState& state);
  UnitState& StateOf(unsigned unit);
  // Tells `child`'s values, decoded from `block` (none: nothing to tell).
  void Values(unsigned unit, KorvVDevice& child, Source source,
              const std::vector<std::uint8_t>* block);
  // Tells the alarm events unit `unit`'s exchange held.
  void TellAlarms(unsigned unit, UnitState& state);

  UnitTable& units_;
  Store& store_;
  Output& output_;
  std::mutex states_mutex_;  // guards the map, not the states in it
  std::map<unsigned, UnitState> states_;
  // Whether any unit of a line (by port) answered since start, and whether
  // what to check was said: a wrong address, rate or wiring looks the same
  // as a unit switched off, but not when no unit of the line ever answered.
  struct Line {
    bool answered = false;
    bool told = false;
  };
  std::mutex lines_mutex_;
  std::map<std::string, Line> lines_;
  std::mutex history_mutex_;  // guards what follows
  std::chrono::seconds history_every_;
  std::map<std::pair<unsigned, std::string>, History> history_;
};

}  // namespace korv_host
