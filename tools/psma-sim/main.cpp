// psma-sim: simulated PSM-A units on a serial line. Serves one unit, or a bus
// of units (--unit), on a new pseudo-terminal (its path is the first line
// printed), on a given device, or on TCP ports as serial device servers do
// (--listen, --servers); answers the command table from a scenario and
// injects faults on demand.
//
// Commands on standard input, one a line, each after an optional @ADDRESS
// naming the unit (else the first unit; on every line served):
//   drop | corrupt | garbage | delay MS     the next answer gets that fault
//   echo | stray | late MS                  the request echoed first, a frame
//                                           from the next address first, or
//                                           the answer late without holding
//                                           back the next one
//   close-on-accept on|off                  TCP clients closed as they connect
//   silent on|off                           answer nothing / answer again
//   rtn HEX | length on|off | master on|off every answer with that return code
//                                           (00: none), with a LENGTH two
//                                           characters long, or behind another
//                                           master's request to the unit
//   set POINTER JSON                        change the scenario
//   round | stats | quit

#include <json/reader.h>
#include <json/writer.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/host_port.h"
#include "host/serial_port.h"
#include "tools/common/stop_signals.h"
#include "tools/psma-sim/sim_server.h"

namespace {

using Servers = std::vector<std::unique_ptr<psma_sim::SimServer>>;

// A command acts on the unit "@ADDRESS" names (else each line's first unit)
// of every line the process serves.
void Command(Servers& servers, const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  int address = -1;
  if (!word.empty() && word[0] == '@') {
    try {
      address = std::stoi(word.substr(1));
    } catch (...) {
      address = 256;
    }
    if (address < 0 || address > 255) {
      std::cerr << "psma-sim: " << word << ": not a unit address\n";
      return;
    }
    in >> word;
  }
  if (word.empty()) return;
  bool known = true;  // some line has the unit
  const auto each = [&](const std::function<bool(psma_sim::SimServer&)>& act) {
    known = false;
    for (auto& sim : servers) known = act(*sim) || known;
  };
  const auto inject = [&](psma_sim::FaultKind kind, int ms) {
    each([&](psma_sim::SimServer& sim) {
      if (address >= 0) return sim.Inject(address, kind, ms);
      sim.Inject(kind, ms);
      return true;
    });
  };
  if (word == "drop") {
    inject(psma_sim::FaultKind::kDrop, 0);
  } else if (word == "corrupt") {
    inject(psma_sim::FaultKind::kCorrupt, 0);
  } else if (word == "garbage") {
    inject(psma_sim::FaultKind::kGarbage, 0);
  } else if (word == "delay") {
    int ms = 0;
    if (!(in >> ms) || ms < 0) {
      std::cerr << "psma-sim: delay needs milliseconds\n";
      return;
    }
    inject(psma_sim::FaultKind::kDelay, ms);
  } else if (word == "echo") {
    inject(psma_sim::FaultKind::kEcho, 0);
  } else if (word == "stray") {
    inject(psma_sim::FaultKind::kStray, 0);
  } else if (word == "late") {
    int ms = 0;
    if (!(in >> ms) || ms < 0) {
      std::cerr << "psma-sim: late needs milliseconds\n";
      return;
    }
    inject(psma_sim::FaultKind::kLate, ms);
  } else if (word == "close-on-accept") {
    std::string on;
    in >> on;
    for (auto& sim : servers) sim->SetCloseOnAccept(on != "off");
  } else if (word == "silent") {
    std::string on;
    in >> on;
    each([&](psma_sim::SimServer& sim) {
      if (address >= 0) return sim.SetSilent(address, on != "off");
      sim.SetSilent(on != "off");
      return true;
    });
  } else if (word == "rtn" || word == "length" || word == "master") {
    std::string value;
    in >> value;
    int v = value == "on" ? 1 : 0;
    if (word == "rtn") {
      try {
        v = std::stoi(value, nullptr, 16);
      } catch (...) {
        v = -1;
      }
      if (v < 0 || v > 255) {
        std::cerr << "psma-sim: rtn needs a return code in hex (00: none)\n";
        return;
      }
    }
    const auto habit = word == "rtn"      ? psma_sim::Habit::kReturnCode
                       : word == "length" ? psma_sim::Habit::kBadLength
                                          : psma_sim::Habit::kMaster;
    each([&](psma_sim::SimServer& sim) { return sim.SetHabit(address, habit, v); });
  } else if (word == "set") {
    std::string pointer;
    in >> pointer;
    std::string rest;
    std::getline(in, rest);
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value value;
    std::string error;
    if (!reader->parse(rest.data(), rest.data() + rest.size(), &value, &error)) {
      std::cerr << "psma-sim: set " << pointer << ": not JSON\n";
      return;
    }
    for (auto& sim : servers) {
      const bool set =
          address >= 0 ? sim->Set(address, pointer, value, error) : sim->Set(pointer, value, error);
      if (!set) {
        std::cerr << "psma-sim: set: " << error << "\n";
        return;
      }
    }
  } else if (word == "round") {
    const int round = address >= 0 ? servers.front()->Round(address) : servers.front()->Round();
    known = round >= 0;
    if (known) std::cerr << "psma-sim: round " << round << "\n";
  } else if (word == "stats") {
    long requests = 0, answers = 0, dropped = 0, corrupted = 0, garbled = 0, delayed = 0;
    for (const auto& sim : servers) {
      const auto& s = sim->Stats();
      requests += s.requests;
      answers += s.answers;
      dropped += s.dropped;
      corrupted += s.corrupted;
      garbled += s.garbled;
      delayed += s.delayed;
    }
    std::cerr << "psma-sim: requests " << requests << ", answers " << answers << ", dropped "
              << dropped << ", corrupted " << corrupted << ", garbled " << garbled << ", delayed "
              << delayed << "\n";
  } else if (word == "quit") {
    ::kill(::getpid(), SIGTERM);
  } else {
    std::cerr << "psma-sim: unknown command \"" << word << "\"\n";
    return;
  }
  if (!known) std::cerr << "psma-sim: no unit at address " << address << "\n";
}

// What the options ask for.
struct Config {
  std::string scenario_path, device, link, listen;
  std::vector<std::string> units;  // ADDRESS[=SCENARIO_FILE]
  int baud = 9600, address = -1, ac_screens = 1, dc_screens = 1, modules = 3, servers = 1;
  bool trace = false, print_scenario = false;
  psma_sim::FaultPlan plan;
};

void DeclareOptions(CLI::App& app, Config& o) {
  app.add_option("--scenario", o.scenario_path,
                 "Scenario file (JSON; see the README). Default: the built-in scenario")
      ->check(CLI::ExistingFile);
  auto* device_option = app.add_option(
      "--device", o.device, "Serve on this serial device instead of a new pseudo-terminal");
  auto* listen_option =
      app.add_option(
             "--listen", o.listen,
             "Serve on TCP at HOST:PORT (an IPv4 address, or [IPV6]:PORT; 127.0.0.1 for the "
             "loopback; "
             "port 0: a free one), one client at a time, as a serial device server does")
          ->excludes(device_option);
  app.add_option("--servers", o.servers,
                 "With --listen: this many servers on consecutive ports from PORT, each the "
                 "same bus of units")
      ->capture_default_str()
      ->check(CLI::Range(1, 4096))
      ->needs(listen_option);
  app.add_option("--link", o.link, "Also make a symbolic link PATH to the pseudo-terminal")
      ->excludes(listen_option);
  app.add_option("--baud", o.baud, "Line rate in baud (for --device and --pace)")
      ->capture_default_str()
      ->check([](const std::string& s) {
        try {
          return korv::IsStandardBaud(std::stoi(s)) ? std::string() : "not a standard rate";
        } catch (...) {
          return std::string("not a number");
        }
      });
  auto* address_option =
      app.add_option("--address", o.address, "Unit address (overrides the scenario's)")
          ->check(CLI::Range(0, 255));
  app.add_option("--unit", o.units,
                 "A unit of the bus: ADDRESS[=SCENARIO_FILE] (repeatable). Without a file: "
                 "--scenario's, else the built-in scenario, at that address")
      ->excludes(address_option);
  app.add_option("--ac-screens", o.ac_screens, "AC screens of the built-in scenario")
      ->capture_default_str()
      ->check(CLI::Range(0, 8));
  app.add_option("--dc-screens", o.dc_screens, "DC screens of the built-in scenario")
      ->capture_default_str()
      ->check(CLI::Range(0, 3));
  app.add_option("--modules", o.modules, "Rectifier modules of the built-in scenario")
      ->capture_default_str()
      ->check(CLI::Range(0, 60));
  app.add_option("--drop-every", o.plan.drop_every, "Drop every Nth answer")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--corrupt-every", o.plan.corrupt_every,
                 "Corrupt the checksum of every Nth answer")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--garbage-every", o.plan.garbage_every, "Send garbage before every Nth answer")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--delay-every", o.plan.delay_every, "Delay every Nth answer by --delay-ms")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--delay-ms", o.plan.delay_ms, "Delay of delayed answers, milliseconds")
      ->capture_default_str()
      ->check(CLI::Range(0, 600000));
  app.add_flag("--pace", o.plan.pace, "Write answers at the line's real byte rate");
  app.add_option("--fault-rate", o.plan.rate,
                 "Give each answer one fault with this probability, its kind drawn at random: "
                 "drop, corrupt, garbage or delay (--delay-ms)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--seed", o.plan.seed, "Seed of the random faults and the garbage bytes")
      ->capture_default_str();
  app.add_flag("--trace", o.trace, "Tell every request and answer on standard error");
  app.add_flag("--print-scenario", o.print_scenario, "Print the scenario in use and exit");
}

