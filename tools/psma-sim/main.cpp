// psma-sim: a simulated PSM-A unit on a serial line. Serves one unit on a new
// pseudo-terminal (its path is the first line printed) or on a given device,
// answers the command table from a scenario and injects faults on demand.
//
// Commands on standard input, one a line:
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
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "host/serial_port.h"
#include "tools/common/stop_signals.h"
#include "tools/psma-sim/sim_server.h"

namespace {

void Command(psma_sim::SimServer& sim, const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  if (word.empty()) return;
  if (word == "drop") {
    sim.Inject(psma_sim::FaultKind::kDrop);
  } else if (word == "corrupt") {
    sim.Inject(psma_sim::FaultKind::kCorrupt);
  } else if (word == "garbage") {
    sim.Inject(psma_sim::FaultKind::kGarbage);
  } else if (word == "delay") {
    int ms = 0;
    if (!(in >> ms) || ms < 0) {
      std::cerr << "psma-sim: delay needs milliseconds\n";
      return;
    }
    sim.Inject(psma_sim::FaultKind::kDelay, ms);
  } else if (word == "silent") {
    std::string on;
    in >> on;
    sim.SetSilent(on != "off");
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
    if (!sim.Set(pointer, value, error)) std::cerr << "psma-sim: set: " << error << "\n";
  } else if (word == "round") {
    std::cerr << "psma-sim: round " << sim.Round() << "\n";
  } else if (word == "stats") {
    const auto& s = sim.Stats();
    std::cerr << "psma-sim: requests " << s.requests << ", answers " << s.answers << ", dropped "
              << s.dropped << ", corrupted " << s.corrupted << ", garbled " << s.garbled
              << ", delayed " << s.delayed << "\n";
  } else if (word == "quit") {
    ::kill(::getpid(), SIGTERM);
  } else {
    std::cerr << "psma-sim: unknown command \"" << word << "\"\n";
  }
}

}  // namespace

int main(int argc, char** argv) try {
  CLI::App app{
      "psma-sim: a simulated PSM-A monitoring unit speaking YD/T 1363.3.\n"
      "Serves one unit on a new pseudo-terminal and prints its path as the first line,\n"
      "or serves on --device. Commands on standard input: drop, corrupt, garbage,\n"
      "delay MS (the next answer gets that fault), silent on|off, set POINTER JSON,\n"
      "round, stats, quit.",
      "psma-sim"};
  std::string scenario_path, device, link;
  int baud = 9600, address = -1, ac_screens = 1, dc_screens = 1, modules = 3;
  bool trace = false, print_scenario = false;
  psma_sim::FaultPlan plan;
  app.add_option("--scenario", scenario_path,
                 "Scenario file (JSON; see the README). Default: the built-in scenario")
      ->check(CLI::ExistingFile);
  app.add_option("--device", device,
                 "Serve on this serial device instead of a new pseudo-terminal");
  app.add_option("--link", link, "Also make a symbolic link PATH to the pseudo-terminal");
  app.add_option("--baud", baud, "Line rate in baud (for --device and --pace)")
      ->capture_default_str()
      ->check([](const std::string& s) {
        try {
          return korv::IsStandardBaud(std::stoi(s)) ? std::string() : "not a standard rate";
        } catch (...) {
          return std::string("not a number");
        }
      });
  app.add_option("--address", address, "Unit address (overrides the scenario's)")
      ->check(CLI::Range(0, 255));
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

  psma_sim::Scenario scenario;
  std::string error;
  const bool loaded = scenario_path.empty()
                          ? scenario.Load(psma_sim::BuiltInScenario(ac_screens, dc_screens, modules,
                                                                    address < 0 ? 1 : address),
                                          error)
                          : scenario.LoadFile(scenario_path, error);
  if (!loaded) {
    std::cerr << "psma-sim: scenario " << error << "\n";
    return 2;
  }
  if (address >= 0 && !scenario.Set("/address", address, error)) {
    std::cerr << "psma-sim: " << error << "\n";
    return 2;
  }
  if (print_scenario) {
    std::cout << scenario.doc().toStyledString();
    return 0;
  }

  korv_tools::BlockStopSignals();

  psma_sim::SimServer sim(scenario, baud, plan);
  if (trace)
    sim.SetTrace([](const std::string& line) { std::cerr << "psma-sim: " << line << "\n"; });
  std::string path;
  if (device.empty()) {
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
  std::cout << path << std::endl;
  sim.Start();

  std::thread([&sim] {
    std::string line;
    while (std::getline(std::cin, line)) Command(sim, line);
  }).detach();

  korv_tools::WaitForStopSignal();
  sim.Stop();
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
