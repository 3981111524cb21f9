/*
 * The Application event log: one row per ReportEventA in machine.db, read
 * through the `eventlog` view. Any source name is accepted, registered in the
 * registry or not, as Win32 does (it then files the records under Application).
 *
 * The log is bounded as Windows bounds it, by the Application log's values
 * under System\CurrentControlSet\Services\EventLog\Application: `MaxSize` in
 * bytes (default 20 MiB, at least 64 KiB) and `Retention` (0: overwrite the
 * oldest records as needed; 0xFFFFFFFF: never; otherwise overwrite only
 * records older than that many seconds). A record counts as 56 bytes (the size
 * of Windows' record header) plus its source and message with their NULs
 * (EVENT_RECORD_SIZE_SQL). When a new record takes the log past MaxSize, the
 * oldest records go until the log, the new record included, holds at most
 * MaxSize less a sixteenth, so that trimming is rare; a record that straddles
 * that mark goes too. The retention spares the records that are not yet old
 * enough: when those keep the log past MaxSize, ReportEventA fails with
 * ERROR_LOG_FILE_FULL and nothing changes. So does a record larger than MaxSize
 * on its own. Less than kKeptFreeBytes left on the root's file system fails it
 * with ERROR_DISK_FULL, whatever the log's size.
 *
 * Each record carries `ends_at`, the log's running size up to and including
 * it, so the log's size is the newest record's ends_at minus the oldest's
 * (plus the oldest record itself): two index look-ups, no scan. seq is the
 * rowid; the newest record is never deleted, so a new record always gets a
 * larger seq than any record before it.
 *
 * Durability: each record is one committed transaction before ReportEventA
 * returns, so it survives the end or crash of any process. machine.db runs in
 * WAL mode with synchronous=NORMAL: a power cut or an operating-system crash
 * may lose the records committed since the log was last synced to disk (at a
 * checkpoint), never the database's consistency.
 */
#include <pthread.h>
#include <sqlite3.h>
#include <time.h>

#include <string>

#include "errors.h"
#include "handles.h"
#include "root.h"

namespace {

const char kApplicationLogKey[] = "System\\CurrentControlSet\\Services\\EventLog\\Application";
const DWORD kDefaultMaxSize = 20u << 20;
const DWORD kLeastMaxSize = 64u << 10;
const DWORD kNeverOverwrite = 0xFFFFFFFFu;
/* The event log never takes the last of the root's file system: the service
 * controller's state lives in the same machine.db, and a service whose own
 * records had filled the disk could no longer report that it stops. */
const unsigned long long kKeptFreeBytes = 2ull << 20;
/* The settings are looked at again after this long. */
const time_t kLimitsLifetimeSeconds = 1;

struct EventSourceObject : KernelObject {
    explicit EventSourceObject(const char *name) : KernelObject(ObjectKind::EventSource), source(name) {}
    const std::string source;
};

struct LogLimits {
    DWORD maxSize;
    DWORD retention;
};

pthread_mutex_t limitsLock = PTHREAD_MUTEX_INITIALIZER;
LogLimits cachedLimits;
time_t limitsReadAt; /* monotonic seconds; 0 before the first read */

/* Statements prepared once on the process's connection; guarded by
 * MachineDbLock. A new connection (after fork) prepares them anew. */
struct LogStatements {
    sqlite3 *db;
    sqlite3_stmt *begin;
    sqlite3_stmt *commit;
    sqlite3_stmt *rollback;
    sqlite3_stmt *extent;
    sqlite3_stmt *trim;
    sqlite3_stmt *insert;
};
LogStatements statements;

const char kExtentSql[] =
    "SELECT (SELECT ends_at FROM event_records ORDER BY seq DESC LIMIT 1),"
    " (SELECT ends_at - record_size FROM event_records ORDER BY seq LIMIT 1)";
/* Deletes the oldest records that start before ?1, never the newest, and with
 * a retention (?2 seconds, 0 for none) only those older than that. The scan
 * stops at the first record kept. */
const char kTrimSql[] =
    "DELETE FROM event_records WHERE seq < coalesce("
    " (SELECT seq FROM event_records WHERE ends_at - record_size >= ?1 ORDER BY seq LIMIT 1),"
    " (SELECT max(seq) FROM event_records))"
    " AND (?2 = 0 OR time < strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-' || ?2 || ' seconds'))";
/* The record is sized, and placed after the newest, here. */
const char kInsertSql[] =
    "INSERT INTO event_records(time, source, type, event_id, category, message, record_size, ends_at)"
    " SELECT strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), ?1, ?2, ?3, ?4, ?5, " EVENT_RECORD_SIZE_SQL("?1", "?5") ", "
    EVENT_RECORD_SIZE_SQL("?1", "?5") " + coalesce((SELECT ends_at FROM event_records ORDER BY seq DESC LIMIT 1), 0)";

/* The insertion strings joined by line feeds; a NULL string counts as empty. */
std::string JoinStrings(WORD count, LPCSTR *strings) {
    std::string message;
    for (WORD i = 0; i < count; i++) {
        if (i > 0) message += '\n';
        if (strings[i]) message += strings[i];
    }
    return message;
}

DWORD QueryDword(HKEY key, const char *name, DWORD fallback) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)&value, &size) != ERROR_SUCCESS) return fallback;
    return type == REG_DWORD && size == sizeof value ? value : fallback;
}