// The scenario of each unit of the bus, in --unit order; 0, or the exit code
// after telling why not.
int LoadScenarios(const Config& o, std::vector<psma_sim::Scenario>& scenarios) {
  std::vector<std::string> units = o.units;
  if (units.empty()) units.push_back(o.address < 0 ? "" : std::to_string(o.address));
  std::string error;
  for (const auto& option : units) {
    const auto eq = option.find('=');
    const std::string file = eq == std::string::npos ? o.scenario_path : option.substr(eq + 1);
    int at = -1;
    if (!option.empty()) {
      try {
        std::size_t used = 0;
        at = std::stoi(option.substr(0, eq), &used);
        if (used != option.substr(0, eq).size()) at = -1;
      } catch (...) {
        at = -1;
      }
      if (at < 0 || at > 255) {
        std::cerr << "psma-sim: --unit " << option << ": expected ADDRESS[=SCENARIO_FILE]\n";
        return 2;
      }
    }
    psma_sim::Scenario scenario;
    const bool loaded = file.empty()
                            ? scenario.Load(psma_sim::BuiltInScenario(o.ac_screens, o.dc_screens,
                                                                      o.modules, at < 0 ? 1 : at),
                                            error)
                            : scenario.LoadFile(file, error);
    if (!loaded) {
      std::cerr << "psma-sim: scenario " << error << "\n";
      return 2;
    }
    if (at >= 0 && !scenario.Set("/address", at, error)) {
      std::cerr << "psma-sim: " << error << "\n";
      return 2;
    }
    scenarios.push_back(std::move(scenario));
  }
  return 0;
}

