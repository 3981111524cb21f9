#include "common/stringlist.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "common/system_error.h"

int (*allocationFailureHook)(void) = nullptr;

static bool AllocationMustFail(void) { return allocationFailureHook != nullptr && allocationFailureHook() != 0; }

/* Memory is exhausted here: the line is formed in static storage. The C
 * allocators do not set the system's last error, so the code is named. */
[[noreturn]] static void ExitForFailedAllocation(const char *name) {
    static char line[512];
    FormatSystemErrorInto(line, sizeof line - 1, name, ERROR_NOT_ENOUGH_MEMORY);
    strcat(line, "\n");
    fputs(line, stderr);
    exit(1);
}

void *AllocateOrExit(size_t size) {
    void *block = AllocationMustFail() ? nullptr : malloc(size == 0 ? 1 : size);
    if (block == nullptr) ExitForFailedAllocation("malloc");
    return block;
}

void *ReallocateOrExit(void *block, size_t size) {
    void *moved = AllocationMustFail() ? nullptr : realloc(block, size == 0 ? 1 : size);
    if (moved == nullptr) ExitForFailedAllocation("realloc");
    return moved;
}

char *DuplicateOrExit(const char *text) {
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(AllocateOrExit(size));
    memcpy(copy, text, size);
    return copy;
}

char *FormatTextV(const char *format, va_list arguments) {
    va_list measure;
    va_copy(measure, arguments);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) length = 0;
    char *text = static_cast<char *>(AllocateOrExit(static_cast<size_t>(length) + 1));
    vsnprintf(text, static_cast<size_t>(length) + 1, format, arguments);
    return text;
}

char *FormatText(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    char *text = FormatTextV(format, arguments);
    va_end(arguments);
    return text;
}

char *AddString(StringList *list, const char *text) {
    if (list->count >= list->capacity) {
        if (list->items == nullptr) {
            list->items = static_cast<char **>(AllocateOrExit(4 * sizeof(char *)));
            list->capacity = 4;
        } else {
            list->capacity *= 2;
            list->items = static_cast<char **>(
                ReallocateOrExit(list->items, static_cast<size_t>(list->capacity) * sizeof(char *)));
        }
    }
    char *copy = DuplicateOrExit(text);
    list->items[list->count++] = copy;
    return copy;
}

void ClearStrings(StringList *list) {
    if (list->items == nullptr || list->count < 1) return;
    for (int32_t i = 0; i < list->count; i++) {
        free(list->items[i]);
        list->items[i] = nullptr;
    }
    free(list->items);
    list->items = nullptr;
    list->capacity = 0;
    list->count = 0;
}

int FindString(const StringList *list, const char *text) {
    if (list->items == nullptr || list->count < 1) return -1;
    for (int32_t i = 0; i < list->count; i++)
        if (strcmp(list->items[i], text) == 0) return i;
    return -1;
}

/* A new block of every entry followed by `after` (of `afterLength` bytes), then
 * a NUL; its size in bytes goes to *size. */
static char *ConcatenateEntries(const StringList *list, const char *after, size_t afterLength, size_t *size) {
    *size = 1;
    for (int32_t i = 0; i < list->count; i++) *size += strlen(list->items[i]) + afterLength;
    char *block = static_cast<char *>(AllocateOrExit(*size));
    char *next = block;
    for (int32_t i = 0; i < list->count; i++) {
        size_t length = strlen(list->items[i]);
        memcpy(next, list->items[i], length);
        memcpy(next + length, after, afterLength);
        next += length + afterLength;
    }
    *next = '\0';
    return block;
}

size_t ToMultiString(const StringList *list, char **out) {
    size_t size = 0;
    *out = ConcatenateEntries(list, "", 1, &size);
    return size;
}

void JoinWithLineBreaks(const StringList *list, char **out) {
    size_t size = 0;
    char *text = ConcatenateEntries(list, "\r\n", 2, &size);
    if (size >= 3) text[size - 3] = '\0'; /* the last entry's "\r\n" */
    *out = text;
}
