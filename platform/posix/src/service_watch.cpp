/*
 * The watcher of a service process (service_watch.h): the launcher's side,
 * which makes the watcher, and the watcher's, which records the service's end.
 */
#include "service_watch.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <windows.h>

#include "descriptor.h"
#include "exit_result.h"
#include "named_pipe_entries.h"
#include "pipe.h"
#include "roles.h"
#include "root.h"

/* ---- The launcher's side --------------------------------------------------- */

void PlanServiceWatch(const char *name, const std::string &root, WatchPlan *plan) {
    plan->environment = {std::string(WATCH_NAME_VARIABLE "=") + name, WATCH_ROOT_VARIABLE "=" + root,
                         std::string(WATCH_PID_VARIABLE "=") + std::string(24, '\0')};
    static char program[] = "pelorim-service-watch";
    plan->argv = {program, nullptr};
    for (std::string &entry : plan->environment) plan->envp.push_back(&entry[0]);
    plan->envp.push_back(nullptr);
    plan->pidEntry = plan->envp[2] + sizeof WATCH_PID_VARIABLE;
    plan->pidRoom = 24;
}

void RunServiceWatcher(pid_t service, WatchPlan *plan) {
    FormatPidInChild(service, plan->pidEntry, plan->pidRoom);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) dup2(null, 0), dup2(null, 1), dup2(null, 2);
    MarkDescriptorsCloseOnExec();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve("/proc/self/exe", plan->argv.data(), plan->envp.data());
    /* No image to record with: still reap the service, so it is no zombie. */
    while (waitpid(service, nullptr, 0) < 0 && errno == EINTR) {
    }
    _exit(0);
}

/* ---- The record of an unexpected end: the watcher's, or a status call's ---- */

/* Plain libc and SQLite: the watcher runs this before the program's statics. */
static bool Step(sqlite3 *db, const char *sql, const char *text, long long number, int *changes) {
    sqlite3_stmt *statement = nullptr;
    bool done = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK;
    if (done) {
        sqlite3_bind_text(statement, 1, text, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(statement, 2, number);
        done = sqlite3_step(statement) == SQLITE_DONE;
    }
    sqlite3_finalize(statement);
    if (changes) *changes = done ? sqlite3_changes(db) : 0;
    return done;
}

bool StoreUnexpectedEnd(sqlite3 *db, const char *name, long long pid, bool deletePendingToo, bool *stored) {
    char update[320];
    snprintf(update, sizeof update,
             "UPDATE service_runtime SET state = 1, controls_accepted = 0, win32_exit_code = %u,"
             " service_exit_code = 0, checkpoint = 0, wait_hint = 0"
             " WHERE name = ?1 AND pid = ?2 AND state <> 1%s",
             (unsigned)ERROR_PROCESS_ABORTED, deletePendingToo ? "" : " AND delete_pending = 0");
    char message[600];
    snprintf(message, sizeof message, "The %s service terminated unexpectedly.", name);
    char insert[300];
    snprintf(insert, sizeof insert,
             "INSERT INTO event_records(time, source, type, event_id, category, message)"
             " SELECT strftime('%%Y-%%m-%%dT%%H:%%M:%%fZ', 'now'), 'Service Control Manager', %d, 7034, 0, ?1"
             " WHERE ?2 > 0",
             EVENTLOG_ERROR_TYPE);
    int changed = 0;
    bool done = Step(db, update, name, pid, &changed) && Step(db, insert, message, changed, nullptr);
    *stored = done && changed > 0;
    return done;
}

/* ---- The watcher's side ------------------------------------------------------ */

enum RecordOutcome { kRecorded, kTryAgain, kGiveUp, kNoDatabase };

/* What passes with time: machine.db locked past the busy timeout (a backup, an
 * sqlite3 session), a full disk, an I/O error, short memory. Anything else (a
 * read-only or corrupt database, a schema this build does not know, no
 * permission) stays until someone mends machine.db. */
static RecordOutcome OutcomeOfFailure(int status) {
    switch (status & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_NOMEM: return kTryAgain;
    default: return kGiveUp;
    }
}

/* *status: SQLite's code of the failure. */
static RecordOutcome TryRecordUnexpectedEnd(const char *path, const char *name, pid_t pid, int *status) {
    sqlite3 *db = nullptr;
    *status = sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE, nullptr);
    if (*status != SQLITE_OK) {
        sqlite3_close(db);
        return access(path, F_OK) == 0 ? OutcomeOfFailure(*status) : kNoDatabase;
    }
    sqlite3_busy_timeout(db, 10000);
    bool done = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (done) {
        bool stored = false;
        done = StoreUnexpectedEnd(db, name, pid, false, &stored) &&
               sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!done) *status = sqlite3_errcode(db);
        if (!done) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    } else {
        *status = sqlite3_errcode(db);
    }
    sqlite3_close(db);
    return done ? kRecorded : OutcomeOfFailure(*status);
}