// --listen's HOST:PORT; 0, or the exit code after telling why not.
int ListenAddress(const Config& o, korv::HostPort& at) {
  if (o.listen.empty()) return 0;
  if (korv::SplitHostPort(o.listen, at) != korv::HostPortFault::kNone || at.host.empty() ||
      !at.has_port) {
    std::cerr << "psma-sim: --listen " << o.listen << ": expected HOST:PORT\n";
    return 2;
  }
  return 0;
}

// --servers lines, each the whole bus, served by `loop`; 0, or the exit code.
int MakeServers(const Config& o, const std::vector<psma_sim::Scenario>& scenarios,
                psma_sim::SimLoop& loop, Servers& sims) {
  for (int k = 0; k < o.servers; ++k) {
    auto sim = std::make_unique<psma_sim::SimServer>(scenarios.front(), o.baud, o.plan, &loop);
    for (std::size_t u = 1; u < scenarios.size(); ++u) {
      if (!sim->AddUnit(scenarios[u])) {
        std::cerr << "psma-sim: two units at address " << +scenarios[u].unit().address << "\n";
        return 2;
      }
    }
    if (o.trace)
      sim->SetTrace([](const std::string& line) { std::cerr << "psma-sim: " << line << "\n"; });
    sims.push_back(std::move(sim));
  }
  return 0;
}

