/*
 * The watcher of a service process. Windows' controller learns at once when a
 * service process ends; here, with no daemon, the process that launches a
 * service leaves one small process behind as the service's parent: it sleeps
 * in waitid until the service ends, records STOPPED with
 * ERROR_PROCESS_ABORTED (1067) when the service did not report STOPPED
 * itself, with the controller's event-log record, removes the named pipes the
 * service left, and ends. It never outlives its service and uses no CPU while
 * it waits.
 *
 * The watcher is a fresh image of the launching program: a fork cannot safely
 * use SQLite, and a fresh image holds far less memory than a copy of its
 * launcher. The program's start-up code of this layer recognises the
 * watcher's environment before any static object of the program is built and
 * never returns into the program.
 */
#ifndef PELORIM_POSIX_SERVICE_WATCH_H
#define PELORIM_POSIX_SERVICE_WATCH_H

#include <sys/types.h>

#include <string>
#include <vector>

/* Built before fork: what the watcher execs. */
struct WatchPlan {
    std::vector<std::string> environment;
    std::vector<char *> argv;
    std::vector<char *> envp;
    char *pidEntry = nullptr; /* "PELORIM_WATCH_PID=" and room for the pid */
    size_t pidRoom = 0;
};

void PlanServiceWatch(const char *name, const std::string &root, WatchPlan *plan);

/* In the forked watcher, with the service `service` its child; async-signal-safe
 * only. Ends in the fresh image's wait. */
[[noreturn]] void RunServiceWatcher(pid_t service, WatchPlan *plan);

#endif
