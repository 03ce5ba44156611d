#pragma once
// Serves one simulated unit on a line: a new pseudo-terminal or a given
// serial device. A thread reads requests, answers them from the scenario and
// injects faults on demand: dropped answers, corrupted checksums, garbage
// before the answer, delayed answers, and pacing at the line's byte rate.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "host/serial_port.h"
#include "tools/psma-sim/unit_sim.h"

namespace psma_sim {

enum class FaultKind { kDrop, kCorrupt, kGarbage, kDelay };

// Faults that come back every Nth answer (0: never), and faults at random:
// with probability `rate` an answer gets one fault, its kind drawn evenly
// from drop, corrupt, garbage and delay (by `delay_ms`). `seed` seeds the
// draws and the garbage bytes, so a seed replays the same line.
struct FaultPlan {
  int drop_every = 0;
  int corrupt_every = 0;
  int garbage_every = 0;
  int delay_every = 0;
  int delay_ms = 1500;
  bool pace = false;  // write answers at the line's byte rate
  double rate = 0.0;  // 0..1
  std::uint32_t seed = 1;
};

struct SimStats {
  std::atomic<int> requests{0};
  std::atomic<int> answers{0};  // written, faulty ones included
  std::atomic<int> dropped{0};
  std::atomic<int> corrupted{0};
  std::atomic<int> garbled{0};
  std::atomic<int> delayed{0};
};

class SimServer {
 public:
  SimServer(Scenario scenario, int baud, FaultPlan plan);
  ~SimServer();  // stops
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // A new pseudo-terminal; `path` is the side a host opens.
  bool OpenPty(std::string& path, std::string& error);
  // A serial device.
  bool OpenDevice(const std::string& path, std::string& error);

  void Start();
  void Stop();

  // The next answer gets `kind` (a delay of `delay_ms`); queued in order.
  void Inject(FaultKind kind, int delay_ms = 0);
  // While silent the unit answers nothing at all.
  void SetSilent(bool silent) { silent_.store(silent); }
  // Changes the scenario at a JSON pointer (see Scenario::Set).
  bool Set(const std::string& pointer, const Json::Value& value, std::string& error);
  int Round();
  const SimStats& Stats() const { return stats_; }
  // Where the simulator says what it does (each request and answer).
  void SetTrace(std::function<void(const std::string&)> trace) { trace_ = std::move(trace); }

 private:
  void Run();
  void Serve(const std::vector<std::uint8_t>& answer);
  bool Pause(std::chrono::milliseconds ms);  // false when stopped meanwhile
  bool WriteOut(const std::vector<std::uint8_t>& bytes);

  std::mutex mutex_;  // guards unit_, pending_
  UnitSim unit_;
  std::deque<std::pair<FaultKind, int>> pending_;
  const int baud_;
  const FaultPlan plan_;
  std::mt19937 random_;
  int answer_count_ = 0;

  korv::SerialPort port_;
  int pty_slave_ = -1;  // held open so the master never sees the line hang up
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> silent_{false};
  int wake_[2] = {-1, -1};
  std::chrono::steady_clock::time_point started_;
  SimStats stats_;
  std::function<void(const std::string&)> trace_;
};

}  // namespace psma_sim
