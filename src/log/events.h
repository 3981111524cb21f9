/* The names one service's threads and processes share: control events
 * "PELORIM_<service>_<kind>_EVENT", other named objects and the output pipes. */
#ifndef PELORIM_EVENTS_H
#define PELORIM_EVENTS_H

#include <windows.h>

/* A new handle (the caller closes it) or NULL after logging "CreateEvent".
 * The last error is that of CreateEventA: ERROR_ALREADY_EXISTS when the event
 * existed before. */
HANDLE CreateNamedEvent(const char *kind);
/* A new handle (the caller closes it) or NULL after logging "OpenEvent". */
HANDLE OpenNamedEvent(const char *kind);
/* 0, or 1 when the event could not be opened or set. */
int SignalNamedEvent(const char *kind);

/* Formats "PELORIM_<service>_<suffix>" (suffix e.g. "RUN_EVENT",
 * "DETACH_MUTEX"); the caller frees it. */
char *FormatObjectName(const char *suffix);

/* "\\.\PIPE\PELORIM_<service>_STDOUT" (kind 0) or "_STDERR" (kind 1); the caller frees it. */
char *FormatPipeName(int kind);

#endif
