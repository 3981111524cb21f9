/* StringList: a growable list of owned strings, and its multi-string and
 * line-joined forms. */
#ifndef PELORIM_STRINGLIST_H
#define PELORIM_STRINGLIST_H

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"

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

#endif
