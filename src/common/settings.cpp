#include "common/settings.h"

#include <string.h>

static ServiceSettings InitialSettings(void) {
    ServiceSettings initial;
    memset(&initial, 0, sizeof initial);
    initial.startType = START_AUTOMATIC;
    initial.eventLogging = 1;
    return initial;
}

ServiceSettings settings = InitialSettings();

void ResetServiceSettings(void) {
    ClearStrings(&settings.dependencies);
    settings = InitialSettings();
}

void CopyField(char *field, const char *text, size_t capacity) {
    size_t length = strnlen(text, capacity);
    memcpy(field, text, length);
    field[length] = '\0';
}
