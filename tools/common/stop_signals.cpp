#include "tools/common/stop_signals.h"

#include <pthread.h>
#include <signal.h>

namespace korv_tools {
namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

int WaitForStopSignal() {
  const sigset_t set = StopSet();
  int signal = 0;
  sigwait(&set, &signal);
  return signal;
}

}  // namespace korv_tools
