// The round on a real line: the plug-in and the host's polling engine against
// the unit simulator pacing its answers at 9600 baud on a pseudo-terminal.
// Reports each round's wall time beside the line's floor for the same round
// (every character of requests and answers at 960 characters a second, plus
// the 20 ms the plug-in waits per answer), and the resident memory a
// configured unit costs.
//
//   wire_bench [--rounds N]

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/polling_engine.h"
#include "realistic_unit.h"
#include "tools/psma-sim/sim_server.h"
#include "tools/psma-sim/unit_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kCharsPerSecond = 960.0;  // 9600 baud, 10 bits a character
constexpr double kAnswerPause = 0.020;     // the plug-in's pause per answer

// The unit of the in-process benchmarks, as a simulator scenario.
Json::Value Scenario() {
  Json::Value doc = psma_sim::BuiltInScenario(2, 2, 8, 1);
  doc.removeMember("phases");
  doc["ac"][1]["channels"].append(doc["ac"][1]["channels"][0]);
  for (auto& dc : doc["dc"]) dc["fuse_count"] = 64;
  Json::Value flags;
  flags["ac"] = 0x11;
  flags["rc"] = 0x11;
  flags["dc"] = 0x11;
  doc["data_flags"] = flags;
  return doc;
}

// Times each round from its first request to the end of its exchange, and
// adds up the characters the round put on the line.
class RoundTimer : public korv::HostObserver {
 public:
  explicit RoundTimer(psma_sim::UnitSim sizes) : sizes_(std::move(sizes)) {}

