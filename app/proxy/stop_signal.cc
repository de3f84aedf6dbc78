#include "proxy/stop_signal.h"

#include <pthread.h>
#include <signal.h>

namespace cvie::proxy {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A shell starting us in the background may have set SIGINT to be ignored,
  // and an ignored signal is discarded before sigwait could take it.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_IGN);
}

int WaitForStopSignal() {
  sigset_t set = StopSignals();
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  return sig;
}

}  // namespace cvie::proxy
