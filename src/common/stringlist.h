/*
 * The allocation rule of the whole program and StringList.
 * AllocateOrExit and ReallocateOrExit never return NULL: a failed allocation
 * writes "malloc: ..." or "realloc: ..." to standard error and ends the
 * process with exit code 1.
 */
#ifndef PELORIM_STRINGLIST_H
#define PELORIM_STRINGLIST_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

void *AllocateOrExit(size_t size);
void *ReallocateOrExit(void *block, size_t size);
/* A malloc'd copy of `text` under the same rule; the caller frees it. */
char *DuplicateOrExit(const char *text);
/* A malloc'd printf-style text under the same rule; the caller frees it. */
char *FormatTextV(const char *format, va_list arguments);
char *FormatText(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));

/* An empty list is all zero; the list owns its entries and its array. */
struct StringList {
    char **items;
    int32_t capacity;
    int32_t count;
};

/* Appends a copy of `text`; returns the copy, still owned by the list. */
char *AddString(StringList *list, const char *text);
void ClearStrings(StringList *list);
/* Index of the first entry equal to `text` (case-sensitive), or -1. */
int FindString(const StringList *list, const char *text);
/* A new multi-string of the entries (each NUL-ended, then one more NUL);
 * returns its size in bytes. The caller frees *out. */
size_t ToMultiString(const StringList *list, char **out);
/* A new text of the entries joined by "\r\n"; the list must not be empty.
 * The caller frees *out. */
void JoinWithLineBreaks(const StringList *list, char **out);

/* Test seam: when set, the next allocations fail as if memory ran out. */
extern int (*allocationFailureHook)(void);

#endif
