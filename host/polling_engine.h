#pragma once
// The host's polling engine: one thread per serial port that drives the
// unit's root device. It polls the root (RefreshStatus) whenever no exchange
// is outstanding, reads the line with a timeout, feeds what arrives to the
// root's protocol layer and times out answers that do not come.
//
// After a timeout the engine waits for the line to fall silent (discarding
// what arrives, a late answer above all) before the next request, so an
// answer late by up to the settling time is not taken for the answer to the
// next request (a later one can be: nothing yet pairs answers with
// requests beyond the root's check of the group). After a refused
// answer the root is not polled before its RetryAt(). A port that
// fails is closed, reported once and opened again every reopen interval.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "host/pmbus_protocol.h"
#include "host/serial_port.h"

namespace korv {

class PollingEngine {
 public:
  struct Options {
    std::string port;                                 // device path
    int baud = 0;                                     // 0: the root's own rate
    std::chrono::milliseconds poll_interval{100};     // between polls while idle
    std::chrono::milliseconds reopen_interval{1000};  // after the port failed
    // Start() sets the root's controller's repeat window to this, so that a
    // unit repeating itself does not flood the log (see KorvController::Log);
    // 0 leaves the controller as it is.
    std::int64_t log_repeat_window_s = 60;
  };

  PollingEngine(std::shared_ptr<PMBusProtocol> root, Options options);
  ~PollingEngine();  // stops
  PollingEngine(const PollingEngine&) = delete;
  PollingEngine& operator=(const PollingEngine&) = delete;

  // Opens the port; false with `error` naming the problem.
  bool Open(std::string& error);
  // Starts the polling thread (opens the port first when it is not open;
  // the thread keeps trying when that fails).
  void Start();
  // Wakes the thread and waits for it to end; the root's line is detached.
  // Safe to call more than once.
  void Stop();

  const std::string& Port() const { return options_.port; }

 private:
  void Run();
  void Report(const std::string& text) const;
  int Baud() const;

  std::shared_ptr<PMBusProtocol> root_;
  Options options_;
  SerialPort port_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  int wake_[2] = {-1, -1};
};

}  // namespace korv
