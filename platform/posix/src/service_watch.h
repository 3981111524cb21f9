/*
 * The watcher of a service process. Windows' controller learns at once when a
 * service process ends; here, with no daemon, the process that launches a
 * service leaves one small process behind as the service's parent: it sleeps
 * in waitid until the service ends, removes the named pipes the service
 * left, records STOPPED with ERROR_PROCESS_ABORTED (1067) when the service
 * did not report STOPPED itself, with the controller's event-log record, and
 * ends. It never outlives its service by more than the time machine.db stays
 * locked or full (it tries again every second until the record is written);
 * when machine.db cannot take the record at all (read-only, corrupt, of a
 * schema it does not know) it says so in the system log and ends. It uses no
 * CPU while it waits.
 *
 * The watcher is a fresh image of the launching program: a fork cannot safely
 * use SQLite, and a fresh image holds far less memory than a copy of its
 * launcher. The image recognises the watcher's environment at load time,
 * before main (roles.cpp), and never returns into the program.
 */
#ifndef PELORIM_POSIX_SERVICE_WATCH_H
#define PELORIM_POSIX_SERVICE_WATCH_H

#include <sys/types.h>

struct sqlite3;

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

/* Inside the caller's write transaction on `db`: STOPPED with
 * ERROR_PROCESS_ABORTED for the service `name` whose process `pid` vanished
 * without reporting STOPPED, and the controller's event-log record of it
 * (7034), both only when the row still names that process as not stopped (and,
 * unless `deletePendingToo`, is not marked for deletion). *stored tells whether
 * they were written; false when a statement failed (sqlite3_errcode says why). */
bool StoreUnexpectedEnd(sqlite3 *db, const char *name, long long pid, bool deletePendingToo, bool *stored);

#endif
