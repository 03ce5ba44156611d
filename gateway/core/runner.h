#pragma once
// The host runner: loads a plug-in, creates each unit of a site file from the
// provider of its "type", restores its children from the database, polls the
// units of each line (a serial port or a serial device server, one unit or a
// bus of several) and tells its outputs what happens: values after every
// completed round, alarm raises and clears, protocol log lines and the link
// state (output.h; the Observer makes the events of the host calls).

#include <json/value.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gateway/core/observer.h"
#include "gateway/outputs/output.h"
#include "host/korv_device.h"
#include "host/provider.h"

namespace korv {
class PollingEngine;
}

namespace korv_host {

class Store;

// A unit's simulator serving on a pseudo-terminal in this process; it stops
// when destroyed (after the unit's line is closed).
class UnitSimulator {
 public:
  virtual ~UnitSimulator();
};
// Starts the simulator of the unit with `settings` (one entry of the site's
// "units"), answering on `address` at `baud`: its pseudo-terminal in `port`.
// Null with a one-line `error` ("scenario ...", "simulator: ...").
using StartSimulator = std::function<std::unique_ptr<UnitSimulator>(
    const Json::Value& settings, int address, int baud, std::string& port, std::string& error)>;

struct Options {
  Json::Value site;                // {"units": [...]}
  std::string site_name = "site";  // how errors name the site
  std::string plugin;              // path of the plug-in
  std::string db;                  // database file
  int rounds = 0;                  // stop after this many rounds of every unit; 0: never
  bool simulate = false;           // simulate every unit without "port" ...
  StartSimulator simulator;        // ... with this (korv-host: psma-sim's server)
  std::chrono::milliseconds poll_interval{2000};  // the engines' longest idle sleep
  int retain_days = 0;  // prune history older than this many days; 0: keep all
  // The push outputs: who is told what happens (korv-host's lines are a
  // ConsoleOutput), each event to each in this order.
  std::vector<std::shared_ptr<Output>> outputs;
};

// The observer reaches the units through the UnitTable only.
class Runner : private UnitTable {
 public:
  explicit Runner(Options options);
  ~Runner() override;  // stops
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Loads the plug-in, checks the site, creates the units, opens the
  // database, restores and shows the children's cached values, starts the
  // simulators (psma-sim's server, on new pseudo-terminals in this process)
  // and opens the ports. False with a one-line `error` naming
  // the problem; nothing is left running then.
  bool Setup(std::string& error);
  // Starts polling.
  void Start();
  // Waits until every unit has completed the rounds asked for, or Stop was
  // requested, or `limit` passed. True when the rounds are done.
  bool Wait(std::chrono::milliseconds limit = std::chrono::hours(24 * 365));
  // Wakes Wait (from any thread, not from a signal handler).
  void RequestStop();
  // Stops polling, lets the threshold worker finish (history blocks are
  // saved), destroys the units, stops the simulators, closes the plug-in.
  void Stop();

  // For tests: the rounds a unit completed, and its children.
  int Rounds(unsigned unit) const;
  std::vector<std::shared_ptr<KorvVDevice>> Children(unsigned unit) const;
  Store& store();

 private:
  struct Unit;
  bool LoadPlugin(std::string& error);
  bool CreateUnits(std::string& error);
  bool CheckLines(std::string& error) const;
  void Restore();
  bool StartSimulator(Unit& unit, std::string& error);
  const Unit* Find(unsigned unit) const;

  // UnitTable
  bool UnitOfChild(unsigned device, const std::string& type, unsigned& unit) const override;
  bool UnitOfDevice(unsigned device, unsigned& unit) const override;
  const std::vector<std::shared_ptr<KorvVDevice>>& ChildrenOf(unsigned unit) const override;
  void RoundTold(unsigned unit, int round) override;

  Options options_;
  void* library_ = nullptr;
  std::unique_ptr<ProviderList> providers_;
  std::shared_ptr<KorvController> controller_;
  Outputs outputs_;
  std::shared_ptr<Observer> observer_;
  std::unique_ptr<Store> store_;
  std::vector<std::unique_ptr<Unit>> units_;
  std::vector<std::unique_ptr<korv::PollingEngine>> engines_;  // one per line
  // Looked up on every block, history and alarm of a round: a thousand units
  // must not mean a thousand comparisons each time.
  std::unordered_map<unsigned, Unit*> by_id_;
  std::map<std::pair<unsigned, std::string>, unsigned> unit_of_child_;
  std::vector<std::unique_ptr<UnitSimulator>> sims_;

  mutable std::mutex mutex_;  // guards stop_, rounds
  std::condition_variable cv_;
  bool stop_ = false;
  bool started_ = false;
};

// The built-in example site: one unit with an AC screen, a DC screen and the
// rectifier group, on no port (so it is simulated).
Json::Value BuiltInSite();

}  // namespace korv_host
