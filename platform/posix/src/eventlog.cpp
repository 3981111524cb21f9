/*
 * The Application event log: one row per ReportEventA in machine.db, read
 * through the `eventlog` view. Any source name is accepted, registered in the
 * registry or not, as Win32 does (it then files the records under Application).
 */
#include <sqlite3.h>

#include <string>

#include "errors.h"
#include "handles.h"
#include "root.h"

namespace {

struct EventSourceObject : KernelObject {
    explicit EventSourceObject(const char *name) : KernelObject(ObjectKind::EventSource), source(name) {}
    const std::string source;
};

/* The insertion strings joined by line feeds; a NULL string counts as empty. */
std::string JoinStrings(WORD count, LPCSTR *strings) {
    std::string message;
    for (WORD i = 0; i < count; i++) {
        if (i > 0) message += '\n';
        if (strings[i]) message += strings[i];
    }
    return message;
}

DWORD AppendRecord(const std::string &source, WORD type, WORD category, DWORD eventId, const std::string &message) {
    sqlite3 *db = MachineDbLock();
    DWORD error = ERROR_SUCCESS;
    sqlite3_stmt *insert = nullptr;
    if (!db || sqlite3_prepare_v2(db,
                                  "INSERT INTO event_records(time, source, type, event_id, category, message) "
                                  "VALUES (strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), ?1, ?2, ?3, ?4, ?5)",
                                  -1, &insert, nullptr) != SQLITE_OK) {
        error = ERROR_WRITE_FAULT;
    } else {
        sqlite3_bind_text(insert, 1, source.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 2, type);
        sqlite3_bind_int64(insert, 3, eventId);
        sqlite3_bind_int(insert, 4, category);
        sqlite3_bind_text(insert, 5, message.c_str(), (int)message.size(), SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE) error = ERROR_WRITE_FAULT;
    }
    sqlite3_finalize(insert);
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