// Opens what the servers serve on: TCP ports, a given device or a new
// pseudo-terminal (`path` then names the side a host opens), and --link to
// it; 0, or the exit code.
int OpenLines(const Config& o, const korv::HostPort& at, Servers& sims, std::string& path) {
  std::string error;
  auto& sim = *sims.front();
  if (!o.listen.empty()) {
    for (int k = 0; k < o.servers; ++k) {
      const int port = at.port == 0 ? 0 : static_cast<int>(at.port) + k;
      if (!sims[static_cast<std::size_t>(k)]->Listen(at.host, port, error)) {
        std::cerr << "psma-sim: " << error << "\n";
        return 1;
      }
    }
  } else if (o.device.empty()) {
    if (!sim.OpenPty(path, error)) {
      std::cerr << "psma-sim: " << error << "\n";
      return 1;
    }
  } else if (!sim.OpenDevice(o.device, error)) {
    std::cerr << "psma-sim: " << error << "\n";
    return 2;
  } else {
    path = o.device;
  }
  if (!o.link.empty()) {
    ::unlink(o.link.c_str());
    if (::symlink(path.c_str(), o.link.c_str()) != 0) {
      std::cerr << "psma-sim: cannot make the link " << o.link << "\n";
      return 2;
    }
  }
  return 0;
}

// The first lines out: the pseudo-terminal's path, or each server's address.
void Announce(const Config& o, const korv::HostPort& at, const Servers& sims,
              const std::string& path) {
  if (o.listen.empty()) {
    std::cout << path << std::endl;
    return;
  }
  // An IPv6 address in brackets, as the parser wants it back.
  const std::string host = at.host.find(':') != std::string::npos ? "[" + at.host + "]" : at.host;
  for (const auto& s : sims) std::cout << "tcp://" << host << ":" << s->Port() << "\n";
  std::cout << std::flush;
}

}  // namespace

int main(int argc, char** argv) try {
  CLI::App app{
      "psma-sim: simulated PSM-A monitoring units speaking YD/T 1363.3.\n"
      "Serves one unit (or a bus: --unit) on a new pseudo-terminal and prints its path as\n"
      "the first line, or serves on --device, or on TCP (--listen; prints tcp://HOST:PORT\n"
      "for each server). Commands on standard input, after an optional @ADDRESS: drop,\n"
      "corrupt, garbage, delay MS, echo, stray, late MS (the next answer gets that fault),\n"
      "close-on-accept on|off, silent on|off, rtn HEX, length on|off, master on|off,\n"
      "set POINTER JSON, round, stats, quit.",
      "psma-sim"};
  Config o;
  DeclareOptions(app, o);
  CLI11_PARSE(app, argc, argv);

  std::vector<psma_sim::Scenario> scenarios;
  if (const int code = LoadScenarios(o, scenarios)) return code;
  if (o.print_scenario) {
    std::cout << scenarios.front().doc().toStyledString();
    return 0;
  }
  korv::HostPort at;
  if (const int code = ListenAddress(o, at)) return code;

  korv_tools::BlockStopSignals();

  // One thread serves every line.
  psma_sim::SimLoop loop;
  Servers sims;
  if (const int code = MakeServers(o, scenarios, loop, sims)) return code;
  std::string path;
  if (const int code = OpenLines(o, at, sims, path)) return code;
  Announce(o, at, sims, path);
  loop.Start();
  for (auto& s : sims) s->Start();

  // The command reader waits on standard input and cannot be joined: at the
  // end it is shut out under the gate, so no command reaches a server that
  // is being torn down.
  struct Gate {
    std::mutex mutex;
    bool closed = false;
  };
  const auto gate = std::make_shared<Gate>();
  std::thread([&sims, gate] {
    std::string line;
    while (std::getline(std::cin, line)) {
      std::lock_guard<std::mutex> lock(gate->mutex);
      if (gate->closed) return;
      Command(sims, line);
    }
  }).detach();

  korv_tools::WaitForStopSignal();
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->closed = true;
  }
  for (auto& s : sims) s->Stop();
  loop.Stop();
  if (!o.link.empty()) ::unlink(o.link.c_str());
  return 0;
} catch (const std::exception& e) {
  // Nothing below main may end the program with an uncaught exception.
  std::fprintf(stderr, "%s: %s\n", "psma-sim", e.what());
  return 1;
} catch (...) {
  std::fprintf(stderr, "%s: unknown failure\n", "psma-sim");
  return 1;
}
