// The stop signals of the console programs: SIGINT, SIGTERM and SIGHUP act
// as a typed 0.
#ifndef PELMORA_CONSOLE_STOP_SIGNALS_H
#define PELMORA_CONSOLE_STOP_SIGNALS_H

#include <signal.h>

// Blocks the three on the calling thread (threads it starts later inherit
// that) and installs handler for them, run with every signal blocked. They
// are taken only where the program waits with *waitMask (ppoll,
// sigsuspend), so a stop never lands between two steps that belong
// together. handler must be async-signal-safe.
void catchStopSignals(void (*handler)(int), sigset_t* waitMask);

#endif
