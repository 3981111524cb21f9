/*
 * The allocation rule of the whole program, and the allocated texts made
 * under it. AllocateOrExit and ReallocateOrExit never return NULL: a failed
 * allocation writes "malloc: ..." or "realloc: ..." to standard error and
 * ends the process with exit code 1.
 */
#ifndef PELORIM_TEXT_H
#define PELORIM_TEXT_H

#include <stdarg.h>
#include <stddef.h>

void *AllocateOrExit(size_t size);
void *ReallocateOrExit(void *block, size_t size);
/* A malloc'd copy of `text` under the same rule; the caller frees it. */
char *DuplicateOrExit(const char *text);
/* A malloc'd printf-style text under the same rule; the caller frees it. */
char *FormatTextV(const char *format, va_list arguments);
char *FormatText(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));

/* Test seam: when set, the next allocations fail as if memory ran out. */
extern int (*allocationFailureHook)(void);

#endif
