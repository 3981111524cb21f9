/* The service process's side of the Service Control Manager: the dispatcher,
 * the service main function, the control handler and the one status record. */
#include "runtime/runtime.h"

#include <atomic>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "jvm/jvm.h"
#include "log/log.h"

/* Set by the STOP control (main thread), read by ServiceMain's thread. */
static std::atomic<int> stopRequested{0};

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
    LogFormatted(LOG_ERROR, MSG_CANNOT_ENTER_WORKING_DIRECTORY, directory, failure.Get());
    supervisedEnd.startFailed = 1;
    return 9;
}

/* Why the application ended by itself, as the service tells it: the status
 * it gave System.exit, an exception from main, a start that timed out, or
 * the exit code; the caller frees the text. */
static char *DescribeUnexpectedEnd(int result) {
    if (supervisedEnd.startTimedOut)
        return FormatText(MSG_START_TIMED_OUT, settings.serviceName, supervisedEnd.timeout);
    if (applicationOutcome.exitCalled.load())
        return FormatText(MSG_ENDED_BY_SYSTEM_EXIT, settings.serviceName, applicationOutcome.exitStatus.load());
    if (applicationOutcome.mainThrew.load())
        return FormatText(MSG_ENDED_BY_EXCEPTION, settings.serviceName);
    return FormatText(MSG_ENDED_WITH_EXIT_CODE, settings.serviceName, (unsigned)result);
}

/* The service's own record of an end: in the event log, as its start and stop
 * records are, and in the log file beside the application's last lines. */
static void ReportServiceEnd(const char *text) {
    ReportEvent(text, LOG_ERROR);
    if (settings.eventLogging) AppendLogLine(text, LOG_ERROR);
}

void WINAPI ServiceMain(DWORD argc, LPSTR *argv) {
    (void)argc, (void)argv;
    if (RegisterServiceHandler(ServiceControlHandler) != 0) return;
    settings.serviceMode = 1;
    ReportServiceStatus(SERVICE_START_PENDING, 3000);

    int result = UnenteredWorkingDirectory(NULL) != NULL ? RefuseUnenteredDirectory() : SuperviseApplication();

    if (stopRequested.load() || result == 0) {
        ReportServiceEvent(MSG_SERVICE_STOPPED);
        ReportServiceStopped(ApplicationEndedByForce() ? (DWORD)result : 0);
        return;
    }
    /* A start that can only fail again stops with its reason, so that the
     * controller's recovery actions do not start it into the same failure. */
    if (supervisedEnd.startFailed) {
        TextGuard text(FormatText(MSG_SERVICE_FAILED_TO_START, settings.serviceName, result));
        ReportServiceEnd(text.Get());
        ReportServiceStopped((DWORD)result);
        return;
    }
    /* Ended by itself with a failure, or its start timed out: vanish without
     * STOPPED so that the controller treats it as a failure of the service. */
    TextGuard text(DescribeUnexpectedEnd(result));
    ReportServiceEnd(text.Get());
    ExitProcess(0);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
    (void)eventType, (void)eventData, (void)context;
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
        /* The controller sends no control to a stop-pending service; a second
         * request that comes all the same finds the stop under way. */
        if (stopRequested.exchange(1) == 0) BeginStop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        ReportServiceStatus(CurrentServiceState(), 0);
        return NO_ERROR;
    default:
        ReportServiceStatus(CurrentServiceState(), 0);
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

