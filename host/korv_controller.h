#pragma once
// The host's controller: renders log lines, keeps the alarm state, runs the
// threshold worker and forwards every host service call to its observer.

#include <fmt/format.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

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
  // Tells a device's log line to the observer. With a repeat window set, a
  // line identical to the device's last one told, within the window of it,
  // is held and counted instead; the count is told as
  // "<line> (repeated N times)" before the device's next different line, or
  // at the first log line of any device (or FlushRepeats) once the window
  // has passed. No line is lost: each is told, or counted in a line that is
  // told. Without a window (the default) every line is told as it comes.
  void Log(unsigned device, const std::string& line);
  // The repeat window in whole seconds of the local clock; 0 turns it off
  // (and tells what is held).
  void SetRepeatWindow(std::int64_t seconds);
  std::int64_t RepeatWindow() const;
  // Tells every held count now (the controller's end does it too).
  void FlushRepeats();

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
  // the controller's own thread. An exception from an item is logged. Items
  // run in batches: what comes within kWorkBatch of the first runs with it,
  // so that many units' rounds cost the worker one wake, not one an item.
  void SubmitWork(unsigned device, std::function<void()> item);
  // Blocks until every item submitted before the call has run.
  void DrainWork();
  std::thread::id WorkerThreadId() const;
  static constexpr std::chrono::milliseconds kWorkBatch{20};

  void SetObserver(std::shared_ptr<korv::HostObserver> observer);
  std::shared_ptr<korv::HostObserver> Observer() const;

 private:
  void WorkerLoop();
  // The last line told of a device, and the copies of it held since.
  struct LastLine {
    std::string line;
    std::int64_t since = 0;  // when it was told, in local epoch seconds
    unsigned held = 0;
  };
  // Takes the held counts whose window has passed (all with `all`) out of
  // last_lines_, as the lines that tell them; log_mutex_ is held.
  void TakeDueRepeats(std::int64_t now, bool all,
                      std::vector<std::pair<unsigned, std::string>>& out);

  mutable std::mutex log_mutex_;
  std::int64_t repeat_window_ = 0;
  std::map<unsigned, LastLine> last_lines_;

  mutable std::mutex observer_mutex_;
  std::shared_ptr<korv::HostObserver> observer_;

  mutable std::mutex alarm_mutex_;
  // Transparent, so a lookup needs no copy of the key and description.
  std::map<std::tuple<unsigned, std::string, std::string>, std::uint8_t, std::less<>> alarms_;

  std::mutex work_mutex_;
  std::condition_variable work_cv_;
  std::condition_variable idle_cv_;
  // A ring of queued items: it keeps its room, so a steady stream of items
  // allocates nothing (a deque takes and frees a block every few items).
  std::vector<std::function<void()>> work_;
  std::size_t work_head_ = 0;   // the oldest queued item
  std::size_t work_count_ = 0;  // items queued
  std::uint64_t submitted_ = 0;
  std::uint64_t finished_ = 0;
  bool stopping_ = false;
  bool worker_idle_ = false;  // the worker waits for a first item
  unsigned draining_ = 0;     // DrainWork calls waiting: no batch window then
  std::thread worker_;
};
