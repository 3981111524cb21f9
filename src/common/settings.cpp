#include "common/settings.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "common/stringlist.h"

static void ApplyDefaults(ServiceSettings *record) {
    record->startType = START_AUTOMATIC;
    record->eventLogging = 1;
    record->logKeep = 5;
}

/* Zero as every static record is, with the defaults written in place: no copy
 * of the record (its long texts take more than forty pages) is built on the
 * stack, at start-up or on a reset. */
ServiceSettings settings;
[[maybe_unused]] static const bool defaultsApplied = (ApplyDefaults(&settings), true);

/* Every reader of a text stops at its NUL. */
void ResetServiceSettings(void) {
    ClearStrings(&settings.dependencies);
    memset(&settings, 0, offsetof(ServiceSettings, exePath));
    for (char *text : {settings.exePath, settings.serviceCommandPrefix, settings.logFilePath,
                       settings.workingDirectory, settings.shutdownCommand})
        text[0] = '\0';
    ApplyDefaults(&settings);
}

void CopyField(char *field, const char *text, size_t capacity) {
    size_t length = strnlen(text, capacity);
    memcpy(field, text, length);
    field[length] = '\0';
}

static char unenteredDirectory[LONG_PATH_CAPACITY + 1];
static DWORD unenteredError;

void NoteUnenteredDirectory(const char *directory, DWORD error) {
    unenteredError = error;
    CopyField(unenteredDirectory, directory, LONG_PATH_CAPACITY);
}

const char *UnenteredWorkingDirectory(DWORD *error) {
    if (error != nullptr) *error = unenteredError;
    return unenteredDirectory[0] != '\0' ? unenteredDirectory : nullptr;
}

char *ReadEnvironmentVariable(const char *name) {
    DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    while (size > 0) {
        char *value = static_cast<char *>(AllocateOrExit(size));
        value[0] = '\0';
        DWORD length = GetEnvironmentVariableA(name, value, size);
        if (length < size) return value;
        free(value);
        size = length; /* it grew meanwhile */
    }
    return nullptr;
}
