#pragma once
// Serves a line of simulated units: a new pseudo-terminal, a given serial
// device, or a TCP port as a serial device server offers one. Each unit has
// its own address and scenario; a request for an address no unit has gets no
// answer, as on an RS-485 bus. Faults come on demand: dropped answers,
// corrupted checksums, garbage before the answer, delayed answers, and pacing
// at the line's byte rate. A server runs on its own loop thread, or on one
// loop shared with many others (SimLoop).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "host/serial_port.h"
#include "tools/psma-sim/sim_loop.h"
#include "tools/psma-sim/unit_sim.h"

namespace psma_sim {

// What the next answer gets. kEcho: the request comes back first, as from an
// adapter that echoes what it sends. kStray: a valid frame from the next
// address comes first. kLate: the answer comes after its delay without
// holding back the answers behind it, so it may arrive after the next request.
enum class FaultKind { kDrop, kCorrupt, kGarbage, kDelay, kEcho, kStray, kLate };

// What a unit keeps doing until told otherwise (value 0: stop). kReturnCode:
// every answer carries that return code and no INFO. kBadLength: every
// answer's LENGTH says two characters more than it holds, its length and
// frame checksums right. kMaster: another master's request to the unit (a
// valid frame, CID2 a command) comes before every answer.
enum class Habit { kReturnCode, kBadLength, kMaster };

// Faults that come back every Nth answer of the line (0: never), and faults
// at random: with probability `rate` an answer gets one fault, its kind drawn
// evenly from drop, corrupt, garbage and delay (by `delay_ms`). `seed` seeds
// the draws and the garbage bytes, so a seed replays the same line.
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

// Counts of the whole line.
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
  // A line with the unit of `scenario` as its first unit. Without `loop` the
  // server runs its own thread from Start() to Stop(); with one, it is served
  // by that loop (which must outlive it).
  SimServer(Scenario scenario, int baud, FaultPlan plan, SimLoop* loop = nullptr);
  ~SimServer();  // stops
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Another unit on the line; false when a unit already has its address.
  bool AddUnit(Scenario scenario);

  // A new pseudo-terminal; `path` is the side a host opens.
  bool OpenPty(std::string& path, std::string& error);
  // A serial device.
  bool OpenDevice(const std::string& path, std::string& error);
  // A TCP port on `host` (an IPv4 or IPv6 address), port 0 for a free one: Port()
  // tells which. One client at a time: a new one replaces the old.
  bool Listen(const std::string& host, int port, std::string& error);
  int Port() const { return tcp_port_; }

  // Serves until Stop(). On TCP, Stop() closes the port and the client and
  // Start() binds the same port again (false when it cannot, `error` says why).
  bool Start(std::string* error = nullptr);
  void Stop();

  // The calls below act on the first unit, or on the unit at `address`
  // (false when the line has none).
  // The next answer gets `kind` (a delay of `delay_ms`); queued in order.
  void Inject(FaultKind kind, int delay_ms = 0);
  bool Inject(int address, FaultKind kind, int delay_ms);
  // While set, each client of a TCP port is closed as soon as it connects,
  // as a serial device server does whose device is gone.
  void SetCloseOnAccept(bool close) { close_on_accept_.store(close); }
  // While silent the unit answers nothing at all.
  void SetSilent(bool silent);
  bool SetSilent(int address, bool silent);
  // Sets a habit of the first unit, or of the unit at `address` (>= 0).
  bool SetHabit(int address, Habit habit, int value);
  // Changes the scenario at a JSON pointer (see Scenario::Set).
  bool Set(const std::string& pointer, const Json::Value& value, std::string& error);
  bool Set(int address, const std::string& pointer, const Json::Value& value, std::string& error);
  // Rounds the unit has begun (-1 for no such unit).
  int Round();
  int Round(int address);

  const SimStats& Stats() const { return stats_; }
  // Where the simulator says what it does (each request and answer); set it
  // before Start().
  void SetTrace(std::function<void(const std::string&)> trace) { trace_ = std::move(trace); }

 private:
  struct Served {
    explicit Served(Scenario s) : sim(std::move(s)) {}
    UnitSim sim;
    std::deque<std::pair<FaultKind, int>> pending;
    bool silent = false;
    std::uint8_t return_code = 0;
    bool bad_length = false, master = false;
  };
  struct Chunk {
    SimLoop::Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    bool ends_answer;
    bool late;  // queued out of order (FaultKind::kLate)
  };

  Served* Find(int address);  // under mutex_
  // On the loop's thread:
  void Arm();
  void Disarm();
  void OnLine();
  void OnAccept();
  void DropClient();
  void Take(const std::uint8_t* data, std::size_t n);
  // Queues bytes after `delay`, behind what still waits unless `out_of_order`.
  void Queue(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay,
             bool out_of_order = false);
  void Flush();
  bool BindTcp(std::string& error);

  mutable std::mutex mutex_;  // guards units_ and what is in them
  std::vector<std::unique_ptr<Served>> units_;
  const int baud_;
  const FaultPlan plan_;

  std::unique_ptr<SimLoop> own_loop_;
  SimLoop* loop_;
  // The loop's thread's own from here on.
  std::mt19937 random_;
  int answer_count_ = 0;
  korv::SerialPort port_;
  int pty_slave_ = -1;  // held open so the master never sees the line hang up
  std::string tcp_host_;
  int tcp_port_ = -1;
  int listen_fd_ = -1;
  int client_fd_ = -1;
  std::uint64_t line_watch_ = 0, listen_watch_ = 0, flush_timer_ = 0, retry_timer_ = 0;
  bool armed_ = false;
  yd1363::Decoder decoder_;
  // The characters after the last SOI, enough for the address of a request
  // that turns out broken.
  std::uint8_t head_[4] = {};
  unsigned head_len_ = 0;
  std::deque<Chunk> out_;
  SimLoop::Clock::time_point started_;
  SimStats stats_;
  std::function<void(const std::string&)> trace_;
  std::atomic<bool> close_on_accept_{false};
};

}  // namespace psma_sim
