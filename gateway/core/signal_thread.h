#pragma once
// korv-host's signals, taken by one thread with sigwait: SIGHUP reads the
// site file again, SIGINT and SIGTERM stop. The callbacks run on that thread
// (not in a signal handler), so they may lock and join.

#include <atomic>
#include <functional>
#include <thread>

namespace korv_host {

class SignalThread {
 public:
  // Call korv_tools::BlockStopSignals first, before any thread starts.
  SignalThread(std::function<void()> reload, std::function<void()> stop);
  ~SignalThread();  // lets a callback under way finish, then ends the thread
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace korv_host
