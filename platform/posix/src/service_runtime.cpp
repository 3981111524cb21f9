/*
 * The runtime rows of the service controller: one row of the service_runtime
 * table of machine.db per service (the view service_status shows it), which
 * the console side and the service process side both read and write, each
 * change one statement or one transaction. A row that is not STOPPED names its
 * process by pid and start time; a look that finds that process gone stores
 * STOPPED with ERROR_PROCESS_ABORTED, with the record the watcher would have
 * written (service_watch.h), and carries out a pending deletion.
 */
#include "service_internal.h"

#include "descriptor.h"
#include "errors.h"
#include "registry_internal.h"
#include "root.h"
#include "service_watch.h"

#include <fcntl.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

static DWORD Win32ErrorFromSqlite(int status) {
    switch (status & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_SERVICE_DATABASE_LOCKED;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_READONLY:
    case SQLITE_PERM: return ERROR_ACCESS_DENIED;
    default: return ERROR_REGISTRY_IO_FAILED;
    }
}

/* Locks the process's connection (the runtime tables are part of the root's
 * schema). NULL, unlocked, on failure. */
static sqlite3 *LockServiceDb() {
    sqlite3 *db = MachineDbLock();
    if (!db) MachineDbUnlock();
    return db;
}

namespace {
class ServiceDb {
  public:
    ServiceDb() : db_(LockServiceDb()) {}
    ~ServiceDb() {
        if (db_) MachineDbUnlock();
    }
    ServiceDb(const ServiceDb &) = delete;
    ServiceDb &operator=(const ServiceDb &) = delete;
    sqlite3 *Get() const { return db_; }

  private:
    sqlite3 *db_;
};

class Statement {
  public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    sqlite3_stmt **Out() { return &statement_; }
    sqlite3_stmt *Get() const { return statement_; }

  private:
    sqlite3_stmt *statement_ = nullptr;
};

} // namespace

/* Prepares `sql` with ?1 = name and ?2, ?3... = numbers. */
static DWORD PrepareWith(sqlite3 *db, const char *sql, const char *name,
                         std::initializer_list<long long> numbers, Statement *statement) {
    int status = sqlite3_prepare_v2(db, sql, -1, statement->Out(), nullptr);
    if (status != SQLITE_OK) return Win32ErrorFromSqlite(status);
    if (name) sqlite3_bind_text(statement->Get(), 1, name, -1, SQLITE_TRANSIENT);
    int index = 2;
    for (long long number : numbers) sqlite3_bind_int64(statement->Get(), index++, number);
    return 0;
}

/* Runs a statement that returns no rows; *changes gets the rows it changed. */
static DWORD ExecuteWith(sqlite3 *db, const char *sql, const char *name,
                         std::initializer_list<long long> numbers, int *changes = nullptr) {
    Statement statement;
    DWORD code = PrepareWith(db, sql, name, numbers, &statement);
    if (code) return code;
    int status = sqlite3_step(statement.Get());
    if (status != SQLITE_DONE) return Win32ErrorFromSqlite(status);
    if (changes) *changes = sqlite3_changes(db);
    return 0;
}

