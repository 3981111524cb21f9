#include "scm/scm_text.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "log/log.h"

void LogSystemErrorAt(int level, const char *name, DWORD code) {
    TextGuard text(FormatSystemError(name, code));
    LogMessage(text.Get(), level);
}

void ReportMissingService(const char *verb, DWORD code) {
    LogFormatted(LOG_ERROR, MSG_SERVICE_DOES_NOT_EXIST, verb, settings.serviceName);
    LogSystemErrorAt(LOG_WARNING, "OpenService", code);
}
