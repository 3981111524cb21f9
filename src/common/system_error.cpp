#include "common/system_error.h"

#include <stdio.h>
#include <string.h>

#include "common/stringlist.h"

static const DWORD systemMessageFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
static const DWORD userDefaultLanguage = 0x400;

/* Drops one trailing "\r\n" from a message longer than one character. */
static void TrimLineBreak(char *message, size_t length) {
    if (length >= 2 && message[length - 2] == '\r' && message[length - 1] == '\n')
        message[length - 2] = '\0';
}

char *FormatSystemError(const char *name, DWORD code) {
    if (code == 0) code = GetLastError();
    char *message = nullptr;
    DWORD length = FormatMessageA(systemMessageFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                                  userDefaultLanguage, reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (length == 0 || message == nullptr) {
        if (message != nullptr) LocalFree(message);
        return FormatText("%s: %s (%d)", name, "Unknown Error", static_cast<int>(code));
    }
    TrimLineBreak(message, strlen(message));
    char *text = FormatText("%s: %s (%d)", name, message, static_cast<int>(code));
    LocalFree(message);
    return text;
}

void FormatSystemErrorInto(char *buffer, size_t capacity, const char *name, DWORD code) {
    if (code == 0) code = GetLastError();
    char message[400];
    DWORD length = FormatMessageA(systemMessageFlags, nullptr, code, userDefaultLanguage, message,
                                  sizeof message, nullptr);
    if (length == 0) {
        strcpy(message, "Unknown Error");
    } else {
        message[sizeof message - 1] = '\0';
        TrimLineBreak(message, strlen(message));
    }
    snprintf(buffer, capacity, "%s: %s (%d)", name, message, static_cast<int>(code));
}
