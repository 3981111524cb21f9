#include <stdio.h>
#include <stdlib.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "config/params.h"
#include "log/log.h"
#include "scm/scm.h"
#include "scm/scm_text.h"

static DWORD ServiceTypeFromSettings(void) {
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    if (settings.interactive == 1) type |= SERVICE_INTERACTIVE_PROCESS;
    return type;
}

static int IsExistingNameError(DWORD code) {
    return code == ERROR_DUP_NAME || code == ERROR_SERVICE_EXISTS || code == ERROR_DUPLICATE_SERVICE_NAME;
}

static void ReportCreateFailure(DWORD code) {
    if (!IsExistingNameError(code)) {
        LogSystemError("CreateService", code);
        return;
    }
    LogFormatted(LOG_ERROR, MSG_SERVICE_ALREADY_EXISTS, settings.serviceName);
    LogSystemErrorAt(LOG_WARNING, "CreateService", code);
}

/* A service's own SID is in its process token only with a SID type other
 * than none, the default: the read entry that its key gives that SID lets it
 * read its values when moved to another account ("sc config obj="). A failure
 * leaves the service readable under LocalSystem, as it is installed. */
static void GiveServiceItsOwnSid(SC_HANDLE service) {
    SERVICE_SID_INFO sidInfo = {SERVICE_SID_TYPE_UNRESTRICTED};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sidInfo))
        LogSystemErrorAt(LOG_WARNING, "ChangeServiceConfig2", 0);
}

/* What a whole stop may take beyond Timeout: the forced end (up to 10 s for a
 * detached child), the output servers' last lines (up to 5 s), and room to spare. */
enum { STOP_MARGIN_MS = 20000 };

DWORD PreshutdownTimeoutFor(long long timeout) {
    long long limit = (timeout > 0 ? timeout : 0) + STOP_MARGIN_MS;
    return limit > 0xFFFFFFFFll ? 0xFFFFFFFFu : (DWORD)limit;
}

/* A system shutdown is a stop, within the same limit: without this the
 * controller waits only its default (10 s on current Windows). A Windows that
 * knows no preshutdown time-out refuses it, which costs the service nothing
 * else. */
static void SetPreshutdownTimeout(SC_HANDLE service) {
    long timeout = atol(settings.timeoutText);
    SERVICE_PRESHUTDOWN_INFO info = {PreshutdownTimeoutFor(timeout != 0 ? timeout : (long)storedParameters[PARAMETER_TIMEOUT].defaultValue)};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info))
        LogSystemErrorAt(LOG_WARNING, "ChangeServiceConfig2", 0);
}

int CreateServiceEntry(void) {
    ServiceHandleGuard manager(OpenSCManagerA(NULL, NULL, GENERIC_WRITE));
    if (!manager) {
        LogSystemError("OpenSCManager", 0);
        return 1;
    }
    TextGuard commandLine(FormatText("%s /service", settings.serviceCommandPrefix));
    char *dependencyBytes = NULL;
    ToMultiString(&settings.dependencies, &dependencyBytes);
    TextGuard dependencies(dependencyBytes);
    /* An empty list is passed as the single NUL of an empty multi-string, never as NULL. */
    const char *dependencyArgument = dependencies ? dependencies.Get() : "";

    ServiceHandleGuard service(CreateServiceA(manager.Get(), settings.serviceName, settings.serviceName,
                                              SERVICE_ALL_ACCESS, ServiceTypeFromSettings(), settings.startType,
                                              SERVICE_ERROR_NORMAL, commandLine.Get(), NULL, NULL,
                                              dependencyArgument, NULL, NULL));
    if (!service) {
        ReportCreateFailure(GetLastError());
        return 1;
    }
    GiveServiceItsOwnSid(service.Get());
    SetPreshutdownTimeout(service.Get());
    service.Reset();
    manager.Reset();
    printf(MSG_SERVICE_INSTALLED_LINE, settings.serviceName);
    fflush(stdout);
    return 0;
}

int DeleteServiceEntry(void) {
    ServiceHandleGuard manager(OpenSCManagerA(NULL, NULL, GENERIC_WRITE));
    if (!manager) {
        LogSystemError("OpenSCManager", 0);
        return 1;
    }
    ServiceHandleGuard service(OpenServiceA(manager.Get(), settings.serviceName, DELETE));
    if (!service) {
        DWORD code = GetLastError();
        if (code == ERROR_INVALID_NAME || code == ERROR_SERVICE_DOES_NOT_EXIST) {
            ReportMissingService("remove", code);
            return 0;
        }
        LogSystemError("OpenService", code);
        return 1;
    }
    if (DeleteService(service.Get())) {
        service.Reset();
        manager.Reset();
        printf(MSG_SERVICE_REMOVED, settings.serviceName);
        fflush(stdout);
        return 0;
    }
    DWORD code = GetLastError();
    if (code == ERROR_SERVICE_MARKED_FOR_DELETE) {
        LogSystemErrorAt(LOG_WARNING, "DeleteService", code);
        return 0;
    }
    LogSystemError("DeleteService", code);
    return 1;
}

int UninstallService(void) {
    /* A service that is not running or not installed is no obstacle to the deletion. */
    StopServiceAndWait();
    return DeleteServiceEntry() == 1 ? 9 : 0;
}
