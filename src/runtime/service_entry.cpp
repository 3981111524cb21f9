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

/* The service's own record of an end it did not report as STOPPED: in the
 * event log, as its start and stop records are, and in the log file beside
 * the application's last lines. */
static void ReportUnexpectedEnd(int result) {
    TextGuard text(FormatText("%s ended unexpectedly with exit code %u.", settings.serviceName, (unsigned)result));
    ReportEvent(text.Get(), LOG_ERROR);
    if (settings.eventLogging) AppendLogLine(text.Get(), LOG_ERROR);
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

    if (stopRequested.load() || result == 0) {
        ReportServiceEvent("%s was stopped.");
        ReportServiceStopped(ApplicationEndedByForce() ? (DWORD)result : 0);
        return;
    }
    /* Ended by itself with a failure, or never started: vanish without
     * STOPPED so that the controller treats it as a failure of the service. */
    ReportUnexpectedEnd(result);
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

/* A service-specific exit code other than 0 goes with ERROR_SERVICE_SPECIFIC_ERROR,
 * which tells the controller (and /stop) to read it. */
static DWORD SendServiceStatus(DWORD state, DWORD waitHint, DWORD serviceExitCode) {
    EnterCriticalSection(&statusLock);
    DWORD previous = serviceStatus.dwCurrentState;
    serviceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
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
