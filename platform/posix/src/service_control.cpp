/*
 * The console side of the service controller, and the runtime state in
 * machine.db that both sides share.
 *
 * There is no controller daemon: every call reads and writes the service
 * database (the registry's Services key) and the service_runtime table
 * itself. StartServiceA launches the service process detached (new session,
 * not our child, under a watcher that records its end: service_watch.h) and
 * waits for its dispatcher to connect; ControlService talks to that dispatcher
 * over its control socket.
 */
#include "service_internal.h"

#include "cmdline.h"
#include "errors.h"
#include "pipe.h"
#include "registry_internal.h"
#include "root.h"
#include "service_watch.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stddef.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>
#include <mutex>
#include <set>
#include <string>
#include <vector>

/* Windows limits service and display names to 256 characters. */
static const size_t kServiceNameLimit = 256;
static const DWORD kStartTimeoutMs = 30000;
static const DWORD kControlTimeoutMs = 30000;
static const DWORD kPollIntervalMs = 10;
static const char kFixedPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";


/* ---------------------------------------------------------------- machine.db */

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

static DWORD ReadServiceRuntime(const char *name, ServiceRuntime *runtime) {
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    return ReadRuntimeRow(db.Get(), name, runtime);
}

/* A fresh STOPPED row for a newly created service (replacing any leftover). */
static DWORD ResetServiceRuntime(const char *name, DWORD serviceType) {
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
    int fd = RetryOnInterrupt([&] { return open(path, O_RDONLY | O_CLOEXEC); });
    if (fd < 0) return 0;
    char text[1024];
    ssize_t size = RetryOnInterrupt([&] { return read(fd, text, sizeof text - 1); });
    close(fd);
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

static bool ProcessVanished(long long pid, unsigned long long pidStart) {
    return ProcessStartTime(pid) != pidStart || pidStart == 0;
}

static std::string ServiceKeyPath(const char *name) { return std::string(SERVICES_KEY_PATH "\\") + name; }

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

/* Takes the service from STOPPED to START_PENDING on behalf of the calling
 * process: 0, ERROR_SERVICE_ALREADY_RUNNING or ERROR_SERVICE_MARKED_FOR_DELETE. */
static DWORD ClaimServiceStart(const char *name, DWORD serviceType) {
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

/* The start record passes from the starting console to the service process. */
static DWORD RecordServiceProcess(const char *name, long long pid, unsigned long long pidStart) {
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    return ExecuteWith(db.Get(), "UPDATE service_runtime SET pid = ?3, pid_start = ?4 WHERE name = ?1 AND pid = ?2",
                       name, {(long long)getpid(), pid, (long long)pidStart});
}

/* A start that did not reach the dispatcher: STOPPED with `exitCode`, and the
 * process `pid` loses its start record (a late dispatcher then fails with 1063).
 * A deletion requested meanwhile is carried out. */
static DWORD StoreFailedStart(const char *name, long long pid, DWORD exitCode) {
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

/* Marks a live service for deletion: *marked is false when it stopped meanwhile. */
static DWORD MarkForDeletion(const char *name, bool *marked) {
    ServiceDb db;
    if (!db.Get()) return ERROR_REGISTRY_IO_FAILED;
    int changes = 0;
    DWORD code = ExecuteWith(db.Get(), "UPDATE service_runtime SET delete_pending = 1 WHERE name = ?1 AND state <> 1",
                             name, {}, &changes);
    *marked = changes > 0;
    return code;
}

/* ------------------------------------------------------------ control socket */

static std::string ResolvedRoot() {
    char resolved[PATH_MAX];
    const char *root = MachineRoot();
    if (realpath(root, resolved)) return resolved;
    return root;
}

void ControlSocketAddress(const char *name, long long pid, struct sockaddr_un *address, socklen_t *length) {
    /* FNV-1a over the root and the lower-cased name: one abstract socket per
     * service process, whatever the lengths of root and name. */
    unsigned long long hash = 14695981039346656037ull;
    std::string root = ResolvedRoot();
    for (const char *p = root.c_str();; p++) {
        hash = (hash ^ (unsigned char)*p) * 1099511628211ull;
        if (!*p) break;
    }
    for (const char *p = name; *p; p++) {
        unsigned char c = (unsigned char)*p;
        if (c >= 'A' && c <= 'Z') c = (unsigned char)(c - 'A' + 'a');
        hash = (hash ^ c) * 1099511628211ull;
    }
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    int size = snprintf(address->sun_path + 1, sizeof address->sun_path - 1, "pelorim/service/%016llx/%lld", hash, pid);
    *length = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + size);
}

static DWORD WriteAll(int fd, const void *data, size_t size) {
    const char *p = (const char *)data;
    while (size > 0) {
        ssize_t done = RetryOnInterrupt([&] { return send(fd, p, size, MSG_NOSIGNAL); });
        if (done < 0) return LastErrnoAsWin32();
        p += done;
        size -= (size_t)done;
    }
    return 0;
}

/* Reads exactly `size` bytes: 0, ERROR_BROKEN_PIPE at end of stream,
 * ERROR_SERVICE_REQUEST_TIMEOUT when the receive time-out passes. */
static DWORD ReadAll(int fd, void *data, size_t size) {
    char *p = (char *)data;
    while (size > 0) {
        ssize_t done = RetryOnInterrupt([&] { return recv(fd, p, size, 0); });
        if (done == 0) return ERROR_BROKEN_PIPE;
        if (done < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? ERROR_SERVICE_REQUEST_TIMEOUT : LastErrnoAsWin32();
        p += done;
        size -= (size_t)done;
    }
    return 0;
}

/* Delivers `control` to the dispatcher of `pid` and waits for its reply. */
static DWORD SendControl(const char *name, long long pid, DWORD control, ControlReply *reply, bool *delivered) {
    *delivered = false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return LastErrnoAsWin32();
    struct sockaddr_un address;
    socklen_t length;
    ControlSocketAddress(name, pid, &address, &length);
    struct timeval timeout = {kControlTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    DWORD code = 0;
    if (RetryOnInterrupt([&] { return connect(fd, (struct sockaddr *)&address, length); }) != 0)
        code = ERROR_PIPE_NOT_CONNECTED;
    ControlRequest request = {control};
    if (!code) code = WriteAll(fd, &request, sizeof request);
    if (!code) *delivered = true;
    if (!code) code = ReadAll(fd, reply, sizeof *reply);
    close(fd);
    return code;
}

/* ------------------------------------------------------- the service database */

namespace {
struct ServiceConfig {
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    DWORD start = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::string imagePath;
    std::string displayName;
    std::string objectName;
    std::vector<std::string> dependencies;
};

class OpenKey {
  public:
    OpenKey() = default;
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    OpenKey(const OpenKey &) = delete;
    OpenKey &operator=(const OpenKey &) = delete;
    HKEY *Out() { return &key_; }
    HKEY Get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

} // namespace

static DWORD CheckServiceName(const char *name) {
    if (!name || !*name || strlen(name) > kServiceNameLimit) return ERROR_INVALID_NAME;
    if (strchr(name, '/') || strchr(name, '\\')) return ERROR_INVALID_NAME;
    return 0;
}

/* 0 when the key exists, ERROR_SERVICE_DOES_NOT_EXIST when not, else the registry's code. */
static DWORD CheckServiceKey(const char *name) {
    OpenKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, KEY_QUERY_VALUE, key.Out());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
    return (DWORD)status;
}

/* The value's bytes and type; ERROR_FILE_NOT_FOUND when it does not exist. */
static DWORD ReadValue(HKEY key, const char *valueName, DWORD *type, std::string *data) {
    for (;;) {
        DWORD size = 0;
        LONG status = RegQueryValueExA(key, valueName, nullptr, type, nullptr, &size);
        if (status != ERROR_SUCCESS) return (DWORD)status;
        data->assign(size, '\0');
        DWORD filled = size;
        status = RegQueryValueExA(key, valueName, nullptr, type, size ? (BYTE *)&(*data)[0] : nullptr, &filled);
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS) return (DWORD)status;
        data->resize(filled);
        return 0;
    }
}

static DWORD ReadDwordValue(HKEY key, const char *valueName, DWORD *value) {
    DWORD type = 0;
    std::string data;
    DWORD code = ReadValue(key, valueName, &type, &data);
    if (code == ERROR_FILE_NOT_FOUND) return 0;
    if (code) return code;
    if (type == REG_DWORD && data.size() == sizeof(DWORD)) memcpy(value, data.data(), sizeof(DWORD));
    return 0;
}

static DWORD ReadTextValue(HKEY key, const char *valueName, std::string *text) {
    DWORD type = 0;
    std::string data;
    DWORD code = ReadValue(key, valueName, &type, &data);
    if (code == ERROR_FILE_NOT_FOUND) return 0;
    if (code) return code;
    size_t end = data.find('\0');
    *text = data.substr(0, end);
    return 0;
}

/* Splits a multi-string (each string ended by a NUL, then one more NUL) of at most `size` bytes. */
static std::vector<std::string> SplitMultiString(const char *bytes, size_t size) {
    std::vector<std::string> strings;
    size_t start = 0;
    while (start < size && bytes[start] != '\0') {
        size_t end = start;
        while (end < size && bytes[end] != '\0') end++;
        strings.emplace_back(bytes + start, end - start);
        start = end + 1;
    }
    return strings;
}

static DWORD ReadMultiStringValue(HKEY key, const char *valueName, std::vector<std::string> *strings) {
    DWORD type = 0;
    std::string data;
    DWORD code = ReadValue(key, valueName, &type, &data);
    if (code == ERROR_FILE_NOT_FOUND) return 0;
    if (code) return code;
    *strings = SplitMultiString(data.data(), data.size());
    return 0;
}

static DWORD ReadServiceConfig(const char *name, ServiceConfig *config) {
    OpenKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, KEY_READ, key.Out());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (status != ERROR_SUCCESS) return (DWORD)status;
    config->displayName = name;
    config->objectName = "LocalSystem";
    DWORD code = ReadDwordValue(key.Get(), "Type", &config->type);
    if (!code) code = ReadDwordValue(key.Get(), "Start", &config->start);
    if (!code) code = ReadDwordValue(key.Get(), "ErrorControl", &config->errorControl);
    if (!code) code = ReadTextValue(key.Get(), "ImagePath", &config->imagePath);
    if (!code) code = ReadTextValue(key.Get(), "DisplayName", &config->displayName);
    if (!code) code = ReadTextValue(key.Get(), "ObjectName", &config->objectName);
    if (!code) code = ReadMultiStringValue(key.Get(), "DependOnService", &config->dependencies);
    return code;
}

/* The configuration behind a service handle: a service whose key went away
 * while the handle stayed open is, as on Windows, marked for deletion. */
static DWORD ReadHandleConfig(const char *name, ServiceConfig *config) {
    DWORD code = ReadServiceConfig(name, config);
    return code == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_MARKED_FOR_DELETE : code;
}

/* ERROR_DUPLICATE_SERVICE_NAME when the new display name is another service's
 * name or display name, or the new name another service's display name. */
static DWORD CheckDisplayNameFree(const char *name, const char *displayName) {
    OpenKey services;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICES_KEY_PATH, 0, KEY_READ, services.Out());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return (DWORD)status;
    for (DWORD index = 0;; index++) {
        char other[MAX_PATH];
        status = RegEnumKeyA(services.Get(), index, other, sizeof other);
        if (status == ERROR_NO_MORE_ITEMS) return 0;
        if (status != ERROR_SUCCESS) return (DWORD)status;
        if (strcasecmp(other, name) == 0) continue;
        OpenKey service;
        if (RegOpenKeyExA(services.Get(), other, 0, KEY_READ, service.Out()) != ERROR_SUCCESS) continue;
        std::string otherDisplay = other;
        DWORD code = ReadTextValue(service.Get(), "DisplayName", &otherDisplay);
        if (code) return code;
        if (strcasecmp(displayName, other) == 0 || strcasecmp(displayName, otherDisplay.c_str()) == 0 ||
            strcasecmp(name, otherDisplay.c_str()) == 0)
            return ERROR_DUPLICATE_SERVICE_NAME;
    }
}

static DWORD CheckServiceType(DWORD type, DWORD start, DWORD errorControl) {
    DWORD kind = type & ~(DWORD)SERVICE_INTERACTIVE_PROCESS;
    bool win32 = kind == SERVICE_WIN32_OWN_PROCESS || kind == SERVICE_WIN32_SHARE_PROCESS;
    bool driver = type == SERVICE_KERNEL_DRIVER || type == 0x2;
    if (!win32 && !driver) return ERROR_INVALID_PARAMETER;
    if (start > SERVICE_DISABLED || (win32 && start < SERVICE_AUTO_START)) return ERROR_INVALID_PARAMETER;
    if (errorControl > 3) return ERROR_INVALID_PARAMETER;
    return 0;
}

static size_t MultiStringSize(const char *strings) {
    if (!strings) return 0;
    const char *p = strings;
    while (*p) p += strlen(p) + 1;
    return (size_t)(p - strings) + 1;
}

static DWORD SetDword(HKEY key, const char *valueName, DWORD value) {
    return (DWORD)RegSetValueExA(key, valueName, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}

static DWORD SetText(HKEY key, const char *valueName, DWORD type, const char *text) {
    return (DWORD)RegSetValueExA(key, valueName, 0, type, (const BYTE *)text, (DWORD)strlen(text) + 1);
}

static DWORD WriteServiceValues(HKEY key, const char *displayName, DWORD type, DWORD start, DWORD errorControl,
                                const char *imagePath, const char *dependencies) {
    DWORD code = SetDword(key, "Type", type);
    if (!code) code = SetDword(key, "Start", start);
    if (!code) code = SetDword(key, "ErrorControl", errorControl);
    if (!code) code = SetText(key, "ImagePath", REG_EXPAND_SZ, imagePath);
    if (!code) code = SetText(key, "DisplayName", REG_SZ, displayName);
    if (!code) code = SetText(key, "ObjectName", REG_SZ, "LocalSystem");
    size_t dependencySize = MultiStringSize(dependencies);
    if (!code && dependencySize > 1)
        code = (DWORD)RegSetValueExA(key, "DependOnService", 0, REG_MULTI_SZ, (const BYTE *)dependencies,
                                     (DWORD)dependencySize);
    return code;
}

/* ------------------------------------------------------------ handle records */

namespace {
enum class RecordKind { Manager, Service };
struct ControllerRecord {
    RecordKind kind;
    std::string name;
};
std::mutex recordsLock;
std::set<ControllerRecord *> records;
} // namespace

static SC_HANDLE InsertRecord(RecordKind kind, const char *name) {
    ControllerRecord *record = new ControllerRecord{kind, name ? name : ""};
    std::lock_guard<std::mutex> guard(recordsLock);
    records.insert(record);
    return (SC_HANDLE)record;
}

static bool IsRecordOf(SC_HANDLE handle, RecordKind kind, std::string *name) {
    std::lock_guard<std::mutex> guard(recordsLock);
    auto found = records.find((ControllerRecord *)handle);
    if (found == records.end() || (*found)->kind != kind) return false;
    if (name) *name = (*found)->name;
    return true;
}

/* ------------------------------------------------------------------ starting */

namespace {
struct LaunchPlan {
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
};

/* A launched service process, held before exec until its start record names it. */
struct PendingLaunch {
    pid_t pid = -1;
    int goFd = -1;   /* one byte lets the process exec; closing it ends the process */
    int execFd = -1; /* the errno of a failed exec; end of stream after a good one */
};

} // namespace

static std::string HomeDirectory() {
    struct passwd entry, *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir && *found->pw_dir)
        return found->pw_dir;
    return geteuid() == 0 ? "/root" : "/";
}

/* The program named by the command line's first word: as given when it holds a
 * "/", else searched in the fixed PATH. */
static std::string FindProgram(const std::string &word) {
    if (word.find('/') != std::string::npos) return word;
    std::string path = kFixedPath;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + word;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return word;
}

static DWORD PlanServiceLaunch(const char *name, const std::string &imagePath, LaunchPlan *plan) {
    plan->arguments = SplitWindowsCommandLine(imagePath.c_str());
    if (plan->arguments.empty() || plan->arguments[0].empty()) return ERROR_FILE_NOT_FOUND;
    plan->program = FindProgram(plan->arguments[0]);
    plan->environment = {std::string("PATH=") + kFixedPath,
                         "PELORIM_ROOT=" + ResolvedRoot(),
                         std::string(SERVICE_NAME_VARIABLE "=") + name,
                         "HOME=" + HomeDirectory(),
                         "LANG=C.UTF-8"};
    return 0;
}

static std::vector<char *> PointerArray(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (auto &text : strings) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

/* What the service process execs, built before the forks. */
struct ServiceImage {
    const char *program;
    char *const *argv;
    char *const *envp;
};

/* The pipes between the launcher and the forked processes; -1 where closed. */
struct LaunchPipes {
    int pid[2] = {-1, -1};  /* the watcher writes the service's pid */
    int go[2] = {-1, -1};   /* see PendingLaunch::goFd */
    int exec[2] = {-1, -1}; /* see PendingLaunch::execFd */
};

static void ClosePipeEnd(int *fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

static void CloseLaunchPipes(LaunchPipes *pipes) {
    for (int *pair : {pipes->pid, pipes->go, pipes->exec}) ClosePipeEnd(&pair[0]), ClosePipeEnd(&pair[1]);
}

static DWORD OpenLaunchPipes(LaunchPipes *pipes) {
    if (pipe2(pipes->pid, O_CLOEXEC) == 0 && pipe2(pipes->go, O_CLOEXEC) == 0 && pipe2(pipes->exec, O_CLOEXEC) == 0)
        return 0;
    DWORD code = LastErrnoAsWin32();
    CloseLaunchPipes(pipes);
    return code;
}

static void ResetSignalHandling(void) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard;
    memset(&standard, 0, sizeof standard);
    standard.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; signalNumber++) sigaction(signalNumber, &standard, nullptr);
}

/* The service process after the forks: only async-signal-safe calls. Its
 * session (and process group) is not its watcher's, so that a signal to the
 * service's group or session leaves the watcher to record the end. */
[[noreturn]] static void RunServiceProcess(int goFd, int execFd, const ServiceImage &image) {
    setsid();
    ResetSignalHandling();
    char go = 0;
    if (RetryOnInterrupt([&] { return read(goFd, &go, 1); }) != 1) _exit(127);
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(127);
    if (chdir("/") != 0) _exit(127);
    umask(022);
    MarkDescriptorsCloseOnExec();
    execve(image.program, image.argv, image.envp);
    int error = errno;
    ssize_t ignored = write(execFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

/* In the watcher: forks the service process, tells the launcher its pid and
 * becomes its watcher. */
[[noreturn]] static void ForkWatchedService(const LaunchPipes &pipes, const ServiceImage &image, WatchPlan *watch) {
    struct sigaction standard;
    memset(&standard, 0, sizeof standard);
    standard.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &standard, nullptr);
    pid_t service = fork();
    if (service == 0) RunServiceProcess(pipes.go[0], pipes.exec[1], image);
    if (service < 0) _exit(1);
    ssize_t ignored = write(pipes.pid[1], &service, sizeof service);
    (void)ignored;
    RunServiceWatcher(service, watch);
}

/* In the first child: a session of its own, the watcher forked off, and the end. */
[[noreturn]] static void StartWatchedService(const LaunchPipes &pipes, const ServiceImage &image, WatchPlan *watch) {
    setsid();
    pid_t watcher = fork();
    if (watcher == 0) ForkWatchedService(pipes, image, watch);
    _exit(watcher > 0 ? 0 : 1);
}

/* The launcher's side once the first child is forked (`first` < 0 when the
 * fork failed): the service's pid, and the first child reaped. */
static DWORD CollectServicePid(pid_t first, LaunchPipes *pipes, pid_t *service) {
    DWORD code = first < 0 ? LastErrnoAsWin32() : 0;
    ClosePipeEnd(&pipes->pid[1]), ClosePipeEnd(&pipes->go[0]), ClosePipeEnd(&pipes->exec[1]);
    if (!code && RetryOnInterrupt([&] { return read(pipes->pid[0], service, sizeof *service); }) !=
                     (ssize_t)sizeof *service)
        code = ERROR_NO_SYSTEM_RESOURCES;
    if (first > 0) RetryOnInterrupt([&] { return waitpid(first, nullptr, 0); });
    ClosePipeEnd(&pipes->pid[0]);
    return code;
}

/* Triple fork: the first child starts a session of its own and ends at once,
 * so neither the watcher nor the service is our child or lingers as our
 * zombie; the watcher (service_watch.h) is the service's parent, and the
 * service starts another session of its own. The service process waits before
 * exec until ReleaseServiceProcess lets it go. */
static DWORD ForkServiceProcess(const char *name, LaunchPlan *plan, PendingLaunch *launch) {
    std::vector<char *> argv = PointerArray(plan->arguments);
    std::vector<char *> envp = PointerArray(plan->environment);
    ServiceImage image = {plan->program.c_str(), argv.data(), envp.data()};
    WatchPlan watch;
    PlanServiceWatch(name, ResolvedRoot(), &watch);
    LaunchPipes pipes;
    DWORD code = OpenLaunchPipes(&pipes);
    if (code) return code;
    pid_t first = fork();
    if (first == 0) StartWatchedService(pipes, image, &watch);
    pid_t service = -1;
    code = CollectServicePid(first, &pipes, &service);
    if (code) {
        CloseLaunchPipes(&pipes);
        return code;
    }
    launch->pid = service;
    launch->goFd = pipes.go[1];
    launch->execFd = pipes.exec[0];
    return 0;
}

/* Lets the held process exec (or, with go false, end): the exec's result. */
static DWORD ReleaseServiceProcess(PendingLaunch *launch, bool go) {
    DWORD code = 0;
    if (go && RetryOnInterrupt([&] { return write(launch->goFd, "g", 1); }) != 1) code = LastErrnoAsWin32();
    close(launch->goFd);
    int error = 0;
    if (go && !code && RetryOnInterrupt([&] { return read(launch->execFd, &error, sizeof error); }) == sizeof error)
        code = Win32ErrorFromErrno(error);
    close(launch->execFd);
    return go ? code : 0;
}

static DWORD StartTimeoutMs() {
    /* Tests shorten the wait; the controller's own wait is 30 s. */
    const char *text = getenv("PELORIM_SERVICE_START_TIMEOUT_MS");
    return text && *text ? (DWORD)strtoul(text, nullptr, 10) : kStartTimeoutMs;
}

static unsigned long long MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000 + (unsigned long long)now.tv_nsec / 1000000;
}

static void SleepMs(DWORD milliseconds) {
    struct timespec interval = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&interval, &interval) != 0 && errno == EINTR) {
    }
}

