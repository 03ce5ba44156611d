// psma-sim: simulated PSM-A units on a serial line. Serves one unit, or a bus
// of units (--unit), on a new pseudo-terminal (its path is the first line
// printed), on a given device, or on TCP ports as serial device servers do
// (--listen, --servers); answers the command table from a scenario and
// injects faults on demand.
//
// Commands on standard input, one a line, each after an optional @ADDRESS
// naming the unit (else the first unit; on every line served):
//   drop | corrupt | garbage | delay MS     the next answer gets that fault
//   silent on|off                           answer nothing / answer again
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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
  } else if (word == "silent") {
    std::string on;
    in >> on;
    each([&](psma_sim::SimServer& sim) {
      if (address >= 0) return sim.SetSilent(address, on != "off");
      sim.SetSilent(on != "off");
      return true;
    });
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

// "HOST:PORT" into its parts; false when it is not one.
bool SplitHostPort(const std::string& text, std::string& host, int& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = text.substr(0, colon);
  try {
    std::size_t used = 0;
    port = std::stoi(text.substr(colon + 1), &used);
    return used == text.size() - colon - 1 && port >= 0 && port <= 65535;
  } catch (...) {
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) try {
  CLI::App app{
      "psma-sim: simulated PSM-A monitoring units speaking YD/T 1363.3.\n"
      "Serves one unit (or a bus: --unit) on a new pseudo-terminal and prints its path as\n"
      "the first line, or serves on --device, or on TCP (--listen; prints tcp://HOST:PORT\n"
      "for each server). Commands on standard input, after an optional @ADDRESS: drop,\n"
      "corrupt, garbage, delay MS (the next answer gets that fault), silent on|off,\n"
      "set POINTER JSON, round, stats, quit.",
      "psma-sim"};
  std::string scenario_path, device, link, listen;
  std::vector<std::string> unit_options;
  int baud = 9600, address = -1, ac_screens = 1, dc_screens = 1, modules = 3, servers = 1;
  bool trace = false, print_scenario = false;
  psma_sim::FaultPlan plan;
  app.add_option("--scenario", scenario_path,
                 "Scenario file (JSON; see the README). Default: the built-in scenario")
      ->check(CLI::ExistingFile);
  auto* device_option = app.add_option(
      "--device", device, "Serve on this serial device instead of a new pseudo-terminal");
  auto* listen_option =
      app.add_option("--listen", listen,
                     "Serve on TCP at HOST:PORT (an IPv4 address; 127.0.0.1 for the loopback; "
                     "port 0: a free one), one client at a time, as a serial device server does")
          ->excludes(device_option);
  app.add_option("--servers", servers,
                 "With --listen: this many servers on consecutive ports from PORT, each the "
                 "same bus of units")
      ->capture_default_str()
      ->check(CLI::Range(1, 4096))
      ->needs(listen_option);
  app.add_option("--link", link, "Also make a symbolic link PATH to the pseudo-terminal")
      ->excludes(listen_option);
  app.add_option("--baud", baud, "Line rate in baud (for --device and --pace)")
      ->capture_default_str()
      ->check([](const std::string& s) {
        try {
          return korv::IsStandardBaud(std::stoi(s)) ? std::string() : "not a standard rate";
        } catch (...) {
          return std::string("not a number");
        }
      });
  auto* address_option =
      app.add_option("--address", address, "Unit address (overrides the scenario's)")
          ->check(CLI::Range(0, 255));
  app.add_option("--unit", unit_options,
                 "A unit of the bus: ADDRESS[=SCENARIO_FILE] (repeatable). Without a file: "
                 "--scenario's, else the built-in scenario, at that address")
      ->excludes(address_option);
  app.add_option("--ac-screens", ac_screens, "AC screens of the built-in scenario")
      ->capture_default_str()
      ->check(CLI::Range(0, 8));
  app.add_option("--dc-screens", dc_screens, "DC screens of the built-in scenario")
      ->capture_default_str()
      ->check(CLI::Range(0, 3));
  app.add_option("--modules", modules, "Rectifier modules of the built-in scenario")
      ->capture_default_str()
      ->check(CLI::Range(0, 60));
  app.add_option("--drop-every", plan.drop_every, "Drop every Nth answer")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--corrupt-every", plan.corrupt_every, "Corrupt the checksum of every Nth answer")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--garbage-every", plan.garbage_every, "Send garbage before every Nth answer")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--delay-every", plan.delay_every, "Delay every Nth answer by --delay-ms")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--delay-ms", plan.delay_ms, "Delay of delayed answers, milliseconds")
      ->capture_default_str()
      ->check(CLI::Range(0, 600000));
  app.add_flag("--pace", plan.pace, "Write answers at the line's real byte rate");
  app.add_option("--fault-rate", plan.rate,
                 "Give each answer one fault with this probability, its kind drawn at random: "
                 "drop, corrupt, garbage or delay (--delay-ms)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--seed", plan.seed, "Seed of the random faults and the garbage bytes")
      ->capture_default_str();
  app.add_flag("--trace", trace, "Tell every request and answer on standard error");
  app.add_flag("--print-scenario", print_scenario, "Print the scenario in use and exit");
  CLI11_PARSE(app, argc, argv);

  if (unit_options.empty()) unit_options.push_back(address < 0 ? "" : std::to_string(address));
  std::vector<psma_sim::Scenario> scenarios;
  std::string error;
  for (const auto& option : unit_options) {
    const auto eq = option.find('=');
    const std::string file = eq == std::string::npos ? scenario_path : option.substr(eq + 1);
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
                            ? scenario.Load(psma_sim::BuiltInScenario(ac_screens, dc_screens,
                                                                      modules, at < 0 ? 1 : at),
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
  if (print_scenario) {
    std::cout << scenarios.front().doc().toStyledString();
    return 0;
  }
  std::string host;
  int first_port = 0;
  if (!listen.empty() && !SplitHostPort(listen, host, first_port)) {
    std::cerr << "psma-sim: --listen " << listen << ": expected HOST:PORT\n";
    return 2;
  }

  korv_tools::BlockStopSignals();

  // One thread serves every line.
  psma_sim::SimLoop loop;
  Servers sims;
  for (int k = 0; k < servers; ++k) {
    auto sim = std::make_unique<psma_sim::SimServer>(scenarios.front(), baud, plan, &loop);
    for (std::size_t u = 1; u < scenarios.size(); ++u) {
      if (!sim->AddUnit(scenarios[u])) {
        std::cerr << "psma-sim: two units at address " << +scenarios[u].unit().address << "\n";
        return 2;
      }
    }
    if (trace)
      sim->SetTrace([](const std::string& line) { std::cerr << "psma-sim: " << line << "\n"; });
    sims.push_back(std::move(sim));
  }
  std::string path;
  auto& sim = *sims.front();
  if (!listen.empty()) {
    for (int k = 0; k < servers; ++k) {
      if (!sims[static_cast<std::size_t>(k)]->Listen(host, first_port == 0 ? 0 : first_port + k,
                                                     error)) {
        std::cerr << "psma-sim: " << error << "\n";
        return 1;
      }
    }
  } else if (device.empty()) {
    if (!sim.OpenPty(path, error)) {
      std::cerr << "psma-sim: " << error << "\n";
      return 1;
    }
  } else if (!sim.OpenDevice(device, error)) {
    std::cerr << "psma-sim: " << error << "\n";
    return 2;
  } else {
    path = device;
  }
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(path.c_str(), link.c_str()) != 0) {
      std::cerr << "psma-sim: cannot make the link " << link << "\n";
      return 2;
    }
  }
  if (listen.empty()) {
    std::cout << path << std::endl;
  } else {
    for (const auto& s : sims) std::cout << "tcp://" << host << ":" << s->Port() << "\n";
    std::cout << std::flush;
  }
  loop.Start();
  for (auto& s : sims) s->Start();

  std::thread([&sims] {
    std::string line;
    while (std::getline(std::cin, line)) Command(sims, line);
  }).detach();

  korv_tools::WaitForStopSignal();
  for (auto& s : sims) s->Stop();
  loop.Stop();
  if (!link.empty()) ::unlink(link.c_str());
  return 0;
} catch (const std::exception& e) {
  // Nothing below main may end the program with an uncaught exception.
  std::fprintf(stderr, "%s: %s\n", "psma-sim", e.what());
  return 1;
} catch (...) {
  std::fprintf(stderr, "%s: unknown failure\n", "psma-sim");
  return 1;
}
