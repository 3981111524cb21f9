#include "log/log.h"

#include <atomic>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
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

/* In a detached child, the pipes of the service process (0 output, 1 error):
 * the child's records go there, and the service process writes them to its
 * log; the child never opens the log file. NULL elsewhere. */
static std::atomic<HANDLE> logStreams[2];

/* Error first: a thread that sees the output pipe set finds both. */
void LogThroughStandardStreams(HANDLE out, HANDLE err) {
    logStreams[1].store(err);
    logStreams[0].store(out);
}

void LogMessage(const char *text, int level) {
    if (level > settings.debugLevel) return;
    if (settings.serviceMode == 1 || logStreams[0].load() != nullptr) {
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

/* Whole lines to the pipe of the level: standard output for Info, standard
 * error for the rest. One write, so that a line of ours does not mix with the
 * virtual machine's; a missing last line end is added. */
static void WriteToLogStream(const char *text, size_t length, int level) {
    bool ended = length > 0 && text[length - 1] == '\n';
    TextGuard copy(static_cast<char *>(AllocateOrExit(length + 1)));
    memcpy(copy.Get(), text, length);
    if (!ended) copy.Get()[length++] = '\n';
    DWORD written = 0;
    WriteFile(logStreams[level == LOG_INFO ? 0 : 1].load(), copy.Get(), static_cast<DWORD>(length), &written, nullptr);
}

void WriteServiceLog(const char *text, int level) {
    if (settings.eventLogging == 0) return;
    if (logStreams[0].load() != nullptr) {
        WriteToLogStream(text, strlen(text), level);
        return;
    }
    if (AppendLogLine(text, level) == 1) ReportEvent(text, level);
}

/* Set once a failure of the log file has been reported; cleared by the next
 * good write, so that a full disk or a missing directory gives one report,
 * not one per record. Rotation failures are reported once per run of their own. */
static bool logFileFailing = false;
static bool logRotationFailing = false;

/* The bytes in the open file as this process knows them: taken at the open
 * and at each check of the name, grown by each write. Only LogMaxSize uses it. */
static unsigned long long logFileSize;
/* When the name was last checked (GetTickCount), and when a rotation last failed. */
static DWORD logNameCheckTick;
static DWORD logRotationFailureTick;

enum {
    /* The application's output may come at hundreds of thousands of lines a
     * second: that the path still names the open file is checked at most this
     * often. A record written within this time after a rename goes to the
     * renamed file, which is kept; none is lost. */
    LOG_NAME_CHECK_MS = 10,
    /* A rotation that failed (an old file held open by a reader that does not
     * share deletion) is tried again no sooner than this. */
    LOG_ROTATION_RETRY_MS = 1000,
};

/* "<date> <time> " is formatted once per second and reused. */
static char logStamp[96];
static size_t logStampLength;
static SYSTEMTIME logStampTime;

static const char *LevelPrefix(int level) {
    switch (level) {
    case LOG_ERROR: return MSG_LEVEL_ERROR;
    case LOG_WARNING: return MSG_LEVEL_WARNING;
    case LOG_INFO: return MSG_LEVEL_INFO;
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

/* Records not yet written, built under logLock: one write takes them all.
 * The block grows as needed and is kept for the next records. */
static char *pendingRecords;
static size_t pendingLength;
static size_t pendingCapacity;

static void ReservePending(size_t more) {
    if (pendingLength + more <= pendingCapacity) return;
    size_t capacity = pendingCapacity == 0 ? 4096 : pendingCapacity;
    while (capacity < pendingLength + more) capacity *= 2;
    pendingRecords = static_cast<char *>(ReallocateOrExit(pendingRecords, capacity));
    pendingCapacity = capacity;
}

/* A NUL byte of the text stands in the log as "^@", the form terminals show
 * it in, so that no byte after it is lost. */
static void AddPendingText(const char *text, size_t length) {
    const char *end = text + length;
    while (text < end) {
        const char *nul = static_cast<const char *>(memchr(text, '\0', static_cast<size_t>(end - text)));
        const char *stop = nul != nullptr ? nul : end;
        memcpy(pendingRecords + pendingLength, text, static_cast<size_t>(stop - text));
        pendingLength += static_cast<size_t>(stop - text);
        if (nul == nullptr) return;
        memcpy(pendingRecords + pendingLength, "^@", 2);
        pendingLength += 2;
        text = nul + 1;
    }
}

/* The length of the record "<stamp><prefix><text>\r\n"; the text may hold NULs. */
static size_t RecordLength(const char *text, size_t length, int level) {
    size_t nuls = 0;
    const char *end = text + length;
    for (const char *at = text; (at = static_cast<const char *>(memchr(at, '\0', static_cast<size_t>(end - at))));
         at++)
        nuls++;
    return logStampLength + strlen(LevelPrefix(level)) + length + nuls + 2;
}

static void AddPendingRecord(const char *text, size_t length, int level, size_t recordLength) {
    ReservePending(recordLength);
    const char *prefix = LevelPrefix(level);
    memcpy(pendingRecords + pendingLength, logStamp, logStampLength);
    pendingLength += logStampLength;
    memcpy(pendingRecords + pendingLength, prefix, strlen(prefix));
    pendingLength += strlen(prefix);
    AddPendingText(text, length);
    memcpy(pendingRecords + pendingLength, "\r\n", 2);
    pendingLength += 2;
}

/* Reports a failure of the log file through the event log, once for a run of
 * failures. */
static void ReportLogFileFailure(const char *name, DWORD code) {
    if (logFileFailing) return;
    logFileFailing = true;
    TextGuard failure(FormatSystemError(name, code));
    ReportEvent(failure.Get(), LOG_ERROR);
}

static void CloseLogFile(void) {
    CloseHandle(logFileHandle);
    logFileHandle = nullptr;
}

HANDLE OpenLogFileForAppend(const char *path, DWORD *error) {
    /* FILE_READ_ATTRIBUTES: GENERIC_WRITE alone does not let Windows tell the
     * file's identity and size, which LogFileStillNamed compares. */
    HANDLE file = CreateFileA(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    *error = GetLastError();
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return file;
}

static unsigned long long FileSize(const BY_HANDLE_FILE_INFORMATION &info) {
    return (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

static int OpenLogFile(void) {
    DWORD error = 0;
    HANDLE file = OpenLogFileForAppend(settings.logFilePath, &error);
    if (file == nullptr) {
        ReportLogFileFailure("CreateFile", error);
        return 1;
    }
    logFileHandle = file;
    BY_HANDLE_FILE_INFORMATION info;
    logFileSize = GetFileInformationByHandle(file, &info) ? FileSize(info) : 0;
    logNameCheckTick = GetTickCount();
    return 0;
}

/* Whether the path still names the open file: a rotation tool may have
 * renamed it or someone deleted it, which the file's sharing allows. Compared
 * by the file's identity, which holds wherever the system keeps the file's
 * name; takes the file's size afresh, which a truncation in place may have
 * changed. */
static bool LogFileStillNamed(void) {
    BY_HANDLE_FILE_INFORMATION open, named;
    if (!GetFileInformationByHandle(logFileHandle, &open) || open.nNumberOfLinks == 0) return false;
    logFileSize = FileSize(open);
    HandleGuard path(CreateFileA(settings.logFilePath, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!path || !GetFileInformationByHandle(path.Get(), &named)) return false;
    return open.dwVolumeSerialNumber == named.dwVolumeSerialNumber && open.nFileIndexHigh == named.nFileIndexHigh &&
           open.nFileIndexLow == named.nFileIndexLow;
}

/* 0 with the log file open; 1 when there is none to write to (reported). */
static int PrepareLogFile(void) {
    if (settings.logFilePath[0] == '\0') return 1;
    if (logFileHandle != nullptr && GetTickCount() - logNameCheckTick >= LOG_NAME_CHECK_MS) {
        logNameCheckTick = GetTickCount();
        if (!LogFileStillNamed()) CloseLogFile();
    }
    if (logFileHandle == nullptr && OpenLogFile() != 0) return 1;
    return 0;
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

/* The pending records whole at the end of the file, or none of them: 0, or
 * 1 with the failure reported (once for a run of failures) and the file
 * closed. They go to the end of the file as it is at the moment of the write
 * (both offsets all ones, what an append-only handle does), so a rotation
 * that truncates the file in place leaves no hole of NULs before them. */
static int WritePendingRecords(void) {
    if (pendingLength == 0) return 0;
    OVERLAPPED atEnd;
    memset(&atEnd, 0, sizeof atEnd);
    atEnd.Offset = 0xFFFFFFFFu;
    atEnd.OffsetHigh = 0xFFFFFFFFu;
    if (logBeforeWriteHook != nullptr) logBeforeWriteHook();
    DWORD written = 0;
    BOOL done = WriteFile(logFileHandle, pendingRecords, static_cast<DWORD>(pendingLength), &written, &atEnd);
    size_t length = pendingLength;
    pendingLength = 0;
    if (done && written == length) {
        logFileFailing = false;
        logFileSize += length;
        return 0;
    }
    DWORD code = done ? static_cast<DWORD>(ERROR_DISK_FULL) : GetLastError();
    if (written > 0) RemoveTornRecord(written);
    ReportLogFileFailure("WriteFile", code);
    CloseLogFile();
    return 1;
}

/* "<path>.<number>" into `name`, which has room for LONG_PATH_CAPACITY + 12:
 * the path, a dot and ten digits always fit. */
static void FormatOldLogName(char *name, DWORD number) {
    int length = snprintf(name, LONG_PATH_CAPACITY + 12, "%s.%lu", settings.logFilePath,
                          static_cast<unsigned long>(number));
    if (length < 0) name[0] = '\0';
}

static bool FileExists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

/* Used under logLock only; too large for a stack. */
static char olderLogName[LONG_PATH_CAPACITY + 12];
static char newerLogName[LONG_PATH_CAPACITY + 12];

/* Shifts <path>.1 ... up by one into the first free number, deleting
 * <path>.<LogKeep> only when every number up to it is taken, then makes the
 * file <path>.1 (with LogKeep 0 the file is deleted). A step that fails stops
 * the rotation where it is: the numbers stay without a gap below the first
 * free one, so a later attempt deletes nothing more. 0, or 1 after reporting. */
static int MoveLogFilesUp(const char **failedCall) {
    DWORD keep = settings.logKeep;
    *failedCall = "DeleteFile";
    if (keep == 0) return DeleteFileA(settings.logFilePath) ? 0 : 1;
    DWORD vacant = 1;
    for (; vacant <= keep; vacant++) {
        FormatOldLogName(newerLogName, vacant);
        if (!FileExists(newerLogName)) break;
    }
    if (vacant > keep) {
        vacant = keep;
        FormatOldLogName(newerLogName, keep);
        if (!DeleteFileA(newerLogName)) return 1;
    }
    *failedCall = "MoveFileEx";
    for (DWORD number = vacant; number > 1; number--) {
        FormatOldLogName(olderLogName, number - 1);
        FormatOldLogName(newerLogName, number);
        if (!MoveFileExA(olderLogName, newerLogName, 0)) return 1;
    }
    FormatOldLogName(newerLogName, 1);
    return MoveFileExA(settings.logFilePath, newerLogName, 0) ? 0 : 1;
}

/* The file takes no more: it becomes <path>.1 and a new file starts under
 * the path. When that cannot be done, the records go on into the same file. */
static void RotateLogFile(void) {
    CloseLogFile();
    const char *failedCall = nullptr;
    if (MoveLogFilesUp(&failedCall) == 0) {
        logRotationFailing = false;
    } else {
        DWORD code = GetLastError();
        logRotationFailureTick = GetTickCount();
        if (!logRotationFailing) {
            TextGuard failure(FormatSystemError(failedCall, code));
            TextGuard text(FormatText(MSG_LOG_FILE_NOT_ROTATED, settings.logFilePath, failure.Get()));
            ReportEvent(text.Get(), LOG_ERROR);
        }
        logRotationFailing = true;
    }
}

/* Whether a record of `length` bytes after the pending ones would take the
 * file past LogMaxSize. A file with nothing in it takes any record. */
static bool RecordOverflowsFile(size_t length) {
    if (settings.logMaxSize == 0) return false;
    unsigned long long filled = logFileSize + pendingLength;
    if (filled == 0 || filled + length <= settings.logMaxSize) return false;
    return !logRotationFailing || GetTickCount() - logRotationFailureTick >= LOG_ROTATION_RETRY_MS;
}

/* Before a record of `length` bytes that would take the file past
 * LogMaxSize: writes the pending records, rotates, and opens the new file.
 * 0 when the record can be added; 1 when there is no file to add it to. */
static int MakeRoomFor(size_t length) {
    if (!RecordOverflowsFile(length)) return 0;
    if (WritePendingRecords() != 0) return 1;
    RotateLogFile();
    return OpenLogFile();
}

/* Caller holds logLock. */
static int AppendToLogFile(const char *text, int level) {
    if (PrepareLogFile() != 0) return 1;
    UpdateLogStamp();
    pendingLength = 0;
    size_t length = strlen(text);
    size_t recordLength = RecordLength(text, length, level);
    if (MakeRoomFor(recordLength) != 0) return 1;
    AddPendingRecord(text, length, level, recordLength);
    return WritePendingRecords();
}

int AppendLogLine(const char *text, int level) {
    InitializeLog();
    EnterCriticalSection(&logLock);
    int result = AppendToLogFile(text, level);
    LeaveCriticalSection(&logLock);
    return result;
}

static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

/* The length of the line at `line` (up to `end`) without its line end and
 * the white space before it. */
static size_t LineContentLength(const char *line, const char *end) {
    const char *stop = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (stop == nullptr) stop = end;
    while (stop > line && IsBlank(stop[-1])) stop--;
    return static_cast<size_t>(stop - line);
}

/* The start of the line after the one at `line`, or `end`. */
static const char *NextLine(const char *line, const char *end) {
    const char *stop = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
    return stop == nullptr ? end : stop + 1;
}

/* Each line that holds more than white space becomes a record, its leading
 * white space kept (a stack trace's indentation). Returns how many bytes of
 * `lines` are in the file: the lines after them could not be written.
 * Caller holds logLock. */
static size_t AppendLinesToLogFile(const char *lines, size_t length, int level) {
    if (PrepareLogFile() != 0) return 0;
    UpdateLogStamp();
    pendingLength = 0;
    const char *end = lines + length;
    /* Where the lines of the pending records begin. */
    const char *pendingFrom = lines;
    for (const char *line = lines; line < end; line = NextLine(line, end)) {
        size_t content = LineContentLength(line, end);
        if (content == 0) continue;
        size_t recordLength = RecordLength(line, content, level);
        if (RecordOverflowsFile(recordLength)) {
            if (WritePendingRecords() != 0) return static_cast<size_t>(pendingFrom - lines);
            pendingFrom = line;
            RotateLogFile();
            if (OpenLogFile() != 0) return static_cast<size_t>(pendingFrom - lines);
        }
        if (pendingLength == 0) pendingFrom = line;
        AddPendingRecord(line, content, level, recordLength);
    }
    if (WritePendingRecords() != 0) return static_cast<size_t>(pendingFrom - lines);
    return length;
}

/* What the event log gets of lines that the file did not take: one record,
 * trimmed, NULs shown. */
static void ReportOutputLines(const char *lines, size_t length, int level) {
    while (length > 0 && IsBlank(*lines)) lines++, length--;
    while (length > 0 && IsBlank(lines[length - 1])) length--;
    if (length == 0) return;
    EnterCriticalSection(&logLock);
    pendingLength = 0;
    ReservePending(2 * length + 1);
    AddPendingText(lines, length);
    pendingRecords[pendingLength] = '\0';
    pendingLength = 0;
    ReportEvent(pendingRecords, level);
    LeaveCriticalSection(&logLock);
}

void WriteServiceOutput(const char *lines, size_t length, int level) {
    if (settings.eventLogging != 1 || length == 0) return;
    if (logStreams[0].load() != nullptr) {
        WriteToLogStream(lines, length, level);
        return;
    }
    InitializeLog();
    EnterCriticalSection(&logLock);
    size_t written = AppendLinesToLogFile(lines, length, level);
    LeaveCriticalSection(&logLock);
    if (written < length) ReportOutputLines(lines + written, length - written, level);
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