LogLimits ReadLimits() {
    LogLimits limits = {kDefaultMaxSize, 0};
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApplicationLogKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return limits;
    limits.maxSize = QueryDword(key, "MaxSize", kDefaultMaxSize);
    limits.retention = QueryDword(key, "Retention", 0);
    RegCloseKey(key);
    if (limits.maxSize < kLeastMaxSize) limits.maxSize = kLeastMaxSize;
    return limits;
}

/* The Application log's settings, read at most once per kLimitsLifetimeSeconds
 * (outside limitsLock: reading the registry takes the database). */
LogLimits CurrentLimits() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    pthread_mutex_lock(&limitsLock);
    bool fresh = limitsReadAt != 0 && now.tv_sec - limitsReadAt < kLimitsLifetimeSeconds;
    LogLimits limits = cachedLimits;
    pthread_mutex_unlock(&limitsLock);
    if (fresh) return limits;
    limits = ReadLimits();
    pthread_mutex_lock(&limitsLock);
    cachedLimits = limits;
    limitsReadAt = now.tv_sec > 0 ? now.tv_sec : 1;
    pthread_mutex_unlock(&limitsLock);
    return limits;
}

int Prepare(sqlite3 *db, const char *sql, sqlite3_stmt **statement) {
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr);
}

/* The cached statements of `db`: true when all are ready. */
bool PrepareStatements(sqlite3 *db) {
    if (statements.db == db) return true;
    LogStatements fresh = {};
    fresh.db = db;
    if (Prepare(db, "BEGIN IMMEDIATE", &fresh.begin) != SQLITE_OK || Prepare(db, "COMMIT", &fresh.commit) != SQLITE_OK ||
        Prepare(db, "ROLLBACK", &fresh.rollback) != SQLITE_OK || Prepare(db, kExtentSql, &fresh.extent) != SQLITE_OK ||
        Prepare(db, kTrimSql, &fresh.trim) != SQLITE_OK || Prepare(db, kInsertSql, &fresh.insert) != SQLITE_OK) {
        sqlite3_stmt *all[] = {fresh.begin, fresh.commit, fresh.rollback, fresh.extent, fresh.trim, fresh.insert};
        for (sqlite3_stmt *statement : all) sqlite3_finalize(statement);
        return false;
    }
    /* The statements of a connection left behind by fork belong to the parent's
     * connection and are forgotten with it. */
    statements = fresh;
    return true;
}

bool Run(sqlite3_stmt *statement) {
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE;
}

/* The log's end and start offsets (0 and 0 when it is empty). */
bool ReadExtent(sqlite3_int64 *end, sqlite3_int64 *start) {
    sqlite3_stmt *extent = statements.extent;
    bool ok = sqlite3_step(extent) == SQLITE_ROW;
    if (ok) {
        *end = sqlite3_column_int64(extent, 0);
        *start = sqlite3_column_int64(extent, 1);
    }
    sqlite3_reset(extent);
    return ok;
}

/* Inside the transaction, after the newest record was added: trims the log to
 * its bound. 0, ERROR_LOG_FILE_FULL or ERROR_WRITE_FAULT. */
