#pragma once
// korv-host's notification command (--notify-exec): a program run for each
// alarm raise and clear and each change of a unit's link, so that a site can
// mail or page without a broker.
//
// The program is started directly (posix_spawn, no shell) with one
// argument, the event's kind, and an environment of its own:
//
//   KORV_EVENT        alarm-raised, alarm-cleared, link-lost, link-regained,
//                     link-no-round (answering, but completing no round)
//   KORV_UNIT         the unit's data id
//   KORV_AT           when it happened, UTC (RFC 3339, milliseconds)
//   alarms:           KORV_DEVICE, KORV_DEVICE_TYPE, KORV_KEY, KORV_CODE,
//                     KORV_LEVEL, KORV_NAME, KORV_DESCRIPTION, KORV_SEQ, and
//                     KORV_STATE_TEXT for an alarm of a state table
//   links:            KORV_LINK_TEXT
//   PATH=/usr/sbin:/usr/bin:/sbin:/bin and LANG=C.UTF-8, and nothing else of
//   korv-host's own environment (a broker's password stays in korv-host).
//
// What the unit told is shown, never obeyed: each text reaches the program as
// a value only, its control characters escaped (as korv-host's lines escape
// them) and cut past kValueLongest bytes. A unit's first contact is no
// change; its contact back after a loss (or its rounds back) is.
//
// The program's standard input is /dev/null, its standard output and error
// are korv-host's standard error (the journal under systemd); no other
// descriptor of korv-host reaches it. It runs in a process group of its own,
// with no signal blocked or ignored.
//
// The polling never waits: each On... call only queues and returns. One
// thread of this output runs one program at a time, waits for it at most
// `timeout`, then ends its process group (SIGTERM, SIGKILL after
// `kill_grace`). A failure (a status not 0, a signal, the timeout, a program
// that cannot start) is told once per kind, then only counted and told as a
// count at most every `retell`, and once more when the program succeeds
// again; notifications dropped from a full queue likewise.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/outputs/output.h"

namespace korv_host {

struct ExecSettings {
  std::string command;  // the program's path
  std::chrono::milliseconds timeout{10000};
  std::chrono::milliseconds kill_grace{1000};  // from SIGTERM to SIGKILL
  // At a stop, what waits may run this long; what is left is told, counted.
  std::chrono::milliseconds stop_grace{2000};
  std::chrono::milliseconds retell{std::chrono::minutes(10)};
  std::size_t queue_limit = 1000;  // notifications waiting at most
  // Where the output tells its failures (one line each, "exec: ...", with
  // its syslog priority): korv_host::Say when empty.
  std::function<void(int priority, const std::string& line)> tell;
};

// The longest value of a text from a unit in the program's environment.
constexpr std::size_t kValueLongest = 1000;

class ExecOutput final : public Output {
 public:
  explicit ExecOutput(ExecSettings settings);
  // Stop().
  ~ExecOutput() override;
  ExecOutput(const ExecOutput&) = delete;
  ExecOutput& operator=(const ExecOutput&) = delete;

  // Starts the thread that runs the program. False with a one-line `error`
  // when the command is no executable file.
  bool Start(std::string& error);
  // What waits gets `stop_grace`, a program running then is ended; what is
  // left is told ("exec: N notifications not run").
  void Stop();

  void OnAlarm(unsigned unit, const AlarmEvent& event) override;
  void OnLinkState(unsigned unit, const LinkEvent& event) override;
  void OnUnitRemoved(unsigned unit, const UnitRemovedEvent& event) override;

  struct Counts {
    std::uint64_t sent = 0;     // programs that exited with status 0
    std::uint64_t failed = 0;   // every other end, and programs not started
    std::uint64_t dropped = 0;  // from a full queue
    std::size_t waiting = 0;    // queued, or running
  };
  Counts Counted() const;
  // Waits until nothing waits, or `limit` passed; true when nothing waits.
  bool Drain(std::chrono::milliseconds limit) const;

  // korv_notify_sent_total, korv_notify_failed_total,
  // korv_notify_dropped_total and korv_notify_waiting.
  std::vector<HealthNumber> Metrics() const override;

 private:
  struct Notice {
    std::string kind;              // KORV_EVENT's value
    std::vector<std::string> env;  // NAME=value, the fixed ones included
    std::string about;             // for the journal: "alarm-raised of unit 1"
  };
  // A kind of trouble told once, then counted.
  struct Trouble {
    bool told = false;
    std::uint64_t untold = 0;  // since it was last told
    std::chrono::steady_clock::time_point told_at;
    std::string more;  // "failures: <why>": what a count of it is
  };
  enum class Failure { kStart, kStatus, kSignal, kTimeout, kStopped };

  void Queue(Notice notice);
  void Run();  // the thread
  // Runs the program for `notice`; empty when it succeeded, else why not.
  std::string RunOne(const Notice& notice, Failure& failure);
  // Waits for `pid` until `end` (or, `until_stop`, the stop's end); false
  // when it did not end.
  bool Reap(int pid, std::chrono::steady_clock::time_point end, bool until_stop, int& status);
  // `count` more of `trouble`: `first` told when it is new, else counted
  // (`more`) and the count told when `retell` passed.
  void Note(Trouble& trouble, std::uint64_t count, const std::string& first,
            const std::string& more);
  void TellUntold(Trouble& trouble);
  void Tell(int priority, const std::string& line) const;

  const ExecSettings settings_;
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::deque<Notice> queue_;
  bool running_ = false;  // a program runs
  bool stop_ = false;
  std::chrono::steady_clock::time_point stop_by_ = std::chrono::steady_clock::time_point::max();
  std::uint64_t sent_ = 0, failed_ = 0, dropped_ = 0;
  std::map<unsigned, bool> troubled_;  // units told lost or completing no round

  // The thread's own.
  std::uint64_t dropped_told_ = 0;
  std::uint64_t failed_since_ok_ = 0;
  Trouble drops_;
  std::map<Failure, Trouble> failures_;
};

}  // namespace korv_host
