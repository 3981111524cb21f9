#include "common/system_message.h"

#include <stdio.h>
#include <string.h>

#include "common/messages.h"

void TrimSystemMessage(char *message) {
    size_t length = strlen(message);
    if (length >= 2 && message[length - 2] == '\r' && message[length - 1] == '\n') message[length - 2] = '\0';
}

void FormatSystemErrorInto(char *buffer, size_t capacity, const char *name, DWORD code) {
    if (code == 0) code = GetLastError();
    char message[400];
    DWORD length = FormatMessageA(SYSTEM_MESSAGE_FLAGS, nullptr, code, SYSTEM_MESSAGE_LANGUAGE, message,
                                  sizeof message, nullptr);
    if (length == 0) {
        strcpy(message, MSG_UNKNOWN_ERROR);
    } else {
        message[sizeof message - 1] = '\0';
        TrimSystemMessage(message);
    }
    snprintf(buffer, capacity, "%s: %s (%d)", name, message, static_cast<int>(code));
}
