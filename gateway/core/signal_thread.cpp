#include "gateway/core/signal_thread.h"

#include <pthread.h>
#include <signal.h>

#include <utility>

#include "tools/common/stop_signals.h"

namespace korv_host {

SignalThread::SignalThread(std::function<void()> reload, std::function<void()> stop) {
  thread_ = std::thread([this, reload = std::move(reload), stop = std::move(stop)] {
    for (;;) {
      const int signal = korv_tools::WaitForStopSignal();
      if (done_.load()) return;
      if (signal == SIGHUP) {
        reload();
      } else {
        stop();
      }
    }
  });
}

SignalThread::~SignalThread() {
  done_.store(true);
  // A signal it waits for, sent to this thread alone (blocked everywhere,
  // taken by sigwait here, even when a callback still runs): it sees done_
  // and ends without a reload.
  ::pthread_kill(thread_.native_handle(), SIGHUP);
  thread_.join();
}

}  // namespace korv_host