DWORD KeepWithinBound(const LogLimits &limits) {
    sqlite3_int64 end = 0, start = 0;
    if (!ReadExtent(&end, &start)) return ERROR_WRITE_FAULT;
    if (end - start <= limits.maxSize) return 0;
    if (limits.retention == kNeverOverwrite) return ERROR_LOG_FILE_FULL;
    sqlite3_bind_int64(statements.trim, 1, end - (limits.maxSize - limits.maxSize / 16));
    sqlite3_bind_int64(statements.trim, 2, limits.retention);
    if (!Run(statements.trim)) return ERROR_WRITE_FAULT;
    if (!ReadExtent(&end, &start)) return ERROR_WRITE_FAULT;
    /* The retention kept records that would have to go, or the record alone is too large. */
    return end - start <= limits.maxSize ? 0 : ERROR_LOG_FILE_FULL;
}

DWORD InsertRecord(const std::string &source, WORD type, WORD category, DWORD eventId, const std::string &message) {
    sqlite3_stmt *insert = statements.insert;
    sqlite3_bind_text(insert, 1, source.c_str(), (int)source.size(), SQLITE_STATIC);
    sqlite3_bind_int(insert, 2, type);
    sqlite3_bind_int64(insert, 3, eventId);
    sqlite3_bind_int(insert, 4, category);
    sqlite3_bind_text(insert, 5, message.c_str(), (int)message.size(), SQLITE_STATIC);
    bool ok = Run(insert);
    sqlite3_clear_bindings(insert);
    return ok ? 0 : ERROR_WRITE_FAULT;
}

/* One transaction: the record is added and the log trimmed to its bound, or
 * nothing changes. */
DWORD AppendRecord(const std::string &source, WORD type, WORD category, DWORD eventId, const std::string &message) {
    if (!RootHasRoom(kKeptFreeBytes)) return ERROR_DISK_FULL;
    LogLimits limits = CurrentLimits();
    sqlite3 *db = MachineDbLock();
    DWORD error = !db && MachineDbOpenError() == ERROR_ACCESS_DENIED ? (DWORD)ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
    if (db && PrepareStatements(db) && Run(statements.begin)) {
        error = InsertRecord(source, type, category, eventId, message);
        if (!error) error = KeepWithinBound(limits);
        if (!error && !Run(statements.commit)) error = ERROR_WRITE_FAULT;
        if (error) Run(statements.rollback);
    }
    MachineDbUnlock();
    return error;
}

} // namespace
HANDLE WINAPI RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
    if (lpUNCServerName && *lpUNCServerName) return FailWithHandle(ERROR_INVALID_PARAMETER);
    if (!lpSourceName) return FailWithHandle(ERROR_INVALID_PARAMETER);
    EventSourceObject *source = new EventSourceObject(lpSourceName);
    HANDLE handle = InsertHandle(source, false);
    if (!handle) {
        ReleaseObject(source);
        return FailWithHandle(ERROR_NO_SYSTEM_RESOURCES);
    }
    return handle;
}

/* Raw data and the user SID are not kept. */
BOOL WINAPI ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                         WORD wNumStrings, DWORD dwDataSize, LPCSTR *lpStrings, LPVOID lpRawData) {
    (void)lpUserSid, (void)dwDataSize, (void)lpRawData;
    ObjectReference reference(ReferenceHandle(hEventLog, ObjectKind::EventSource));
    if (!reference) return FailWith(ERROR_INVALID_HANDLE);
    if (wNumStrings > 0 && !lpStrings) return FailWith(ERROR_INVALID_PARAMETER);
    const std::string &source = static_cast<EventSourceObject *>(reference.get())->source;
    DWORD error = AppendRecord(source, wType, wCategory, dwEventID, JoinStrings(wNumStrings, lpStrings));
    if (error != ERROR_SUCCESS) return FailWith(error);
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
    {
        ObjectReference reference(ReferenceHandle(hEventLog, ObjectKind::EventSource));
        if (!reference) return FailWith(ERROR_INVALID_HANDLE);
    }
    DWORD error = CloseHandleEntry(hEventLog);
    if (error != ERROR_SUCCESS) return FailWith(error);
    return TRUE;
}
