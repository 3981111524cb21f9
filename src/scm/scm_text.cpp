#include "scm/scm_text.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "common/guard.h"
#include "control/settings.h"
#include "control/stringlist.h"
#include "log/log.h"

static char *FormatTextV(const char *format, va_list arguments) {
    va_list measure;
    va_copy(measure, arguments);
    int length = vsnprintf(NULL, 0, format, measure);
    va_end(measure);
    if (length < 0) length = 0;
    char *text = (char *)AllocateOrExit((size_t)length + 1);
    vsnprintf(text, (size_t)length + 1, format, arguments);
    return text;
}

void LogText(int level, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    TextGuard text(FormatTextV(format, arguments));
    va_end(arguments);
    LogMessage(text.Get(), level);
}

void LogSystemErrorAt(int level, const char *name, DWORD code) {
    TextGuard text(FormatSystemError(name, code));
    LogMessage(text.Get(), level);
}

void ReportMissingService(const char *verb, DWORD code) {
    LogText(LOG_ERROR, "Cannot %s the service named %s.\nService with this name does not exist.", verb,
            settings.serviceName);
    LogSystemErrorAt(LOG_WARNING, "OpenService", code);
}
