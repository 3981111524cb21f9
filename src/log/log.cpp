#include "log/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "host.h"

CRITICAL_SECTION logLock;
HANDLE logFileHandle = nullptr;

static bool logLockReady = false;

/* Safe to call more than once: only the first call initialises the lock. */
void InitializeLog(void) {
    if (logLockReady) return;
    InitializeCriticalSection(&logLock);
    logLockReady = true;
}

void WriteConsoleText(FILE *stream, const char *text) {
    if (!hostStreamsAddCarriageReturn) {
        fputs(text, stream);
        return;
    }
    for (const char *c = text; *c != '\0'; c++)
        if (c[0] != '\r' || c[1] != '\n') fputc(*c, stream);
}

void LogMessage(const char *text, int level) {
    if (level > settings.debugLevel) return;
    if (settings.serviceMode == 1) {
        WriteServiceLog(text, level);
        return;
    }
    WriteConsoleText(stderr, text);
    fputc('\n', stderr);
    fflush(stderr);
}

void LogError(const char *text) { LogMessage(text, LOG_ERROR); }

void LogLabelled(const char *label, const char *text, int level) {
    if (level > settings.debugLevel) return;
    TextGuard line(FormatText("%s %s", label, text));
    LogMessage(line.Get(), level);
}

void LogFormatted(int level, const char *format, ...) {
    if (level > settings.debugLevel) return;
    va_list arguments;
    va_start(arguments, format);
    TextGuard text(FormatTextV(format, arguments));
    va_end(arguments);
    LogMessage(text.Get(), level);
}

void LogSystemError(const char *name, DWORD code) {
    if (code == 0) code = GetLastError();
    if (LOG_ERROR > settings.debugLevel) return;
    TextGuard text(FormatSystemError(name, code));
    LogError(text.Get());
}

void WriteServiceLog(const char *text, int level) {
    if (settings.eventLogging == 0) return;
    if (AppendLogLine(text, level) == 1) ReportEvent(text, level);
}

/* The log file and what the system called it when it was opened: a later
 * difference means that the path no longer names the file (deleted, or renamed
 * by a rotation tool), and the path is opened afresh before the next record. */
static char logFileName[1024];
/* Set once a failed write has been reported; cleared by the next good write, so
 * that a full disk gives one report, not one per record. */
static bool logFileFailing = false;

/* "<date> <time> " is formatted once per second and reused. */
static char logStamp[96];
static size_t logStampLength;
static SYSTEMTIME logStampTime;

enum { LINE_BUFFER_SIZE = 2048 };

static const char *LevelPrefix(int level) {
    switch (level) {
    case LOG_ERROR: return "ERROR: ";
    case LOG_WARNING: return "WARNING: ";
    case LOG_INFO: return "INFO: ";
    default: return "";
    }
}

static bool SameSecond(const SYSTEMTIME &a, const SYSTEMTIME &b) {
    return a.wSecond == b.wSecond && a.wMinute == b.wMinute && a.wHour == b.wHour && a.wDay == b.wDay &&
           a.wMonth == b.wMonth && a.wYear == b.wYear;
}

/* The date field is wider than the 19 characters of "September 30, 2004 ",
 * so that no month name of any locale gets the date cut off. */
static void UpdateLogStamp(void) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (logStampLength > 0 && SameSecond(now, logStampTime)) return;
    char date[64] = "";
    char time[32] = "";
    if (GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &now, "MMMM dd',' yyyy ", date, sizeof date) == 0)
        date[0] = '\0';
    if (GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &now, "HH':'mm':'ss ", time, sizeof time) == 0)
        time[0] = '\0';
    int length = snprintf(logStamp, sizeof logStamp, "%s%s", date, time);
    logStampLength = length > 0 ? strlen(logStamp) : 0;
    logStampTime = now;
}

/* Builds the whole line in `buffer` when it fits, else in a block that
 * *allocated hands to the caller. Returns the line; *length its bytes. */
static char *BuildLogLine(char *buffer, size_t capacity, const char *text, int level, char **allocated,
                          size_t *length) {
    UpdateLogStamp();
    const char *prefix = LevelPrefix(level);
    size_t prefixLength = strlen(prefix);
    size_t textLength = strlen(text);
    *length = logStampLength + prefixLength + textLength + 2;
    char *line = buffer;
    *allocated = nullptr;
    if (*length > capacity) line = *allocated = static_cast<char *>(AllocateOrExit(*length));
    memcpy(line, logStamp, logStampLength);
    memcpy(line + logStampLength, prefix, prefixLength);
    memcpy(line + logStampLength + prefixLength, text, textLength);
    memcpy(line + *length - 2, "\r\n", 2);
    return line;
}

/* Reports a failed call of the log file through the event log. */
static void ReportLogFileFailure(const char *name, DWORD code) {
    TextGuard failure(FormatSystemError(name, code));
    ReportEvent(failure.Get(), LOG_ERROR);
}

