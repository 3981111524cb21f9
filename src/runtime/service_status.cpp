/* The service's one status record and its reports to the Service Control
 * Manager; every report goes through statusLock. */
#include "runtime/runtime.h"

#include "common/settings.h"
#include "log/log.h"

/* Serialises status reports. */
static CRITICAL_SECTION statusLock;

static SERVICE_STATUS serviceStatus;
static SERVICE_STATUS_HANDLE statusHandle;
/* Each pending report takes the next value; never reset, so the check points
 * of a stop continue those of the start. */
static DWORD checkPointCounter = 1;

void InitializeServiceStatus(void) { InitializeCriticalSection(&statusLock); }

int RegisterServiceHandler(LPHANDLER_FUNCTION_EX handler) {
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA(settings.serviceName, handler, NULL);
    if (handle == NULL) return 1;
    EnterCriticalSection(&statusLock);
    statusHandle = handle;
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    LeaveCriticalSection(&statusLock);
    return 0;
}

/* A shutdown is a stop: the service takes PRESHUTDOWN, within the
 * preshutdown time-out that /install set, and so is never sent SHUTDOWN,
 * whose limit of a few seconds would cut a Java shutdown short. */
DWORD AcceptedControls(DWORD state) {
    return state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
}

DWORD CurrentServiceState(void) {
    EnterCriticalSection(&statusLock);
    DWORD state = serviceStatus.dwCurrentState;
    LeaveCriticalSection(&statusLock);
    return state;
}

/* A service-specific exit code other than 0 goes with ERROR_SERVICE_SPECIFIC_ERROR,
 * which tells the controller (and /stop) to read it. */
static DWORD SendServiceStatus(DWORD state, DWORD waitHint, DWORD serviceExitCode) {
    EnterCriticalSection(&statusLock);
    DWORD previous = serviceStatus.dwCurrentState;
    serviceStatus.dwControlsAccepted = AcceptedControls(state);
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = serviceExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : 0;
    serviceStatus.dwServiceSpecificExitCode = serviceExitCode;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        serviceStatus.dwCheckPoint = 0;
    } else {
        serviceStatus.dwCheckPoint = checkPointCounter++;
    }
    serviceStatus.dwWaitHint = waitHint;
    bool lateStopPending = previous == SERVICE_STOPPED && state == SERVICE_STOP_PENDING;
    if (!lateStopPending && !SetServiceStatus(statusHandle, &serviceStatus)) {
        LogSystemError("SetServiceStatus", 0);
    }
    LeaveCriticalSection(&statusLock);
    return previous;
}

DWORD ReportServiceStatus(DWORD state, DWORD waitHint) { return SendServiceStatus(state, waitHint, 0); }

void ReportServiceStopped(DWORD serviceExitCode) { SendServiceStatus(SERVICE_STOPPED, 0, serviceExitCode); }
