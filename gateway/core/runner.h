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
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gateway/core/observer.h"
#include "gateway/outputs/output.h"
#include "host/korv_device.h"
#include "host/provider.h"

class PMBusProtocol;
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
// "units") and the `children` its device made from them, answering on
// `address` at `baud`: its pseudo-terminal in `port`. Null with a one-line
// `error` ("scenario ...", "simulator: ...").
using StartSimulator = std::function<std::unique_ptr<UnitSimulator>(
    const Json::Value& settings, const std::vector<std::shared_ptr<KorvVDevice>>& children,
    int address, int baud, std::string& port, std::string& error)>;

// The site's "store" section: how the database keeps the history.
struct StoreSettings {
  // A child's history row at least this often (0: every round), else only
  // when its values moved or an alarm changed.
  std::chrono::seconds history_every{60};
  int retain_days = 90;   // history older than this goes; 0: kept for ever
  int max_size_mb = 512;  // past it the oldest history goes; 0: no bound
};

struct Options {
  Json::Value site;                // {"units": [...]}
  std::string site_name = "site";  // how errors name the site
  std::string plugin;              // path of the plug-in
  std::string db;                  // database file
  int rounds = 0;                  // stop after this many rounds of every unit; 0: never
  bool simulate = false;           // simulate every unit without "port" ...
  StartSimulator simulator;        // ... with this (korv-host: psma-sim's server)
  // The engines' longest idle sleep: above a root's two seconds and a line's
  // phase, so that an idle line wakes only when a round may be due.
  std::chrono::milliseconds poll_interval{3000};
  // --retain-days: the days of history kept, over the site's "store".
  std::optional<int> retain_days;
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

  // Checks a site as Setup does (loads the plug-in, creates the units and
  // drops them) without opening the database, a port or a simulator. False
  // with a one-line `error`; `warnings` get a line for each local port that
  // is not there now (a start waits for it).
  bool Check(std::string& error, std::vector<std::string>* warnings = nullptr);

  // A unit's children as its plug-in makes them: what an output that
  // addresses the site before any round (a register map) reads.
  struct ChildShape {
    unsigned device = 0;
    std::string type;
    ChildDescription description;
  };
  struct UnitShape {
    unsigned id = 0;
    std::vector<ChildShape> children;  // in the order the unit made them
  };
  // Checks the site as Check does and describes its units, in the site's
  // order, each child asked for its block's layout. False with a one-line
  // `error`.
  bool Describe(std::vector<UnitShape>& units, std::string& error);

  // What a reload did to the units.
  struct ReloadCounts {
    int added = 0, removed = 0, restarted = 0, unchanged = 0;
  };
  // Runs `site` instead of the running one, while polling: units added
  // start, units removed stop, a unit whose entry changed starts over (new
  // devices, its round counter from 0), and every unit whose entry is the
  // same keeps its devices, its round counter and its polling (its line is
  // opened again only when the units on that line change). A site that does
  // not pass Setup's checks, or a new port that cannot be opened, changes
  // nothing: false with a one-line `error`. One reload at a time; none after
  // Stop.
  bool Reload(const Json::Value& site, const std::string& site_name, ReloadCounts& counts,
              std::string& error);

  // Whether every line's polling thread is back from the last wait it chose,
  // or at most `grace` late (a thread held elsewhere is not).
  bool Progressing(std::chrono::milliseconds grace) const;
  std::size_t UnitCount() const;
  // How the database keeps the history now (the site's, --retain-days over it).
  StoreSettings StoreInUse() const;

  // For tests: the rounds a unit completed, and its children.
  int Rounds(unsigned unit) const;
  std::vector<std::shared_ptr<KorvVDevice>> Children(unsigned unit) const;
  Store& store();

 private:
  struct Unit;
  using UnitList = std::vector<std::unique_ptr<Unit>>;
  bool LoadPlugin(std::string& error);
  bool CreateUnits(std::string& error);
  // The units of `site`, new devices each, checked as Setup checks them.
  bool MakeUnits(const Json::Value& site, const std::string& site_name, UnitList& units,
                 std::string& error);
  bool CheckLines(const UnitList& units, const std::string& site_name, std::string& error) const;
  bool CheckChildIds(const UnitList& units, const std::string& site_name, std::string& error) const;
  void Register(std::unique_ptr<Unit> unit);  // into the tables; tables_mutex_ and mutex_ held
  void Restore();
  // The site's store settings, or false with a one-line `error`.
  bool StoreSettingsOf(const Json::Value& site, const std::string& site_name,
                       StoreSettings& settings, std::string& error) const;
  // Puts `settings` to work (the observer and the store made).
  void UseStoreSettings(const StoreSettings& settings);
  bool StartSimulator(Unit& unit, std::string& error);
  // The unit's simulator, serving on its new pseudo-terminal (the unit's
  // port), not yet told.
  bool OpenSimulator(Unit& unit, std::string& error);
  // A new engine for the units on `port` (in Setup, the `index`-th of
  // `lines` lines).
  std::unique_ptr<korv::PollingEngine> MakeEngine(const std::string& port,
                                                  std::vector<std::shared_ptr<PMBusProtocol>> units,
                                                  std::size_t index, std::size_t lines) const;
  const Unit* Find(unsigned unit) const;

  // UnitTable
  bool UnitOfChild(unsigned device, const std::string& type, unsigned& unit) const override;
  bool UnitOfDevice(unsigned device, unsigned& unit) const override;
  const std::vector<std::shared_ptr<KorvVDevice>>& ChildrenOf(unsigned unit) const override;
  void RoundTold(unsigned unit, int round) override;
  bool LineOf(unsigned unit, std::string& port, int& baud) const override;

  Options options_;
  StoreSettings store_settings_;  // under mutex_
  void* library_ = nullptr;
  std::unique_ptr<ProviderList> providers_;
  std::shared_ptr<KorvController> controller_;
  Outputs outputs_;
  std::shared_ptr<Observer> observer_;
  std::unique_ptr<Store> store_;
  // A reload changes the units, the engines and the tables while the other
  // lines poll: it holds tables_mutex_ and mutex_ (in that order) to change
  // them; the polling threads and the threshold worker read the tables under
  // a shared lock, Wait and RoundTold under mutex_.
  mutable std::shared_mutex tables_mutex_;
  UnitList units_;
  std::vector<std::unique_ptr<korv::PollingEngine>> engines_;  // one per line
  // Looked up on every block, history and alarm of a round: a thousand units
  // must not mean a thousand comparisons each time.
  std::unordered_map<unsigned, Unit*> by_id_;
  std::map<std::pair<unsigned, std::string>, unsigned> unit_of_child_;

  std::mutex reload_mutex_;   // one reload at a time, and none while stopping
  bool stopped_ = false;      // under reload_mutex_
  mutable std::mutex mutex_;  // guards stop_, rounds
  std::condition_variable cv_;
  bool stop_ = false;
  bool started_ = false;
};

}  // namespace korv_host
