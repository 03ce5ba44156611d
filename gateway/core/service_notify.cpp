#include "gateway/core/service_notify.h"

#include <fmt/format.h>
#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <ctime>

namespace korv_host {

using Clock = std::chrono::steady_clock;

ServiceNotifier::ServiceNotifier(std::function<bool(std::chrono::milliseconds)> progressing,
                                 std::function<std::size_t()> units)
    : enabled_(std::getenv("NOTIFY_SOCKET") != nullptr),
      progressing_(std::move(progressing)),
      units_(std::move(units)) {}

ServiceNotifier::~ServiceNotifier() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ServiceNotifier::Send(const std::string& state) const {
  if (enabled_) sd_notify(0, state.c_str());
}

std::string ServiceNotifier::Status() {
  const std::size_t units = units_ ? units_() : 0;
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  samples_.emplace_back(now, rounds_);
  while (samples_.size() > 1 && now - samples_[1].first >= std::chrono::minutes(1)) {
    samples_.pop_front();
  }
  const auto& [since, rounds_then] = samples_.front();
  const double minutes = std::chrono::duration<double, std::ratio<60>>(now - since).count();
  const double rate = minutes > 0 ? static_cast<double>(rounds_ - rounds_then) / minutes : 0;
  return fmt::format("{} unit{}, {} answering, {:.0f} rounds a minute", units,
                     units == 1 ? "" : "s", answering_.size(), rate);
}

void ServiceNotifier::Ready() {
  if (!enabled_) return;
  Send("READY=1\nSTATUS=" + Status());
  std::uint64_t usec = 0;
  const std::chrono::microseconds watchdog(sd_watchdog_enabled(0, &usec) > 0 ? usec : 0);
  thread_ = std::thread([this, watchdog] { Run(watchdog); });
}

void ServiceNotifier::Reloading() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  // systemd pairs the reload with the moment it began.
  Send(fmt::format("RELOADING=1\nMONOTONIC_USEC={}",
                   static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
                       static_cast<std::uint64_t>(now.tv_nsec) / 1000));
}

void ServiceNotifier::Reloaded() {
  if (enabled_) Send("READY=1\nSTATUS=" + Status());
}

void ServiceNotifier::Stopping() {
  Send("STOPPING=1");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ServiceNotifier::Run(std::chrono::microseconds watchdog) {
  const auto ping = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog / 2);
  const auto tick = watchdog.count() > 0
                        ? std::min<std::chrono::milliseconds>(ping, kStatusInterval)
                        : std::chrono::milliseconds(kStatusInterval);
  auto status_at = Clock::now() + kStatusInterval;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!cv_.wait_for(lock, tick, [this] { return stopping_; })) {
    lock.unlock();
    // A polling thread held past its chosen wait stops the pings: the
    // service manager's watchdog then fires.
    if (watchdog.count() > 0 && progressing_(ping)) Send("WATCHDOG=1");
    if (Clock::now() >= status_at) {
      Send("STATUS=" + Status());
      status_at += kStatusInterval;
    }
    lock.lock();
  }
}

void ServiceNotifier::OnRound(unsigned, const RoundEvent&) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++rounds_;
}

void ServiceNotifier::OnLinkState(unsigned unit, const LinkEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (event.answering) {
    answering_.insert(unit);
  } else {
    answering_.erase(unit);
  }
}

void ServiceNotifier::OnUnitRemoved(unsigned unit, const UnitRemovedEvent&) {
  std::lock_guard<std::mutex> lock(mutex_);
  answering_.erase(unit);
}

}  // namespace korv_host
