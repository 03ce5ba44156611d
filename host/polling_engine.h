#pragma once
// The host's polling engine: one thread per line (a serial port, or a
// connection to a serial device server) that drives the units on it. A line
// may carry several units, told apart by their address (an RS-485 bus): one
// exchange is in flight on it at a time, and the units whose poll is due take
// turns in a fixed rotation, each paced by its own root (RefreshStatus sends
// nothing while the unit's round is not due). What arrives is fed to the
// unit asked, and answers that do not come are timed out.
//
// The thread sleeps until something is due: an answer, the deadline of the
// exchange, the end of a unit's wait after a refusal or timeout, or its
// phase in the next second of the clock (the roots pace their rounds in
// whole seconds); at most one poll interval.
//
// After any fault (a timeout, a broken frame, a return code) the engine waits
// for the line to fall silent (discarding what arrives, a late answer or the
// rest of a broken one) before the next request, so an answer late by up to
// the settling time is not taken for the answer to the next request (a
// later one can be: nothing yet pairs answers with requests beyond the
// root's check of the group and address). After a timeout that heard nothing
// at all, another unit may be asked during that wait: a late answer carries
// the silent unit's address and is refused by it. After a refused answer a root is
// not polled before its RetryAt(). Units told not answering share one probe
// per PMBusProtocol::kLostRetry on the line, however many they are. A line that fails (it cannot be
// opened, it ends, or every unit on it falls silent) is closed, reported once (each of its units
// told not answering) and opened again after a wait that doubles from the reopen interval up to its
// cap; only a valid frame brings the wait back, and the first one tells the line back with the
// count of failed attempts.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/line.h"
#include "host/pmbus_protocol.h"

namespace korv {

class PollingEngine {
 public:
  struct Options {
    std::string port;  // device path, or "tcp://HOST:PORT" (a serial device server)
    int baud = 0;      // 0: the first unit's own rate
    std::chrono::milliseconds poll_interval{1000};  // longest sleep while idle
    // Where in each second of the wall clock the idle line looks for due
    // units (0..999 ms); the runner spreads its lines over the second.
    std::chrono::milliseconds phase{0};
    std::chrono::milliseconds reopen_interval{1000};  // first wait after the line failed
    std::chrono::milliseconds max_reopen_interval{30000};
    std::chrono::milliseconds connect_timeout{3000};  // a serial device server's connection
    // Start() sets the units' controller's repeat window to this, so that a
    // unit repeating itself does not flood the log (see KorvController::Log);
    // 0 leaves the controller as it is.
    std::int64_t log_repeat_window_s = 60;
  };

  // The units on the line, in the order they take turns.
  PollingEngine(std::vector<std::shared_ptr<PMBusProtocol>> units, Options options);
  PollingEngine(std::shared_ptr<PMBusProtocol> unit, Options options);
  ~PollingEngine();  // stops
  PollingEngine(const PollingEngine&) = delete;
  PollingEngine& operator=(const PollingEngine&) = delete;

  // Opens the line; false with `error` naming the problem.
  bool Open(std::string& error);
  // Starts the polling thread (opens the line first when it is not open;
  // the thread keeps trying when that fails).
  void Start();
  // Wakes the thread and waits for it to end; the units' line is detached.
  // Safe to call more than once.
  void Stop();

  const std::string& Port() const { return options_.port; }
  // When the polling thread is due back from the wait it chose (a read of
  // the line up to an answer's deadline or the next due unit, a sleep before
  // the line is opened again, a connection attempt). Past it, the thread is
  // held by something it did not choose to wait for: a watchdog's measure.
  std::chrono::steady_clock::time_point BackBy() const;

 private:
  void Run();
  // Polls the due units in turn, the answering ones first: a failing unit
  // (one that timed out and has not answered since, or is told lost) is asked
  // when no answering unit is due, or first once every answering unit had a
  // turn since the last failing one; so failing units, however many, take
  // one exchange of the line between two rounds of a unit that answers, never
  // their whole retries while its round is due. The one that sent a request,
  // or null; `skip` is not polled.
  PMBusProtocol* PollNext(std::chrono::steady_clock::time_point now,
                          const PMBusProtocol* skip = nullptr);
  // Whether a unit is not told lost and has no timeout since its last frame.
  static bool Healthy(const PMBusProtocol& unit);
  // How long the thread may sleep while no exchange is in flight.
  std::chrono::milliseconds IdleWait(std::chrono::steady_clock::time_point now) const;
  void Report(const std::string& text) const;
  bool Sleep(std::chrono::milliseconds wait) const;  // false when stopped meanwhile
  // Timeouts in a row, with no valid frame from any unit, after which the
  // line is taken for lost.
  unsigned SilentLine() const;
  static constexpr unsigned kSilentTimeouts = 6;
  int Baud() const;
  void WaitsFor(std::chrono::milliseconds wait);  // sets BackBy

  std::vector<std::shared_ptr<PMBusProtocol>> units_;
  Options options_;
  std::unique_ptr<Line> line_;
  std::size_t next_ = 0;          // the unit whose turn is next
  std::size_t next_failing_ = 0;  // the same among the failing units
  // When the next unit told not answering may be asked (one a kLostRetry).
  std::chrono::steady_clock::time_point probe_at_{};
  // Which units had a turn since a failing unit's last one.
  std::vector<bool> turned_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::chrono::steady_clock::rep> back_by_{0};
  int wake_[2] = {-1, -1};
};

}  // namespace korv