static DWORD BeginImmediate(sqlite3 *db) {
    return Win32ErrorFromSqlite(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
}

/* Commits when `code` is 0, else rolls back; returns the first failure. */
static DWORD EndTransaction(sqlite3 *db, DWORD code) {
    if (code) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return code;
    }
    DWORD commit = Win32ErrorFromSqlite(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
    if (commit) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return commit;
}

DWORD CheckMachineDbOpens(void) {
    ServiceDb db;
    return db.Get() ? 0 : MachineDbOpenError();
}

static DWORD ReadRuntimeRow(sqlite3 *db, const char *name, ServiceRuntime *runtime) {
    *runtime = ServiceRuntime();
    Statement statement;
    DWORD code = PrepareWith(db,
                             "SELECT service_type, state, controls_accepted, win32_exit_code,"
                             " service_exit_code, checkpoint, wait_hint, pid, pid_start, connected,"
                             " delete_pending FROM service_runtime WHERE name = ?1",
                             name, {}, &statement);
    if (code) return code;
    int status = sqlite3_step(statement.Get());
    if (status == SQLITE_DONE) return 0;
    if (status != SQLITE_ROW) return Win32ErrorFromSqlite(status);
    sqlite3_stmt *row = statement.Get();
    runtime->present = true;
    runtime->status.dwServiceType = (DWORD)sqlite3_column_int64(row, 0);
    runtime->status.dwCurrentState = (DWORD)sqlite3_column_int64(row, 1);
    runtime->status.dwControlsAccepted = (DWORD)sqlite3_column_int64(row, 2);
    runtime->status.dwWin32ExitCode = (DWORD)sqlite3_column_int64(row, 3);
    runtime->status.dwServiceSpecificExitCode = (DWORD)sqlite3_column_int64(row, 4);
    runtime->status.dwCheckPoint = (DWORD)sqlite3_column_int64(row, 5);
    runtime->status.dwWaitHint = (DWORD)sqlite3_column_int64(row, 6);
    runtime->pid = sqlite3_column_int64(row, 7);
    runtime->pidStart = (unsigned long long)sqlite3_column_int64(row, 8);
    runtime->connected = sqlite3_column_int64(row, 9) != 0;
    runtime->deletePending = sqlite3_column_int64(row, 10) != 0;
    return 0;
}

DWORD ReadServiceRuntime(const char *name, ServiceRuntime *runtime) {
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    return ReadRuntimeRow(db.Get(), name, runtime);
}

DWORD ResetServiceRuntime(const char *name, DWORD serviceType) {
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    return ExecuteWith(db.Get(),
                       "INSERT OR REPLACE INTO service_runtime (name, service_type) VALUES (?1, ?2)",
                       name, {(long long)serviceType});
}

unsigned long long ProcessStartTime(long long pid) {
    if (pid <= 0) return 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/%lld/stat", pid);
    DescriptorGuard fd(RetryOnInterrupt([&] { return open(path, O_RDONLY | O_CLOEXEC); }));
    if (!fd) return 0;
    char text[1024];
    ssize_t size = RetryOnInterrupt([&] { return read(fd.Get(), text, sizeof text - 1); });
    if (size <= 0) return 0;
    text[size] = '\0';
    /* The command name (field 2) may hold blanks and parentheses: skip to its last ')'. */
    const char *p = strrchr(text, ')');
    if (!p) return 0;
    p++;
    char state = 0;
    unsigned long long start = 0;
    for (int field = 3; field <= 22 && *p; field++) {
        while (*p == ' ') p++;
        if (field == 3) state = *p;
        if (field == 22) start = strtoull(p, nullptr, 10);
        while (*p && *p != ' ') p++;
    }
    if (state == 'Z' || state == 'X' || state == 'x') return 0;
    return start;
}

bool ProcessVanished(long long pid, unsigned long long pidStart) {
    return ProcessStartTime(pid) != pidStart || pidStart == 0;
}

DWORD RemoveServiceEntry(const char *name) {
    LONG status = DeleteRegistryTree(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return (DWORD)status;
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    return ExecuteWith(db.Get(), "DELETE FROM service_runtime WHERE name = ?1", name, {});
}

/* Stores STOPPED with ERROR_PROCESS_ABORTED for a service whose process `pid`
 * has vanished, with the controller's record of it: what the watcher writes,
 * written here when the watcher could not (killed, or machine.db locked when
 * the service ended). *stored tells whether this call changed the row. */
static DWORD StoreProcessAborted(const char *name, long long pid, bool *stored) {
    *stored = false;
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    DWORD code = BeginImmediate(db.Get());
    if (code) return code;
    if (!StoreUnexpectedEnd(db.Get(), name, pid, true, stored)) {
        code = Win32ErrorFromSqlite(sqlite3_errcode(db.Get()));
        if (!code) code = ERROR_REGISTRY_IO_FAILED;
    }
    code = EndTransaction(db.Get(), code);
    if (code) *stored = false;
    return code;
}

DWORD LoadServiceRuntime(const char *name, ServiceRuntime *runtime) {
    DWORD code = ReadServiceRuntime(name, runtime);
    if (code) return code;
    if (!runtime->present || runtime->status.dwCurrentState == SERVICE_STOPPED) return 0;
    if (!ProcessVanished(runtime->pid, runtime->pidStart)) return 0;
    bool stored = false;
    code = StoreProcessAborted(name, runtime->pid, &stored);
    if (code) return code;
    SERVICE_STATUS aborted = {runtime->status.dwServiceType, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
    runtime->status = aborted;
    if (stored && runtime->deletePending) {
        code = RemoveServiceEntry(name);
        runtime->present = false;
    }
    return code;
}

DWORD StoreServiceStatus(const char *name, long long pid, const SERVICE_STATUS *status, bool *deletePending) {
    *deletePending = false;
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    DWORD code = BeginImmediate(db.Get());
    if (code) return code;
    int changes = 0;
    code = ExecuteWith(db.Get(),
                       "UPDATE service_runtime SET service_type = ?3, state = ?4, controls_accepted = ?5,"
                       " win32_exit_code = ?6, service_exit_code = ?7, checkpoint = ?8, wait_hint = ?9"
                       " WHERE name = ?1 AND pid = ?2",
                       name,
                       {pid, (long long)status->dwServiceType, (long long)status->dwCurrentState,
                        (long long)status->dwControlsAccepted, (long long)status->dwWin32ExitCode,
                        (long long)status->dwServiceSpecificExitCode, (long long)status->dwCheckPoint,
                        (long long)status->dwWaitHint},
                       &changes);
    ServiceRuntime runtime;
    if (!code && changes > 0) code = ReadRuntimeRow(db.Get(), name, &runtime);
    code = EndTransaction(db.Get(), code);
    if (!code) *deletePending = runtime.deletePending;
    return code;
}

DWORD CheckServiceStartRecord(const char *name, long long pid) {
    ServiceRuntime runtime;
    DWORD code = ReadServiceRuntime(name, &runtime);
    if (code) return code;
    if (!runtime.present || runtime.pid != pid || runtime.connected ||
        runtime.status.dwCurrentState == SERVICE_STOPPED)
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    return 0;
}

DWORD MarkDispatcherConnected(const char *name, long long pid) {
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    int changes = 0;
    DWORD code = ExecuteWith(db.Get(),
                             "UPDATE service_runtime SET connected = 1"
                             " WHERE name = ?1 AND pid = ?2 AND connected = 0 AND state <> 1",
                             name, {pid}, &changes);
    if (code) return code;
    return changes == 1 ? 0 : ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
}

DWORD ClaimServiceStart(const char *name, DWORD serviceType) {
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    DWORD code = BeginImmediate(db.Get());
    if (code) return code;
    code = ExecuteWith(db.Get(), "INSERT OR IGNORE INTO service_runtime (name, service_type) VALUES (?1, ?2)",
                       name, {(long long)serviceType});
    int changes = 0;
    if (!code)
        code = ExecuteWith(db.Get(),
                           "UPDATE service_runtime SET service_type = ?2, state = 2, controls_accepted = 0,"
                           " win32_exit_code = 0, service_exit_code = 0, checkpoint = 0, wait_hint = 2000,"
                           " pid = ?3, pid_start = ?4, connected = 0"
                           " WHERE name = ?1 AND state = 1 AND delete_pending = 0",
                           name, {(long long)serviceType, (long long)getpid(), (long long)ProcessStartTime(getpid())},
                           &changes);
    if (!code && changes == 0) {
        ServiceRuntime runtime;
        code = ReadRuntimeRow(db.Get(), name, &runtime);
        if (!code) code = runtime.deletePending ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_ALREADY_RUNNING;
    }
    return EndTransaction(db.Get(), code);
}

DWORD RecordServiceProcess(const char *name, long long pid, unsigned long long pidStart) {
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    return ExecuteWith(db.Get(), "UPDATE service_runtime SET pid = ?3, pid_start = ?4 WHERE name = ?1 AND pid = ?2",
                       name, {(long long)getpid(), pid, (long long)pidStart});
}

DWORD StoreFailedStart(const char *name, long long pid, DWORD exitCode) {
    ServiceRuntime runtime;
    DWORD code = 0;
    {
        ServiceDb db;
        if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
        code = ExecuteWith(db.Get(),
                           "UPDATE service_runtime SET state = 1, controls_accepted = 0, win32_exit_code = ?3,"
                           " service_exit_code = 0, checkpoint = 0, wait_hint = 0, pid = 0, pid_start = 0,"
                           " connected = 0 WHERE name = ?1 AND pid = ?2 AND connected = 0",
                           name, {pid, (long long)exitCode});
        if (!code) code = ReadRuntimeRow(db.Get(), name, &runtime);
    }
    if (!code && runtime.present && runtime.deletePending && runtime.status.dwCurrentState == SERVICE_STOPPED)
        code = RemoveServiceEntry(name);
    return code;
}

DWORD MarkForDeletion(const char *name, bool *marked) {
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    int changes = 0;
    DWORD code = ExecuteWith(db.Get(), "UPDATE service_runtime SET delete_pending = 1 WHERE name = ?1 AND state <> 1",
                             name, {}, &changes);
    *marked = changes > 0;
    return code;
}

std::string ResolvedRoot(void) {
    char resolved[PATH_MAX];
    const char *root = MachineRoot();
    if (realpath(root, resolved)) return resolved;
    return root;
}

unsigned long long MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000 + (unsigned long long)now.tv_nsec / 1000000;
}

void SleepMs(DWORD milliseconds) {
    struct timespec interval = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&interval, &interval) != 0 && errno == EINTR) {
    }
}
