/* Levelled messages to the console, the log file and the event log. */
#ifndef PELORIM_LOG_H
#define PELORIM_LOG_H

#include <stdio.h>
#include <windows.h>

#include "common/system_error.h"

/* The system headers map ReportEvent to ReportEventA; the name is ours here. */
#undef ReportEvent

enum LogLevel { LOG_ERROR = 0, LOG_WARNING = 1, LOG_INFO = 2 };

/* Re-entrant lock around log file appends and event reports. */
extern CRITICAL_SECTION logLock;
/* The open log file, or NULL; opened on the first append and kept open while
 * writes succeed and the log file path still names it. Only the service
 * process opens it; it shares reading, writing and deletion, so that a
 * rotation tool may rename or delete it meanwhile. */
extern HANDLE logFileHandle;

void InitializeLog(void);

/* Writes `text` to a console stream so that each "\r\n" in it arrives as
 * "\r\n" on every platform (see hostStreamsAddCarriageReturn). */
void WriteConsoleText(FILE *stream, const char *text);

void LogMessage(const char *text, int level);
void LogError(const char *text);
void LogLabelled(const char *label, const char *text, int level);
/* printf-style LogMessage. */
void LogFormatted(int level, const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));
/* LogError of FormatSystemError(name, code). */
void LogSystemError(const char *name, DWORD code);
void WriteServiceLog(const char *text, int level);
/* What the application and the shutdown command wrote: `length` bytes of
 * whole lines, each ended by "\n" (the last may lack it). In the log file
 * each line that holds more than white space is a record of its own (its
 * trailing white space cut off, NULs shown as "^@"); lines that the file
 * cannot take go to the event log as one record. Only with eventLogging 1. */
void WriteServiceOutput(const char *lines, size_t length, int level);
/* 0 when the whole line is in the log file; 1 when the caller is to put the
 * record in the event log: no log file configured, or it could neither be
 * opened nor written (a part written is cut off again). When the record would
 * take the file past settings.logMaxSize (0: no limit), the file first becomes
 * "<path>.1", older ones move up to "<path>.<logKeep>", and a new file starts. */
int AppendLogLine(const char *text, int level);
/* Opens `path` for appending as the log file is opened: created when missing,
 * every access shared, never waiting; NULL when it cannot be opened or is no
 * regular file (ERROR_ACCESS_DENIED, as for a directory). *error is the
 * open's last error: ERROR_ALREADY_EXISTS when it opened an existing file. */
HANDLE OpenLogFileForAppend(const char *path, DWORD *error);
/* In a detached child: records from here on go as lines to these pipes of
 * the service process (Info to `out`, the other levels to `err`), which logs
 * them; LogMessage too, as in the service process. */
void LogThroughStandardStreams(HANDLE out, HANDLE err);
void ReportEvent(const char *text, int level);

/* Test seam: when set, called with logLock held just before each record is
 * written to the open log file, so that a test can change the file there. */
extern void (*logBeforeWriteHook)(void);

#endif
