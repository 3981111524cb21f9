/* The service process's side of the Service Control Manager: the dispatcher,
 * the service main function, the control handler and the one status record. */
#include "runtime/runtime.h"

#include <atomic>
#include <stdio.h>

#include "common/guard.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "log/log.h"

CRITICAL_SECTION statusLock;

static SERVICE_STATUS serviceStatus;
static SERVICE_STATUS_HANDLE statusHandle;
/* Each pending report takes the next value; never reset, so the check points
 * of a stop continue those of the start. */
static DWORD checkPointCounter = 1;
/* Set by the STOP control (main thread), read by ServiceMain's thread. */
static std::atomic<int> stopRequested{0};

void InitializeServiceStatus(void) { InitializeCriticalSection(&statusLock); }

int RunServiceDispatcher(void) {
    SERVICE_TABLE_ENTRYA table[2] = {{settings.serviceName, ServiceMain}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherA(table)) {
        LogSystemError("StartServiceCtrlDispatcher", 0);
        return 9;
    }
    return 0;
}

static void ReportServiceEvent(const char *format) {
    TextGuard text(FormatText(format, settings.serviceName));
    ReportEvent(text.Get(), LOG_INFO);
}

/* The application never runs anywhere but in its own directory. */
static int RefuseUnenteredDirectory(void) {
    DWORD error = 0;
    const char *directory = UnenteredWorkingDirectory(&error);
    TextGuard failure(FormatSystemError("SetCurrentDirectory", error));
    LogFormatted(LOG_ERROR, "Cannot enter the working directory %s: %s", directory, failure.Get());
    return 9;
}

void WINAPI ServiceMain(DWORD argc, LPSTR *argv) {
    (void)argc, (void)argv;
    statusHandle = RegisterServiceCtrlHandlerA(settings.serviceName, ServiceControlHandler);
    if (statusHandle == NULL) return;
    EnterCriticalSection(&statusLock);
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    LeaveCriticalSection(&statusLock);
    settings.serviceMode = 1;
    ReportServiceStatus(SERVICE_START_PENDING, 3000);

    int result = UnenteredWorkingDirectory(NULL) != NULL ? RefuseUnenteredDirectory() : SuperviseApplication();

    ReportServiceEvent("%s was stopped.");
    if (stopRequested.load() || result == 0) {
        ReportServiceStatus(SERVICE_STOPPED, 0);
        return;
    }
    /* Ended by itself with a failure, or never started: vanish without
     * STOPPED so that the controller treats it as a failure of the service. */
    ExitProcess(0);
}

void WINAPI ServiceControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        stopRequested.store(1);
        BeginStop();
        return;
    }
    ReportServiceStatus(CurrentServiceState(), 0);
}

DWORD CurrentServiceState(void) {
    EnterCriticalSection(&statusLock);
    DWORD state = serviceStatus.dwCurrentState;
    LeaveCriticalSection(&statusLock);
    return state;
}

DWORD ReportServiceStatus(DWORD state, DWORD waitHint) {
    EnterCriticalSection(&statusLock);
    DWORD previous = serviceStatus.dwCurrentState;
    serviceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = 0;
    serviceStatus.dwServiceSpecificExitCode = 0;
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
