#include "common/system_error.h"

#include <string.h>

#include "common/messages.h"
#include "common/text.h"

char *FormatSystemError(const char *name, DWORD code) {
    if (code == 0) code = GetLastError();
    char *message = nullptr;
    DWORD length = FormatMessageA(SYSTEM_MESSAGE_FLAGS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                                  SYSTEM_MESSAGE_LANGUAGE, reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (length == 0 || message == nullptr) {
        if (message != nullptr) LocalFree(message);
        return FormatText("%s: %s (%d)", name, MSG_UNKNOWN_ERROR, static_cast<int>(code));
    }
    TrimSystemMessage(message);
    char *text = FormatText("%s: %s (%d)", name, message, static_cast<int>(code));
    LocalFree(message);
    return text;
}