/* Waits until the dispatcher of `pid` has connected: 0, or
 * ERROR_SERVICE_REQUEST_TIMEOUT when the process ends first or takes too long
 * (it is not killed; it just loses its start record). */
static DWORD WaitForDispatcher(const char *name, long long pid, unsigned long long pidStart) {
    unsigned long long deadline = MonotonicMs() + StartTimeoutMs();
    for (;;) {
        ServiceRuntime runtime;
        DWORD code = ReadServiceRuntime(name, &runtime);
        if (code) return code;
        if (runtime.pid == pid && runtime.connected) return 0;
        if (runtime.pid != pid) return ERROR_SERVICE_REQUEST_TIMEOUT;
        bool vanished = ProcessVanished(pid, pidStart);
        if (vanished || MonotonicMs() > deadline) {
            code = StoreFailedStart(name, pid, vanished ? ERROR_PROCESS_ABORTED : ERROR_SERVICE_REQUEST_TIMEOUT);
            return code ? code : ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        SleepMs(kPollIntervalMs);
    }
}

/* Launches the service process of a claimed start and waits for its dispatcher. */
static DWORD LaunchService(const char *name, const ServiceConfig &config) {
    LaunchPlan plan;
    PendingLaunch launch;
    DWORD code = PlanServiceLaunch(name, config.imagePath, &plan);
    if (!code) code = ForkServiceProcess(name, &plan, &launch);
    if (code) {
        StoreFailedStart(name, getpid(), code);
        return code;
    }
    unsigned long long pidStart = ProcessStartTime(launch.pid);
    code = RecordServiceProcess(name, launch.pid, pidStart);
    DWORD execCode = ReleaseServiceProcess(&launch, code == 0);
    if (code || execCode) {
        StoreFailedStart(name, code ? getpid() : launch.pid, code ? code : execCode);
        return code ? code : execCode;
    }
    return WaitForDispatcher(name, launch.pid, pidStart);
}

static DWORD StartServiceByName(const char *name, std::vector<std::string> *chain);

/* Waits while a dependency is START_PENDING: 0 once it runs, else ERROR_SERVICE_DEPENDENCY_FAIL. */
static DWORD WaitForDependencyRunning(const char *name) {
    unsigned long long deadline = MonotonicMs() + StartTimeoutMs();
    for (;;) {
        ServiceRuntime runtime;
        DWORD code = LoadServiceRuntime(name, &runtime);
        if (code) return ERROR_SERVICE_DEPENDENCY_FAIL;
        DWORD state = runtime.status.dwCurrentState;
        if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) return ERROR_SERVICE_DEPENDENCY_FAIL;
        if (state != SERVICE_START_PENDING) return 0;
        if (MonotonicMs() > deadline) return ERROR_SERVICE_DEPENDENCY_FAIL;
        SleepMs(kPollIntervalMs);
    }
}

