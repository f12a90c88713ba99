// Turns the calling process into a supervisor: forks a worker and returns
// 0 in it; the parent never returns. It restarts the worker one second after
// a crash (SIGABRT, SIGBUS, SIGFPE, SIGSEGV) or a non-zero exit other than
// 255, and exits itself when the worker exits with 0 or 255 or is killed by
// any other signal.
#ifndef COMMON_WATCHDOG_WATCHDOG_H
#define COMMON_WATCHDOG_WATCHDOG_H

#include "commontypes.h"

SInt32 CreateWatchdog(const char *szName);

#endif