static void CloseLogFile(void) {
    CloseHandle(logFileHandle);
    logFileHandle = nullptr;
    logFileName[0] = '\0';
}

static int OpenLogFile(void) {
    HANDLE file = CreateFileA(settings.logFilePath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ReportLogFileFailure("CreateFile", GetLastError());
        return 1;
    }
    logFileHandle = file;
    if (!hostOpenFilesCanBeRenamed) return 0;
    DWORD length = GetFinalPathNameByHandleA(file, logFileName, sizeof logFileName, 0);
    if (length == 0 || length >= sizeof logFileName) logFileName[0] = '\0';
    return 0;
}

/* Whether the open file is still the one the path names. A name that could
 * not be taken at the open, or was not taken since the file cannot be renamed
 * while open, is never compared. */
static bool LogFileStillNamed(void) {
    if (logFileName[0] == '\0') return true;
    char current[sizeof logFileName];
    DWORD length = GetFinalPathNameByHandleA(logFileHandle, current, sizeof current, 0);
    return length != 0 && length < sizeof current && strcmp(current, logFileName) == 0;
}

/* Cuts off the last `written` bytes, a record written in part, so that it
 * leaves no torn line behind; the next record then starts on a line of its
 * own. The file's end is taken afresh: the record went wherever the end was
 * when it was written. */
static void RemoveTornRecord(DWORD written) {
    LONG endHigh = 0;
    DWORD endLow = SetFilePointer(logFileHandle, 0, &endHigh, FILE_END);
    if (endLow == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return;
    unsigned long long end = (static_cast<unsigned long long>(static_cast<DWORD>(endHigh)) << 32) | endLow;
    if (end < written) return;
    end -= written;
    LONG startHigh = static_cast<LONG>(end >> 32);
    if (SetFilePointer(logFileHandle, static_cast<LONG>(end & 0xFFFFFFFFu), &startHigh, FILE_BEGIN) !=
            INVALID_SET_FILE_POINTER ||
        GetLastError() == NO_ERROR)
        SetEndOfFile(logFileHandle);
}

void (*logBeforeWriteHook)(void);

/* The whole line at the end of the file, or nothing: 0, or 1 with the
 * failure reported (once for a run of failures) and the file closed. The
 * line goes to the end of the file as it is at the moment of the write (both
 * offsets all ones, what an append-only handle does), so a rotation that
 * truncates the file in place leaves no hole of NULs before it. */
static int WriteLogLine(const char *line, size_t length) {
    OVERLAPPED atEnd;
    memset(&atEnd, 0, sizeof atEnd);
    atEnd.Offset = 0xFFFFFFFFu;
    atEnd.OffsetHigh = 0xFFFFFFFFu;
    if (logBeforeWriteHook != nullptr) logBeforeWriteHook();
    DWORD written = 0;
    BOOL done = WriteFile(logFileHandle, line, static_cast<DWORD>(length), &written, &atEnd);
    if (done && written == length) {
        logFileFailing = false;
        return 0;
    }
    DWORD code = done ? static_cast<DWORD>(ERROR_DISK_FULL) : GetLastError();
    if (written > 0) RemoveTornRecord(written);
    if (!logFileFailing) ReportLogFileFailure("WriteFile", code);
    logFileFailing = true;
    CloseLogFile();
    return 1;
}

/* Caller holds logLock. */
static int AppendToLogFile(const char *text, int level) {
    if (settings.logFilePath[0] == '\0') return 1;
    if (logFileHandle != nullptr && !LogFileStillNamed()) CloseLogFile();
    if (logFileHandle == nullptr && OpenLogFile() != 0) return 1;
    char buffer[LINE_BUFFER_SIZE];
    char *allocated = nullptr;
    size_t length = 0;
    const char *line = BuildLogLine(buffer, sizeof buffer, text, level, &allocated, &length);
    int result = WriteLogLine(line, length);
    free(allocated);
    return result;
}

int AppendLogLine(const char *text, int level) {
    InitializeLog();
    EnterCriticalSection(&logLock);
    int result = AppendToLogFile(text, level);
    LeaveCriticalSection(&logLock);
    return result;
}

void ReportEvent(const char *text, int level) {
    WORD type = EVENTLOG_INFORMATION_TYPE;
    DWORD eventId = 0x40000003;
    if (level == LOG_ERROR) {
        type = EVENTLOG_ERROR_TYPE;
        eventId = 0xC0000001;
    } else if (level == LOG_WARNING) {
        type = EVENTLOG_WARNING_TYPE;
        eventId = 0x80000002;
    }
    InitializeLog();
    EnterCriticalSection(&logLock);
    HANDLE source = RegisterEventSourceA(nullptr, settings.serviceName);
    if (source != nullptr) {
        LPCSTR strings[1] = {text};
        ReportEventA(source, type, 0, eventId, nullptr, 1, 0, strings, nullptr);
        DeregisterEventSource(source);
    }
    LeaveCriticalSection(&logLock);
}
