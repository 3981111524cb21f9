/*
 * The roles this image plays. The layer ships no helper programs: for a
 * helper process it starts a fresh copy of the running image (/proc/self/exe),
 * and the environment the starter gives the copy chooses its role, once, here,
 * at load time, before main:
 *
 *   role             chosen by                          started by         played by
 *   job keeper       PELORIM_JOB_KEEPER_FD=3            a kill-on-close    RunJobKeeper
 *                                                       job (job.cpp)      (job.cpp)
 *   service watcher  PELORIM_WATCH_SERVICE,             StartServiceA      RunServiceWatch
 *                    PELORIM_WATCH_PID and PELORIM_ROOT (service_launch)   (service_watch.cpp)
 *   the program      anything else                      anyone             main
 *
 * A helper never returns into the program. The program, when a process of the
 * layer started it with CreateProcessA, also takes the channel through which
 * it hands its 32-bit exit code back (PELORIM_RESULT_FD, exit_result.h); every
 * image removes that variable, so that what it starts in turn does not take it.
 *
 * Every image of the layer plays these roles, whatever calls of the layer it
 * makes: the build tells the linker to take this file (PelorimChooseRole).
 */
#include "roles.h"

#include <stdlib.h>

extern "C" __attribute__((constructor)) void PelorimChooseRole(void) {
    const char *keeper = getenv(JOB_KEEPER_VARIABLE);
    if (keeper && strtol(keeper, nullptr, 10) == kJobKeeperFd) RunJobKeeper();

    const char *watchName = getenv(WATCH_NAME_VARIABLE);
    const char *watchRoot = getenv(WATCH_ROOT_VARIABLE);
    const char *watchPid = getenv(WATCH_PID_VARIABLE);
    if (watchName && watchRoot && watchPid) RunServiceWatch(watchRoot, watchName, (pid_t)strtol(watchPid, nullptr, 10));

    const char *resultChannel = getenv(RESULT_FD_VARIABLE);
    if (resultChannel) TakeResultChannel(resultChannel);
}