static DWORD StartDependency(const char *name, std::vector<std::string> *chain) {
    if (CheckServiceName(name) || CheckServiceKey(name) == ERROR_SERVICE_DOES_NOT_EXIST)
        return ERROR_SERVICE_DEPENDENCY_DELETED;
    ServiceRuntime runtime;
    DWORD code = LoadServiceRuntime(name, &runtime);
    if (code) return ERROR_SERVICE_DEPENDENCY_FAIL;
    if (runtime.status.dwCurrentState == SERVICE_STOPPED) {
        code = StartServiceByName(name, chain);
        if (code == ERROR_CIRCULAR_DEPENDENCY) return code;
        if (code && code != ERROR_SERVICE_ALREADY_RUNNING) return ERROR_SERVICE_DEPENDENCY_FAIL;
    }
    return WaitForDependencyRunning(name);
}

static bool InChain(const std::vector<std::string> &chain, const char *name) {
    for (const auto &entry : chain)
        if (strcasecmp(entry.c_str(), name) == 0) return true;
    return false;
}

/* The start of one service with its dependencies first; `chain` holds the
 * services whose start is under way, against circular dependencies. */
static DWORD StartServiceByName(const char *name, std::vector<std::string> *chain) {
    if (InChain(*chain, name)) return ERROR_CIRCULAR_DEPENDENCY;
    ServiceConfig config;
    DWORD code = ReadServiceConfig(name, &config);
    if (code) return code;
    ServiceRuntime runtime;
    code = LoadServiceRuntime(name, &runtime);
    if (code) return code;
    if (runtime.deletePending) return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (runtime.status.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
    if (config.start == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
    chain->push_back(name);
    for (const auto &dependency : config.dependencies) {
        code = StartDependency(dependency.c_str(), chain);
        if (code) break;
    }
    chain->pop_back();
    if (code) return code;
    code = ClaimServiceStart(name, config.type);
    if (code) return code;
    return LaunchService(name, config);
}

/* ------------------------------------------------------------ control rules */

static bool IsKnownControl(DWORD control) {
    return (control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_INTERROGATE) ||
           (control >= 128 && control <= 255);
}

static bool AcceptsControl(const SERVICE_STATUS &status, DWORD control) {
    DWORD state = status.dwCurrentState;
    if (state == SERVICE_STOP_PENDING) return false;
    if (control == SERVICE_CONTROL_STOP) return (status.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
    if (state == SERVICE_START_PENDING) return false;
    if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
        return (status.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
    return true;
}

/* The status a service reads as: its row, or STOPPED with its configured type. */
static DWORD CurrentStatus(const char *name, SERVICE_STATUS *status, ServiceRuntime *runtime) {
    DWORD code = LoadServiceRuntime(name, runtime);
    if (code) return code;
    *status = runtime->status;
    if (!runtime->present && runtime->status.dwWin32ExitCode == 0) {
        ServiceConfig config;
        if (ReadServiceConfig(name, &config) == 0) status->dwServiceType = config.type;
    }
    return 0;
}

/* The status after the dispatcher closed its socket: when it had the control,
 * its process is ending, and is given a moment to be seen as ended. */
static DWORD AwaitEndAfterControl(const char *name, bool delivered, SERVICE_STATUS *status,
                                  ServiceRuntime *runtime) {
    unsigned long long deadline = MonotonicMs() + (delivered ? 2000 : 0);
    for (;;) {
        DWORD code = CurrentStatus(name, status, runtime);
        if (code || status->dwCurrentState == SERVICE_STOPPED || MonotonicMs() >= deadline) return code;
        SleepMs(kPollIntervalMs);
    }
}

static DWORD ControlServiceByName(const char *name, DWORD control, SERVICE_STATUS *status) {
    ServiceRuntime runtime;
    DWORD code = CurrentStatus(name, status, &runtime);
    if (code) return code;
    if (status->dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (!AcceptsControl(*status, control) || !runtime.connected) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    ControlReply reply;
    bool delivered = false;
    code = SendControl(name, runtime.pid, control, &reply, &delivered);
    if (code == ERROR_SERVICE_REQUEST_TIMEOUT) return code;
    if (code) {
        /* The dispatcher went away: the process stopped or vanished meanwhile.
         * One that took the control and ended before its reply (a handler
         * that ends the process) has been stopped by it. */
        DWORD reload = AwaitEndAfterControl(name, delivered, status, &runtime);
        if (reload) return reload;
        if (status->dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        return delivered ? 0 : ERROR_SERVICE_NOT_ACTIVE;
    }
    *status = reply.status;
    return reply.result;
}

/* ---------------------------------------------------------------- creation */

namespace {
struct NewService {
    const char *name;
    const char *displayName;
    DWORD type, start, errorControl;
    const char *imagePath;
    const char *dependencies;
};
} // namespace

/* Everything CreateServiceA refuses before it writes anything. */
static DWORD CheckNewService(const NewService &service) {
    if (CheckServiceName(service.name) || strlen(service.displayName) > kServiceNameLimit) return ERROR_INVALID_NAME;
    if (!service.imagePath || !*service.imagePath) return ERROR_INVALID_PARAMETER;
    DWORD code = CheckServiceType(service.type, service.start, service.errorControl);
    if (code) return code;
    code = CheckServiceKey(service.name);
    if (code == 0) {
        ServiceRuntime runtime;
        code = ReadServiceRuntime(service.name, &runtime);
        if (!code) code = runtime.deletePending ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
        return code;
    }
    if (code != ERROR_SERVICE_DOES_NOT_EXIST) return code;
    return CheckDisplayNameFree(service.name, service.displayName);
}

/* The key with its values and a STOPPED runtime row; nothing is left behind on failure. */
static DWORD CreateServiceEntry(const NewService &service) {
    OpenKey key;
    DWORD disposition = 0;
    DWORD code = (DWORD)RegCreateKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(service.name).c_str(), 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.Out(), &disposition);
    if (code) return code;
    if (disposition == REG_OPENED_EXISTING_KEY) return ERROR_SERVICE_EXISTS; /* created meanwhile */
    code = WriteServiceValues(key.Get(), service.displayName, service.type, service.start, service.errorControl,
                              service.imagePath, service.dependencies);
    if (!code) code = ResetServiceRuntime(service.name, service.type);
    if (code) RemoveServiceEntry(service.name);
    return code;
}

/* --------------------------------------------------------------- the API */

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    (void)dwDesiredAccess;
    if (lpMachineName && *lpMachineName) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_NAME);
    if (lpDatabaseName && strcasecmp(lpDatabaseName, "ServicesActive") != 0)
        return (SC_HANDLE)FailWithHandle(ERROR_DATABASE_DOES_NOT_EXIST);
    {
        ServiceDb db;
        if (!db.Get()) return (SC_HANDLE)FailWithHandle(MachineDbOpenError());
    }
    SetLastError(0);
    return InsertRecord(RecordKind::Manager, nullptr);
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCSTR lpDependencies, LPCSTR lpServiceStartName, LPCSTR lpPassword) {
    /* The account is always LocalSystem; there are no load order groups or tags. */
    (void)dwDesiredAccess, (void)lpLoadOrderGroup, (void)lpServiceStartName, (void)lpPassword;
    if (!IsRecordOf(hSCManager, RecordKind::Manager, nullptr)) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_HANDLE);
    if (lpdwTagId) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_PARAMETER);
    const char *displayName = lpDisplayName && *lpDisplayName ? lpDisplayName : lpServiceName;
    NewService service = {lpServiceName, displayName,      dwServiceType, dwStartType,
                          dwErrorControl, lpBinaryPathName, lpDependencies};
    DWORD code = CheckNewService(service);
    if (!code) code = CreateServiceEntry(service);
    if (code) return (SC_HANDLE)FailWithHandle(code);
    SetLastError(0);
    return InsertRecord(RecordKind::Service, lpServiceName);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    (void)dwDesiredAccess;
    if (!IsRecordOf(hSCManager, RecordKind::Manager, nullptr)) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_HANDLE);
    if (CheckServiceName(lpServiceName)) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_NAME);
    DWORD code = CheckServiceKey(lpServiceName);
    if (code) return (SC_HANDLE)FailWithHandle(code);
    SetLastError(0);
    return InsertRecord(RecordKind::Service, lpServiceName);
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    DWORD code = CheckServiceKey(name.c_str());
    if (code) return FailWith(code == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_MARKED_FOR_DELETE : code);
    ServiceRuntime runtime;
    code = LoadServiceRuntime(name.c_str(), &runtime);
    if (code) return FailWith(code);
    if (runtime.deletePending) return FailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    bool marked = false;
    if (runtime.present && runtime.status.dwCurrentState != SERVICE_STOPPED) {
        code = MarkForDeletion(name.c_str(), &marked);
        if (code) return FailWith(code);
    }
    if (!marked) code = RemoveServiceEntry(name.c_str());
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors) {
    /* Start arguments are not passed on: ServiceMain gets the service name only. */
    (void)dwNumServiceArgs, (void)lpServiceArgVectors;
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    std::vector<std::string> chain;
    DWORD code = StartServiceByName(name.c_str(), &chain);
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) code = ERROR_SERVICE_MARKED_FOR_DELETE;
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus) return FailWith(ERROR_INVALID_PARAMETER);
    if (!IsKnownControl(dwControl)) return FailWith(ERROR_INVALID_SERVICE_CONTROL);
    SERVICE_STATUS status;
    DWORD code = ControlServiceByName(name.c_str(), dwControl, &status);
    if (!code || code == ERROR_SERVICE_NOT_ACTIVE || code == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
        *lpServiceStatus = status;
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus) return FailWith(ERROR_INVALID_PARAMETER);
    ServiceRuntime runtime;
    DWORD code = CurrentStatus(name.c_str(), lpServiceStatus, &runtime);
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig, DWORD cbBufSize,
                                LPDWORD pcbBytesNeeded) {
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    if (!pcbBytesNeeded) return FailWith(ERROR_INVALID_PARAMETER);
    ServiceConfig config;
    DWORD code = ReadHandleConfig(name.c_str(), &config);
    if (code) return FailWith(code);
    std::string dependencies;
    for (const auto &dependency : config.dependencies) dependencies += dependency + '\0';
    dependencies += '\0';
    size_t needed = sizeof(QUERY_SERVICE_CONFIGA) + config.imagePath.size() + 1 + 1 + dependencies.size() +
                    config.objectName.size() + 1 + config.displayName.size() + 1;
    *pcbBytesNeeded = (DWORD)needed;
    if (!lpServiceConfig || cbBufSize < needed) return FailWith(ERROR_INSUFFICIENT_BUFFER);
    char *next = (char *)(lpServiceConfig + 1);
    auto place = [&next](const char *bytes, size_t size) {
        char *start = next;
        memcpy(next, bytes, size);
        next += size;
        return start;
    };
    lpServiceConfig->dwServiceType = config.type;
    lpServiceConfig->dwStartType = config.start;
    lpServiceConfig->dwErrorControl = config.errorControl;
    lpServiceConfig->dwTagId = 0;
    lpServiceConfig->lpBinaryPathName = place(config.imagePath.c_str(), config.imagePath.size() + 1);
    lpServiceConfig->lpLoadOrderGroup = place("", 1);
    lpServiceConfig->lpDependencies = place(dependencies.data(), dependencies.size());
    lpServiceConfig->lpServiceStartName = place(config.objectName.c_str(), config.objectName.size() + 1);
    lpServiceConfig->lpDisplayName = place(config.displayName.c_str(), config.displayName.size() + 1);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI ChangeServiceConfig2A(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    if (dwInfoLevel != SERVICE_CONFIG_SERVICE_SID_INFO) return FailWith(ERROR_INVALID_LEVEL);
    if (!lpInfo) return FailWith(ERROR_INVALID_PARAMETER);
    DWORD sidType = ((const SERVICE_SID_INFO *)lpInfo)->dwServiceSidType;
    if (sidType != SERVICE_SID_TYPE_NONE && sidType != SERVICE_SID_TYPE_UNRESTRICTED &&
        sidType != SERVICE_SID_TYPE_RESTRICTED)
        return FailWith(ERROR_INVALID_PARAMETER);
    OpenKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name.c_str()).c_str(), 0, KEY_SET_VALUE, key.Out());
    if (status == ERROR_FILE_NOT_FOUND) return FailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (status == ERROR_SUCCESS)
        status = RegSetValueExA(key.Get(), "ServiceSidType", 0, REG_DWORD, (const BYTE *)&sidType, sizeof sidType);
    if (status != ERROR_SUCCESS) return FailWith((DWORD)status);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    ControllerRecord *record = (ControllerRecord *)hSCObject;
    {
        std::lock_guard<std::mutex> guard(recordsLock);
        if (!records.erase(record)) return FailWith(ERROR_INVALID_HANDLE);
    }
    delete record;
    SetLastError(0);
    return TRUE;
}
