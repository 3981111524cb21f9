#include "common/settings.h"

#include <string.h>

static void ApplyDefaults(ServiceSettings *record) {
    record->startType = START_AUTOMATIC;
    record->eventLogging = 1;
}

/* Zero as every static record is, with the defaults written in place: no copy
 * of the record (the executable's path alone takes eight pages) is built on the
 * stack, at start-up or on a reset. */
ServiceSettings settings;
[[maybe_unused]] static const bool defaultsApplied = (ApplyDefaults(&settings), true);

void ResetServiceSettings(void) {
    ClearStrings(&settings.dependencies);
    memset(&settings, 0, sizeof settings);
    ApplyDefaults(&settings);
}

void CopyField(char *field, const char *text, size_t capacity) {
    size_t length = strnlen(text, capacity);
    memcpy(field, text, length);
    field[length] = '\0';
}

static char unenteredDirectory[PATH_CAPACITY + 1];
static DWORD unenteredError;

void NoteUnenteredDirectory(const char *directory, DWORD error) {
    unenteredError = error;
    CopyField(unenteredDirectory, directory, PATH_CAPACITY);
}

const char *UnenteredWorkingDirectory(DWORD *error) {
    if (error != nullptr) *error = unenteredError;
    return unenteredDirectory[0] != '\0' ? unenteredDirectory : nullptr;
}
