// The console programs' stop signals; see stop_signals.h.
#include "stop_signals.h"

#include <pthread.h>
#include <string.h>

void catchStopSignals(void (*handler)(int), sigset_t* waitMask) {
  const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int sig : stopSignals) sigaddset(&blocked, sig);
  pthread_sigmask(SIG_BLOCK, &blocked, waitMask);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigfillset(&sa.sa_mask);
  for (int sig : stopSignals) {
    sigdelset(waitMask, sig);
    sigaction(sig, &sa, NULL);
  }
}
