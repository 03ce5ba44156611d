#pragma once
// The host's controller: renders log lines, keeps the alarm state, runs the
// threshold worker and forwards every host service call to its observer.

#include <fmt/format.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>

#include "host/host_observer.h"

class KorvController {
 public:
  KorvController();
  virtual ~KorvController();  // drains the worker, then stops it
  KorvController(const KorvController&) = delete;
  KorvController& operator=(const KorvController&) = delete;

  // Renders `format` with its "{}" placeholders and hands the line to Log().
  // A format that does not fit its values is logged as it stands.
  template <typename... Args>
  void InfoLog(unsigned device, const std::string& format, const Args&... args) {
    std::string line;
    try {
      line = fmt::format(fmt::runtime(format), args...);
    } catch (const fmt::format_error&) {
      line = format;
    }
    Log(device, line);
  }
  void Log(unsigned device, const std::string& line);

  // Alarm state: one alarm is (device, key, description). A bool check is
  // raised when it turns active and cleared when it turns inactive; a state
  // table check is raised on every change to a non-zero state and cleared on
  // the return to 0. The first check of an alarm that is not active changes
  // nothing.
  korv::AlarmTransition Check(korv::AlarmCheck check);
  // The state change alone, for a check nobody observes: `state` is 0 for an
  // inactive alarm, else its state value (1 for a bool check).
  korv::AlarmTransition UpdateAlarm(unsigned device, const std::string& key,
                                    const std::string& description, std::uint8_t state);
  // Whether an alarm is currently raised.
  bool IsRaised(unsigned device, const std::string& key, const std::string& description) const;

  // Threshold worker: items run one after another, in submission order, on
  // the controller's own thread. An exception from an item is logged.
  void SubmitWork(unsigned device, std::function<void()> item);
  // Blocks until every item submitted before the call has run.
  void DrainWork();
  std::thread::id WorkerThreadId() const;

  void SetObserver(std::shared_ptr<korv::HostObserver> observer);
  std::shared_ptr<korv::HostObserver> Observer() const;

 private:
  void WorkerLoop();

  mutable std::mutex observer_mutex_;
  std::shared_ptr<korv::HostObserver> observer_;

  mutable std::mutex alarm_mutex_;
  // Transparent, so a lookup needs no copy of the key and description.
  std::map<std::tuple<unsigned, std::string, std::string>, std::uint8_t, std::less<>> alarms_;

  std::mutex work_mutex_;
  std::condition_variable work_cv_;
  std::condition_variable idle_cv_;
  std::deque<std::function<void()>> work_;
  std::uint64_t submitted_ = 0;
  std::uint64_t finished_ = 0;
  bool stopping_ = false;
  std::thread worker_;
};
