#pragma once
// One thread that serves many simulated lines: it waits with epoll on every
// line's descriptor and on timers (delayed and paced answers), so a thousand
// units cost one thread, not one each.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace psma_sim {

class SimLoop {
 public:
  using Clock = std::chrono::steady_clock;

  SimLoop();
  ~SimLoop();  // stops
  SimLoop(const SimLoop&) = delete;
  SimLoop& operator=(const SimLoop&) = delete;

  void Start();
  void Stop();

  // Runs `call` on the loop's thread and waits for it; runs it at once when
  // the loop is not running or this is the loop's thread. Everything below
  // is called only from inside such a call or from a watch or timer.
  void Run(const std::function<void()>& call);

  // Calls `ready` whenever `fd` is readable or hung up, until Unwatch(id).
  std::uint64_t Watch(int fd, std::function<void()> ready);
  void Unwatch(std::uint64_t id);
  // Calls `due` once at `when` unless cancelled first.
  std::uint64_t At(Clock::time_point when, std::function<void()> due);
  void Cancel(std::uint64_t id);

 private:
  void Loop();
  void RunCalls();
  void RunTimers();

  int epoll_ = -1;
  int wake_ = -1;  // an eventfd: a call is waiting
  std::thread thread_;
  std::thread::id loop_thread_;
  bool stopping_ = false;

  std::mutex mutex_;  // guards running_, calls_, done_
  std::condition_variable done_cv_;
  bool running_ = false;
  std::deque<std::function<void()>> calls_;
  std::uint64_t done_ = 0;    // calls run so far
  std::uint64_t queued_ = 0;  // calls queued so far

  // The loop thread's own (or the caller's while the loop is not running).
  std::uint64_t next_id_ = 1;
  std::unordered_map<std::uint64_t, std::pair<int, std::shared_ptr<std::function<void()>>>>
      watched_;
  std::multimap<Clock::time_point, std::uint64_t> timers_;
  std::unordered_map<std::uint64_t, std::function<void()>> timer_calls_;
};

}  // namespace psma_sim
