#include "common/stringlist.h"

#include <stdlib.h>
#include <string.h>

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
