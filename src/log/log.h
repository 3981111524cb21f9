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
 * writes succeed and the log file path still names it. */
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
/* 0 when the whole line is in the log file; 1 when the caller is to put the
 * record in the event log: no log file configured, or it could neither be
 * opened nor written (a part written is cut off again). */
int AppendLogLine(const char *text, int level);
void ReportEvent(const char *text, int level);

/* Test seam: when set, called with logLock held just before each record is
 * written to the open log file, so that a test can change the file there. */
extern void (*logBeforeWriteHook)(void);

#endif