/* STOPPED with 1067 for a service process that ended without reporting
 * STOPPED, and the controller's record of it. A failure that passes (see
 * OutcomeOfFailure) is tried again every second until the record is written
 * or machine.db is gone; a status call that finds the process gone meanwhile
 * writes both itself, and the watcher's later write then changes nothing. On
 * a failure that does not pass, the watcher says so in the system log and
 * ends. A service marked for deletion is left to the next status call, which
 * also removes its key. */
static void RecordUnexpectedEnd(const char *root, const char *name, pid_t pid) {
    char path[4096];
    snprintf(path, sizeof path, "%s/machine.db", root);
    int status = SQLITE_OK;
    RecordOutcome outcome;
    while ((outcome = TryRecordUnexpectedEnd(path, name, pid, &status)) == kTryAgain) sleep(1);
    if (outcome != kGiveUp) return;
    openlog("pelorim-service-watch", LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "the end of service %s (process %ld) cannot be recorded in %s: %s (%d); giving up", name,
           (long)pid, path, sqlite3_errstr(status), status);
    closelog();
}

/* Removes the named pipes whose server was process `pid` (named_pipe_entries.cpp):
 * their server entry leads into /proc/<pid>/, which a later process with the
 * same pid could fill again. Through a checked descriptor of pipes/ (root.h),
 * so that nothing outside the root is touched. */
static void RemovePipesOf(const char *root, pid_t pid) {
    DescriptorGuard pipes;
    if (OpenCheckedDirectory(root, "pipes", false, pipes.Out()) != 0) return;
    DescriptorGuard listing(dup(pipes.Get()));
    DIR *entries = listing ? fdopendir(listing.Get()) : nullptr;
    if (!entries) return;
    listing.Release(); /* the listing's now, closed with it */
    char prefix[64];
    int prefixLength = snprintf(prefix, sizeof prefix, "/proc/%ld/", (long)pid);
    while (struct dirent *entry = readdir(entries)) {
        if (entry->d_name[0] == '.') continue;
        char server[400], target[128];
        snprintf(server, sizeof server, "%s/server", entry->d_name);
        ssize_t size = readlinkat(pipes.Get(), server, target, sizeof target - 1);
        if (size < prefixLength || strncmp(target, prefix, (size_t)prefixLength) != 0) continue;
        char aside[400];
        snprintf(aside, sizeof aside, ".old-watch-%ld-%s", (long)getpid(), entry->d_name);
        RemovePipeDirectoryAt(pipes.Get(), entry->d_name, aside);
    }
    closedir(entries);
}

/* Loading the program touched pages of every library it links, which the
 * watcher does not need while it sleeps. The file pages it never wrote are
 * dropped from its page tables (they come back from their files if needed
 * again); pages it has written, and so its own data, are kept. */
static void DropUnwrittenFilePages(void) {
    enum { kMostRanges = 512 };
    static unsigned long starts[kMostRanges], ends[kMostRanges];
    int count = 0;
    FILE *smaps = fopen("/proc/self/smaps", "re");
    if (!smaps) return;
    char line[512];
    unsigned long start = 0, end = 0, inode = 0;
    char perms[8] = "";
    while (fgets(line, sizeof line, smaps) && count < kMostRanges) {
        unsigned long low, high, offset, number;
        char flags[8];
        unsigned major, minor;
        if (sscanf(line, "%lx-%lx %7s %lx %x:%x %lu", &low, &high, flags, &offset, &major, &minor, &number) == 7) {
            start = low, end = high, inode = number;
            snprintf(perms, sizeof perms, "%s", flags);
            continue;
        }
        unsigned long kilobytes = 0;
        if (sscanf(line, "Anonymous: %lu kB", &kilobytes) != 1) continue;
        if (inode != 0 && kilobytes == 0 && perms[3] == 'p') starts[count] = start, ends[count++] = end;
    }
    fclose(smaps);
    for (int i = 0; i < count; i++) madvise((void *)starts[i], ends[i] - starts[i], MADV_DONTNEED);
}

/* The watcher's image (roles.cpp), as PlanServiceWatch made it. */
void RunServiceWatch(const char *root, const char *name, pid_t pid) {
    if (pid <= 0) _exit(0);
    DropUnwrittenFilePages();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) break;
    }
    RemovePipesOf(root, pid);
    RecordUnexpectedEnd(root, name, pid);
    _exit(0);
}
