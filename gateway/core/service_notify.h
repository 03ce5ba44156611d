#pragma once
// korv-host under systemd (Type=notify): it tells the service manager when
// its site is set up (READY=1), what it is doing (STATUS=: units, how many
// answer, rounds a minute), and pings the watchdog (WATCHDOG=1) only while
// every polling thread progresses, so a hung line lets the watchdog fire.
// Without NOTIFY_SOCKET in the environment it sends nothing and runs no
// thread.
//
// It is an Output as well: the rounds and link states it counts reach it as
// events, on the polling threads; its own thread only reads the counts.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "gateway/outputs/output.h"

namespace korv_host {

class ServiceNotifier final : public Output {
 public:
  // `progressing(grace)`: whether every polling thread is back from its
  // chosen wait, or at most `grace` late (Runner::Progressing).
  // `units()`: how many units the site has.
  ServiceNotifier(std::function<bool(std::chrono::milliseconds)> progressing,
                  std::function<std::size_t()> units);
  ~ServiceNotifier() override;  // stops
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // The site is set up and polls: READY=1 with the first STATUS=; then the
  // thread sends STATUS= every kStatusInterval and, when the service has a
  // watchdog (WATCHDOG_USEC), WATCHDOG=1 at half its interval while polling
  // progresses (the grace for a thread's wait is that half interval too).
  void Ready();
  // A reload starts (RELOADING=1) and ends (READY=1 and STATUS=).
  void Reloading();
  void Reloaded();
  // STOPPING=1; the thread ends.
  void Stopping();

  // The STATUS= text: "N units, M answering, R rounds a minute".
  std::string Status();

  void OnRound(unsigned unit, const RoundEvent& event) override;
  void OnLinkState(unsigned unit, const LinkEvent& event) override;
  void OnUnitRemoved(unsigned unit, const UnitRemovedEvent& event) override;

  static constexpr std::chrono::seconds kStatusInterval{10};

 private:
  void Run(std::chrono::microseconds watchdog);
  void Send(const std::string& state) const;

  const bool enabled_;  // NOTIFY_SOCKET is set
  std::function<bool(std::chrono::milliseconds)> progressing_;
  std::function<std::size_t()> units_;

  std::mutex mutex_;  // guards what follows
  std::condition_variable cv_;
  bool stopping_ = false;
  std::set<unsigned> answering_;
  std::uint64_t rounds_ = 0;
  // (when, rounds_ then) at each status, the last minute's: the rate.
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>> samples_;
  std::thread thread_;
};

}  // namespace korv_host
