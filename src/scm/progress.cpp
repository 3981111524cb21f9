#include <stdio.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "log/log.h"
#include "scm/scm.h"
#include "scm/scm_text.h"

static BOOL RequestStart(SC_HANDLE service) { return StartServiceA(service, 0, NULL); }

static BOOL RequestStop(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    return ControlService(service, SERVICE_CONTROL_STOP, &status);
}

/* What tells a start from a stop; everything else is shared. */
struct ProgressRequest {
    DWORD access;
    BOOL (*send)(SC_HANDLE service);
    const char *verb;
    int missingServiceResult;
    DWORD refusedAsDone[2]; /* last error codes that mean "already done"; 0 unused */
    const char *alreadyDoneText;
    const char *requestName;
    const char *progressText;
    DWORD pendingState;
    DWORD successState;
    const char *successText;
    const char *failureText;
};

static const ProgressRequest startRequest = {
    SERVICE_START | SERVICE_QUERY_STATUS,
    RequestStart,
    "start",
    9, /* a service that does not exist cannot be started */
    {ERROR_SERVICE_ALREADY_RUNNING, 0},
    MSG_ALREADY_RUNNING,
    "StartService",
    MSG_STARTING,
    SERVICE_START_PENDING,
    SERVICE_RUNNING,
    MSG_STARTED,
    MSG_FAILED_TO_START,
};

static const ProgressRequest stopRequest = {
    SERVICE_STOP | SERVICE_QUERY_STATUS,
    RequestStop,
    "stop",
    0, /* nothing runs under a name that is not installed */
    {ERROR_SERVICE_NOT_ACTIVE, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
    MSG_NOT_RUNNING,
    "ControlService",
    MSG_STOPPING,
    SERVICE_STOP_PENDING,
    SERVICE_STOPPED,
    MSG_STOPPED,
    MSG_FAILED_TO_STOP,
};

static int IsRefusedAsDone(const ProgressRequest *request, DWORD code) {
    return code != 0 && (code == request->refusedAsDone[0] || code == request->refusedAsDone[1]);
}

/* A service refuses controls while it starts: its refusal of a stop then
 * means "not yet", not "not running". */
static bool IsStillStarting(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_START_PENDING;
}

static void PrintDot(void) {
    fputs(MSG_PROGRESS_DOT, stdout);
    fflush(stdout);
}

/* Sleeps each wait hint and looks again while the service stays pending and raises
 * its check point; `status` ends as the last status that could be read. */
static void FollowProgress(const ProgressRequest *request, SC_HANDLE service, SERVICE_STATUS *status) {
    for (;;) {
        DWORD checkPoint = status->dwCheckPoint;
        Sleep(status->dwWaitHint);
        PrintDot();
        SERVICE_STATUS next = {};
        if (!QueryServiceStatus(service, &next)) {
            LogSystemError("QueryServiceStatus", 0);
            return;
        }
        *status = next;
        if (status->dwCurrentState != request->pendingState) return;
        if (status->dwCheckPoint <= checkPoint) {
            fputs(MSG_CHECKPOINT_NOT_INCREMENTED, stderr);
            fflush(stderr);
            return;
        }
    }
}

/* The service's own exit code; a change that did not come about is a failure
 * even when the service set no code. */
static int ExitCodeOf(const ProgressRequest *request, const SERVICE_STATUS *status) {
    DWORD code = status->dwWin32ExitCode;
    if (code == ERROR_SERVICE_SPECIFIC_ERROR) code = status->dwServiceSpecificExitCode;
    if (code == 0 && status->dwCurrentState != request->successState) return 9;
    return (int)code;
}

/* A step's result when the run goes on; any other value is the run's result. */
enum { CONTINUE_RUN = -1 };

static int OpenRequestedService(const ProgressRequest *request, SC_HANDLE manager, ServiceHandleGuard *service) {
    service->Reset(OpenServiceA(manager, settings.serviceName, request->access));
    if (*service) return CONTINUE_RUN;
    DWORD code = GetLastError();
    if (code == ERROR_INVALID_NAME || code == ERROR_SERVICE_DOES_NOT_EXIST) {
        ReportMissingService(request->verb, code);
        return request->missingServiceResult;
    }
    LogSystemError("OpenService", code);
    return 9;
}

/* A refusal that means "already done" ends the run as a success. */
static int SendRequest(const ProgressRequest *request, SC_HANDLE service) {
    if (request->send(service)) return CONTINUE_RUN;
    DWORD code = GetLastError();
    if (code == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && IsStillStarting(service)) {
        LogFormatted(LOG_ERROR, MSG_STILL_STARTING, settings.serviceName);
        LogSystemErrorAt(LOG_WARNING, request->requestName, code);
        return 9;
    }
    if (IsRefusedAsDone(request, code)) {
        LogFormatted(LOG_ERROR, request->alreadyDoneText, settings.serviceName);
        LogSystemErrorAt(LOG_WARNING, request->requestName, code);
        return 0;
    }
    LogSystemError(request->requestName, code);
    return 9;
}

/* Prints the progress until the change is over; `status` ends as the last
 * status that could be read. */
static int AwaitChange(const ProgressRequest *request, SC_HANDLE service, SERVICE_STATUS *status) {
    printf(request->progressText, settings.serviceName);
    fflush(stdout);
    if (!QueryServiceStatus(service, status)) {
        LogSystemError("QueryServiceStatus", 0);
        return 9;
    }
    FollowProgress(request, service, status);
    return CONTINUE_RUN;
}

static int ReportOutcome(const ProgressRequest *request, const SERVICE_STATUS *status) {
    if (status->dwCurrentState == request->successState) {
        printf(request->successText, settings.serviceName);
        fflush(stdout);
    } else {
        fprintf(stderr, request->failureText, settings.serviceName);
        fflush(stderr);
    }
    return ExitCodeOf(request, status);
}

static int ChangeServiceAndWait(const ProgressRequest *request) {
    ServiceHandleGuard manager(OpenSCManagerA(NULL, NULL, GENERIC_READ));
    if (!manager) {
        LogSystemError("OpenSCManager", 0);
        return 9;
    }
    ServiceHandleGuard service;
    int result = OpenRequestedService(request, manager.Get(), &service);
    if (result != CONTINUE_RUN) return result;
    result = SendRequest(request, service.Get());
    if (result != CONTINUE_RUN) return result;
    SERVICE_STATUS status = {};
    result = AwaitChange(request, service.Get(), &status);
    if (result != CONTINUE_RUN) return result;
    service.Reset();
    manager.Reset();
    return ReportOutcome(request, &status);
}

int StartServiceAndWait(void) { return ChangeServiceAndWait(&startRequest); }

int StopServiceAndWait(void) { return ChangeServiceAndWait(&stopRequest); }
