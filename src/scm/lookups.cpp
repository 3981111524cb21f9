#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "log/log.h"
#include "scm/scm.h"
#include "scm/scm_text.h"

static const char servicesKeyPath[] = "System\\CurrentControlSet\\Services";
static const DWORD serviceConfigCapacity = 4096;

/* Asks for the configuration of `serviceKeyName` and hands its copy to the caller;
 * NULL on any failure, silently when the service does not exist. */
static QUERY_SERVICE_CONFIGA *QueryServiceConfiguration(const char *serviceKeyName) {
    ServiceHandleGuard manager(OpenSCManagerA(NULL, NULL, GENERIC_READ));
    if (!manager) {
        LogSystemError("OpenSCManager", 0);
        return NULL;
    }
    ServiceHandleGuard service(OpenServiceA(manager.Get(), serviceKeyName, SERVICE_QUERY_CONFIG));
    if (!service) {
        DWORD code = GetLastError();
        if (code != ERROR_SERVICE_DOES_NOT_EXIST) LogSystemError("OpenService", code);
        return NULL;
    }
    QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)AllocateOrExit(serviceConfigCapacity);
    DWORD needed = 0;
    if (!QueryServiceConfigA(service.Get(), config, serviceConfigCapacity, &needed)) {
        LogSystemError("QueryServiceConfig", 0);
        free(config);
        return NULL;
    }
    return config;
}

char *QueryDisplayName(const char *serviceKeyName) {
    QUERY_SERVICE_CONFIGA *config = QueryServiceConfiguration(serviceKeyName);
    if (config == NULL) return NULL;
    const char *displayName = config->lpDisplayName != NULL ? config->lpDisplayName : "";
    char *copy = DuplicateOrExit(displayName);
    free(config);
    return copy;
}

int QueryInteractiveFlag(void) {
    QUERY_SERVICE_CONFIGA *config = QueryServiceConfiguration(settings.serviceName);
    if (config == NULL) return 0;
    int interactive = (config->dwServiceType & SERVICE_INTERACTIVE_PROCESS) != 0;
    free(config);
    return interactive;
}

static int HasDisplayName(const char *serviceKeyName, const char *wantedName) {
    TextGuard displayName(QueryDisplayName(serviceKeyName));
    return displayName && strcmp(displayName.Get(), wantedName) == 0;
}

/* The first service in enumeration order whose display name equals `wantedName`
 * byte for byte. */
char *FindServiceByDisplayName(const char *wantedName) {
    KeyGuard services;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, servicesKeyPath, 0, KEY_READ, services.Out());
    if (status != ERROR_SUCCESS) {
        TextGuard systemText(FormatSystemError("RegOpenKeyEx", (DWORD)status));
        LogFormatted(LOG_WARNING, "%s\n\t%s", systemText.Get(), servicesKeyPath);
        return NULL;
    }
    char keyName[MAX_PATH];
    for (DWORD index = 0;; ++index) {
        status = RegEnumKeyA(services.Get(), index, keyName, sizeof keyName);
        if (status == ERROR_NO_MORE_ITEMS) return NULL;
        if (status != ERROR_SUCCESS) {
            TextGuard systemText(FormatSystemError("RegEnumKey", (DWORD)status));
            LogFormatted(LOG_INFO, "%s\n\t%s", systemText.Get(), servicesKeyPath);
            return NULL;
        }
        if (HasDisplayName(keyName, wantedName)) return DuplicateOrExit(keyName);
    }
}
