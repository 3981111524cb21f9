#include <string.h>

#include "common/guard.h"
#include "common/settings.h"
#include "config/params.h"
#include "log/log.h"
#include "scm/scm_text.h"

static const DWORD supportedEventTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

static void ReportRegistryFailure(const char *call, LONG status, const char *keyPath, const char *valueSuffix) {
    TextGuard systemText(FormatSystemError(call, (DWORD)status));
    LogFormatted(LOG_WARNING, "%s\r\n\t%s%s", systemText.Get(), keyPath, valueSuffix);
}

/* Creates (or opens) the source's key and overwrites its two values; the rest of the key stays. */
int RegisterEventLogSource(void) {
    TextGuard keyPath(FormatText("System\\CurrentControlSet\\Services\\EventLog\\Application\\%s", settings.serviceName));
    KeyGuard key;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.Get(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, key.Out(),
                                  &disposition);
    if (status != ERROR_SUCCESS) {
        ReportRegistryFailure("RegCreateKeyEx", status, keyPath.Get(), "");
        return 1;
    }
    status = RegSetValueExA(key.Get(), "EventMessageFile", 0, REG_EXPAND_SZ, (const BYTE *)settings.exePath,
                            (DWORD)strlen(settings.exePath) + 1);
    if (status != ERROR_SUCCESS) {
        ReportRegistryFailure("RegSetValueEx", status, keyPath.Get(), "\\EventMessageFile");
        return 1;
    }
    status = RegSetValueExA(key.Get(), "TypesSupported", 0, REG_DWORD, (const BYTE *)&supportedEventTypes,
                            sizeof supportedEventTypes);
    if (status != ERROR_SUCCESS) {
        ReportRegistryFailure("RegSetValueEx", status, keyPath.Get(), "\\TypesSupported");
        return 1;
    }
    return 0;
}
