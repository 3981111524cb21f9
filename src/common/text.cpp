#include "common/text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "common/system_message.h"

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
