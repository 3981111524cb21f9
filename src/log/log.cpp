#include "log/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "control/settings.h"
#include "common/guard.h"
#include "control/stringlist.h"

CRITICAL_SECTION logLock;
HANDLE logFileHandle = nullptr;

static bool logLockReady = false;

static const DWORD systemMessageFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
static const DWORD userDefaultLanguage = 0x400;

/* Safe to call more than once: only the first call initialises the lock. */
void InitializeLog(void) {
    if (logLockReady) return;
    InitializeCriticalSection(&logLock);
    logLockReady = true;
}

/* Drops one trailing "\r\n" from a message longer than one character. */
static void TrimLineBreak(char *message, size_t length) {
    if (length >= 2 && message[length - 2] == '\r' && message[length - 1] == '\n')
        message[length - 2] = '\0';
}

char *FormatSystemError(const char *name, DWORD code) {
    if (code == 0) code = GetLastError();
    char *message = nullptr;
    DWORD length = FormatMessageA(systemMessageFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                                  userDefaultLanguage, reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (length == 0 || message == nullptr) {
        if (message != nullptr) LocalFree(message);
        return FormatText("%s: %s (%d)", name, "Unknown Error", static_cast<int>(code));
    }
    TrimLineBreak(message, strlen(message));
    char *text = FormatText("%s: %s (%d)", name, message, static_cast<int>(code));
    LocalFree(message);
    return text;
}

void FormatSystemErrorInto(char *buffer, size_t capacity, const char *name, DWORD code) {
    if (code == 0) code = GetLastError();
    char message[400];
    DWORD length = FormatMessageA(systemMessageFlags, nullptr, code, userDefaultLanguage, message,
                                  sizeof message, nullptr);
    if (length == 0) {
        strcpy(message, "Unknown Error");
    } else {
        message[sizeof message - 1] = '\0';
        TrimLineBreak(message, strlen(message));
    }
    snprintf(buffer, capacity, "%s: %s (%d)", name, message, static_cast<int>(code));
}

void LogMessage(const char *text, int level) {
    if (level > settings.debugLevel) return;
    if (settings.serviceMode == 1) {
        WriteServiceLog(text, level);
        return;
    }
    fprintf(stderr, "%s\n", text);
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

static const char *LevelPrefix(int level) {
    switch (level) {
    case LOG_ERROR: return "ERROR: ";
    case LOG_WARNING: return "WARNING: ";
    case LOG_INFO: return "INFO: ";
    default: return "";
    }
}

/* The date field is wider than the 19 characters of "September 30, 2004 ",
 * so that no month name of any locale gets the date cut off. */
static char *FormatLogLine(const char *text, int level) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[64] = "";
    char time[32] = "";
    if (GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &now, "MMMM dd',' yyyy ", date, sizeof date) == 0)
        date[0] = '\0';
    if (GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &now, "HH':'mm':'ss ", time, sizeof time) == 0)
        time[0] = '\0';
    return FormatText("%s%s%s%s\r\n", date, time, LevelPrefix(level), text);
}

/* Reports a failed call of the log file through the event log and forgets the file. */
static void ReportLogFileFailure(const char *name, DWORD code) {
    TextGuard failure(FormatSystemError(name, code));
    ReportEvent(failure.Get(), LOG_ERROR);
}

static int OpenLogFile(void) {
    HANDLE file = CreateFileA(settings.logFilePath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ReportLogFileFailure("CreateFile", GetLastError());
        return 1;
    }
    logFileHandle = file;
    return 0;
}

static void WriteLogLine(const char *line) {
    if (SetFilePointer(logFileHandle, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) {
        ReportLogFileFailure("SetFilePointer", GetLastError());
        CloseHandle(logFileHandle);
        logFileHandle = nullptr;
        return;
    }
    DWORD written = 0;
    if (!WriteFile(logFileHandle, line, static_cast<DWORD>(strlen(line)), &written, nullptr)) {
        ReportLogFileFailure("WriteFile", GetLastError());
        CloseHandle(logFileHandle);
        logFileHandle = nullptr;
    }
}

int AppendLogLine(const char *text, int level) {
    InitializeLog();
    EnterCriticalSection(&logLock);
    int result = 0;
    if (logFileHandle == nullptr && (settings.logFilePath[0] == '\0' || OpenLogFile() != 0)) {
        result = 1;
    } else {
        TextGuard line(FormatLogLine(text, level));
        WriteLogLine(line.Get());
    }
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