  void OnRequest(unsigned, std::uint8_t cid1, std::uint8_t cid2,
                 const std::vector<std::uint8_t>& info) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cid1 == 0x40 && cid2 == 0x51) return;  // identification: before the rounds
    if (!in_round_) {
      in_round_ = true;
      start_ = Clock::now();
      request_chars_ = 0;
      answer_chars_ = 0;
      answers_ = 0;
    }
    request_chars_ += 18 + 2 * info.size();
    answer_chars_ += 18 + 2 * sizes_.Info(cid1, cid2, 0).size();
    ++answers_;
  }
  void OnReset(unsigned) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!in_round_) return;
    in_round_ = false;
    const double wall = std::chrono::duration<double>(Clock::now() - start_).count();
    const double pauses = kAnswerPause * answers_;
    rounds_.push_back({wall, (request_chars_ + answer_chars_) / kCharsPerSecond + pauses,
                       answer_chars_ / kCharsPerSecond + pauses, answers_,
                       request_chars_ + answer_chars_});
  }
  void OnLinkError(unsigned, yd1363::Fault, const std::string& reason) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(reason);
  }

  // floor: every character at the line rate plus the pauses; paced: what
  // the simulator paces on a pseudo-terminal (the answers) plus the pauses,
  // since the host's requests cross a pseudo-terminal at once.
  struct Round {
    double wall, floor, paced;
    int answers;
    std::size_t chars;
  };
  std::vector<Round> Rounds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_;
  }
  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }

 private:
  std::mutex mutex_;
  psma_sim::UnitSim sizes_;
  bool in_round_ = false;
  Clock::time_point start_;
  std::size_t request_chars_ = 0;
  std::size_t answer_chars_ = 0;
  int answers_ = 0;
  std::vector<Round> rounds_;
  std::vector<std::string> errors_;
};

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Resident memory per configured unit: many identified roots, each through
// two rounds (records, lists and history blocks made), in this process.
void MemoryPerUnit() {
  constexpr int kUnits = 64;
  auto controller = std::make_shared<KorvController>();
  bench_support::RealisticUnit unit;
  const auto settings = bench_support::RealisticSettings();
  std::vector<std::shared_ptr<Psma>> roots;
  const int saved = dup(STDOUT_FILENO);  // the plug-in's trace lines are not the report
  std::FILE* null = std::freopen("/dev/null", "w", stdout);
  const long before = ResidentKiB();
  for (int k = 0; k < kUnits; ++k) {
    auto root = std::make_shared<Psma>();
    root->Init(controller, static_cast<unsigned>(k + 1), settings);
    root->InitSetting(settings);
    root->SetAnswerDelay(std::chrono::milliseconds(0));
    unit.RunRound(*root);
    root->SetLastUpdate(korv::LocalNow() - boost::posix_time::seconds(2));
    unit.RunRound(*root);
    roots.push_back(root);
  }
  controller->DrainWork();
  const long after = ResidentKiB();
  std::fflush(stdout);
  if (null != nullptr && saved >= 0) {
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }
  std::printf("memory: %.1f KiB resident per configured unit (%d units of 2 AC, 2 DC, 8 modules)\n",
              static_cast<double>(after - before) / kUnits, kUnits);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  for (int k = 1; k + 1 < argc; ++k) {
    if (std::strcmp(argv[k], "--rounds") == 0) rounds = std::atoi(argv[k + 1]);
  }
  if (rounds < 1) rounds = 1;

  psma_sim::Scenario scenario;
  std::string error;
  if (!scenario.Load(Scenario(), error)) {
    std::fprintf(stderr, "wire_bench: scenario: %s\n", error.c_str());
    return 2;
  }
  psma_sim::FaultPlan plan;
  plan.pace = true;
  psma_sim::SimServer sim(scenario, 9600, plan);
  std::string path;
  if (!sim.OpenPty(path, error)) {
    std::fprintf(stderr, "wire_bench: %s\n", error.c_str());
    return 2;
  }
  sim.Start();

  auto timer = std::make_shared<RoundTimer>(psma_sim::UnitSim(scenario));
  auto controller = std::make_shared<KorvController>();
  controller->SetObserver(timer);
  auto root = std::make_shared<Psma>();
  const auto settings = bench_support::RealisticSettings();
  root->Init(controller, 1, settings);
  root->InitSetting(settings);

  const int saved = dup(STDOUT_FILENO);
  std::FILE* null = std::freopen("/dev/null", "w", stdout);
  korv::PollingEngine::Options options;
  options.port = path;
  korv::PollingEngine engine(root, options);
  if (!engine.Open(error)) {
    std::fprintf(stderr, "wire_bench: %s\n", error.c_str());
    return 2;
  }
  engine.Start();
  const auto deadline = Clock::now() + std::chrono::seconds(10 * rounds + 20);
  while (static_cast<int>(timer->Rounds().size()) < rounds && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  engine.Stop();
  sim.Stop();
  controller->DrainWork();
  std::fflush(stdout);
  if (null != nullptr && saved >= 0) {
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }

  const auto measured = timer->Rounds();
  if (measured.empty()) {
    std::fprintf(stderr, "wire_bench: no round completed\n");
    return 1;
  }
  std::printf("wire: 9600 baud pseudo-terminal, simulator pacing at the line rate\n");
  std::printf("%-6s %8s %8s %8s %8s %8s %12s\n", "round", "answers", "chars", "wall_s", "floor_s",
              "paced_s", "wall/paced");
  double wall = 0, floor = 0, paced = 0;
  for (std::size_t k = 0; k < measured.size(); ++k) {
    const auto& r = measured[k];
    std::printf("%-6zu %8d %8zu %8.3f %8.3f %8.3f %12.3f\n", k + 1, r.answers, r.chars, r.wall,
                r.floor, r.paced, r.wall / r.paced);
    wall += r.wall;
    floor += r.floor;
    paced += r.paced;
  }
  const double n = static_cast<double>(measured.size());
  std::printf("mean   %8s %8s %8.3f %8.3f %8.3f %12.3f\n", "", "", wall / n, floor / n, paced / n,
              wall / paced);
  std::printf(
      "(floor: requests and answers at 960 characters/s + 20 ms per answer; paced: the\n"
      " answers only, as the simulator paces them, + 20 ms per answer)\n");
  for (const auto& e : timer->Errors()) std::printf("link error: %s\n", e.c_str());
  MemoryPerUnit();
  return 0;
}
