/* The service's main loop: prepares the named events and the output pipes,
 * starts the application, waits for its start and its end, and carries out a
 * stop request. */
#include "runtime/runtime.h"


#include <atomic>

#include "common/banner.h"
#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "config/params.h"
#include "jvm/jvm.h"
#include "log/events.h"
#include "log/log.h"

/* Once set it stays open, and so valid, until the process ends: the stop
 * monitor may wait on it at any time, also after the application has ended
 * (an ended application's handle is signalled, so such a wait returns at once). */
HANDLE applicationHandle = NULL;

/* Held for the life of the process so that the events exist for every other
 * thread and for the detached child. RUN is closed once the service runs. */
static HANDLE quitEvent;
static HANDLE runEvent;
static HANDLE stopEvent;
static HANDLE exit0Event;
static HANDLE exit1Event;
/* Read once by the supervisor before the application starts. */
static int applicationDetached;

SupervisedEnd supervisedEnd;

enum { STEP_MS = 1000 };

static void ApplyPriorityClass(void) {
    if (settings.priorityClass == 0) settings.priorityClass = (DWORD)ReadDwordParameter(PARAMETER_PRIORITY);
    if (settings.priorityClass == 0) return;
    if (!SetPriorityClass(GetCurrentProcess(), settings.priorityClass)) LogSystemError("SetPriorityClass", 0);
}

/* QUIT or STOP that exists before this process creates it is held by another
 * process of this service (a child left from an earlier run, or a /subprocess
 * started by hand), and may be signalled already: the output servers and the
 * shutdown watcher would end at once. Such a start fails: 1. */
static int CreateOwnEvent(const char *kind, HANDLE *event) {
    *event = CreateNamedEvent(kind);
    if (*event == NULL || GetLastError() != ERROR_ALREADY_EXISTS) return 0;
    TextGuard name(FormatObjectName(kind));
    LogFormatted(LOG_ERROR, MSG_EVENT_ALREADY_EXISTS, name.Get());
    return 1;
}

static void GiveConsole(void) {
    if (!AllocConsole()) LogSystemError("AllocConsole", 0);
    if (!SetConsoleTitleA(settings.serviceName)) LogSystemError("SetConsoleTitle", 0);
}

static HANDLE StartApplication(int detached) {
    if (detached) return LaunchSubprocess();
    HANDLE thread = CreateThread(NULL, 0, ApplicationThread, NULL, 0, NULL);
    if (thread == NULL) LogSystemError("CreateThread", 0);
    return thread;
}

/* A detached child must not outlive a supervisor that gives up on it. */
static void EndLeftoverSubprocess(void) {
    if (applicationDetached) EndSubprocess(RESULT_TIMED_OUT);
}

/* A start that fails before the application runs: a failure of the service's
 * configuration or of its preparation, which a second start would meet again. */
static int FailStart(int result) {
    supervisedEnd.startFailed = 1;
    return result;
}

/* Whether the application's main method has been called: the host says so in
 * process; a detached child signals RUN just before it calls main, but with a
 * startup method only once that reports the start done, so that a detached
 * application ending with a code of IsRunFailure while its startup method is
 * still polled counts as a failed start. */
static bool ApplicationWasCalled(void) {
    if (applicationOutcome.mainCalled.load()) return true;
    return runEvent != NULL && WaitForSingleObject(runEvent, 0) == WAIT_OBJECT_0;
}

/* The codes with which the application's host ends when it could not run the
 * application: no runtime, no Main-Class, no virtual machine, no main class,
 * no main method, no standard streams (also: no thread for them). */
static bool IsRunFailure(int code) {
    return (code >= RUN_NO_RUNTIME && code <= RUN_NO_MAIN_METHOD) || code == RUN_NO_REDIRECT;
}

static int ApplicationExitCode(void) {
    DWORD code = 0;
    if (!GetExitCodeThread(applicationHandle, &code)) {
        LogSystemError("GetExitCodeThread", 0);
        return RESULT_FAILED;
    }
    return (int)code;
}

/* 0 when RUN came; otherwise 1 with the supervisor's result in *result. */
static int AwaitStart(long long budget, int *result) {
    HANDLE waits[4] = {applicationHandle, exit0Event, exit1Event, runEvent};
    for (;;) {
        DWORD outcome = WaitForMultipleObjects(4, waits, FALSE, STEP_MS);
        switch (outcome) {
        case WAIT_OBJECT_0:
            *result = ApplicationExitCode();
            if (IsRunFailure(*result) && !ApplicationWasCalled()) FailStart(*result);
            return 1;
        case WAIT_OBJECT_0 + 1:
            LogMessage(MSG_JVM_EXIT_ZERO, LOG_INFO);
            *result = RESULT_OK;
            return 1;
        case WAIT_OBJECT_0 + 2:
            LogMessage(MSG_JVM_ERROR_EXIT, LOG_INFO);
            *result = applicationOutcome.vmAborted.load() ? FailStart(RUN_NO_VM) : RESULT_EXIT1;
            return 1;
        case WAIT_OBJECT_0 + 3:
            return 0;
        case WAIT_TIMEOUT:
            ReportServiceStatus(SERVICE_START_PENDING, 2000);
            budget -= STEP_MS;
            if (budget <= 0) {
                supervisedEnd.startTimedOut = 1;
                *result = RESULT_TIMED_OUT;
                return 1;
            }
            break;
        default:
            LogSystemError("WaitForMultipleObjects", 0);
            *result = RESULT_FAILED;
            return 1;
        }
    }
}

static void AnnounceRunning(void) {
    ReportServiceStatus(SERVICE_RUNNING, 0);
    TextGuard banner(BannerText());
    ReportEvent(banner.Get(), LOG_INFO);
    TextGuard started(FormatText(MSG_SERVICE_STARTED, settings.serviceName));
    ReportEvent(started.Get(), LOG_INFO);
    CloseHandle(runEvent);
    runEvent = NULL;
}

/* The supervisor's result, or -1 when the wait failed. */
static int AwaitEnd(void) {
    HANDLE waits[3] = {applicationHandle, exit0Event, exit1Event};
    DWORD outcome = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
    if (outcome == WAIT_OBJECT_0) return ApplicationExitCode();
    if (outcome == WAIT_OBJECT_0 + 1) return RESULT_OK;
    if (outcome == WAIT_OBJECT_0 + 2) return RESULT_EXIT1;
    LogSystemError("WaitForMultipleObjects", 0);
    return -1;
}

/* A running shutdown command holds the mutex; it ends it on QUIT and lets go. */
static void AwaitShutdownCommand(void) {
    TextGuard name(FormatObjectName("SHUTDOWN_MUTEX"));
    HandleGuard mutex(OpenMutexA(SYNCHRONIZE, FALSE, name.Get()));
    if (!mutex) return;
    if (WaitForSingleObject(mutex.Get(), INFINITE) == WAIT_FAILED) {
        LogSystemError("WaitForSingleObject", 0);
        return;
    }
    ReleaseMutex(mutex.Get());
}

int SuperviseApplication(void) {
    int detached = ReadDetachedParameter();
    long long budget = ReadDwordParameter(PARAMETER_TIMEOUT);
    supervisedEnd.timeout = budget;
    ApplyPriorityClass();
    if (CreateOwnEvent("QUIT", &quitEvent) != 0) return FailStart(RESULT_FAILED);
    if (CreateOwnEvent("STOP", &stopEvent) != 0) return FailStart(RESULT_FAILED);
    if (!settings.interactive) {
        if (StartOutputServers() != 0) return FailStart(RESULT_FAILED);
    } else if (!detached) {
        GiveConsole();
    }
    runEvent = CreateNamedEvent("RUN");
    exit0Event = CreateNamedEvent("EXIT0");
    exit1Event = CreateNamedEvent("EXIT1");
    HANDLE application = StartApplication(detached);
    if (application == NULL) return FailStart(RESULT_FAILED);
    applicationDetached = detached;
    applicationHandle = application;

    int result = 0;
    if (AwaitStart(budget, &result) != 0) {
        EndLeftoverSubprocess();
        /* What the application or its virtual machine wrote before it ended
         * (why it could not start) is logged before the process ends. */
        SignalNamedEvent("QUIT");
        AwaitOutputServers();
        return result;
    }
    AnnounceRunning();
    result = AwaitEnd();
    if (result < 0) {
        EndLeftoverSubprocess();
        return RESULT_FAILED;
    }
    SignalNamedEvent("QUIT");
    AwaitShutdownCommand();
    AwaitOutputServers();
    return result;
}

int BeginStop(void) {
    ReportServiceStatus(SERVICE_STOP_PENDING, 3000);
    HANDLE thread = CreateThread(NULL, 0, StopMonitor, NULL, 0, NULL);
    if (thread == NULL) {
        LogSystemError("CreateThread", 0);
        return 1;
    }
    CloseHandle(thread);
    return 0;
}

/* Set by the stop monitor before it ends the application, read by
 * ServiceMain once the supervisor has returned. */
static std::atomic<int> applicationForced{0};

int ApplicationEndedByForce(void) { return applicationForced.load(); }

/* In detached mode the child process itself is ended, so that nothing of the
 * service runs on after STOPPED; its primary thread's handle then carries the
 * same exit code. A forced end is a failure of the stop: it is logged here and
 * reported with the service's STOPPED status. */
static void ForceApplicationEnd(long long timeout) {
    LogFormatted(LOG_ERROR, MSG_ENDED_BY_FORCE, timeout, (int)RESULT_TIMED_OUT);
    applicationForced.store(1);
    if (applicationDetached && EndSubprocess(RESULT_TIMED_OUT) == 0) return;
    TerminateThread(applicationHandle, RESULT_TIMED_OUT);
}

DWORD WINAPI StopMonitor(LPVOID unused) {
    (void)unused;
    long long timeout = ReadDwordParameter(PARAMETER_TIMEOUT);
    long long budget = timeout;
    SignalNamedEvent("STOP");
    HandleGuard exit0(OpenNamedEvent("EXIT0"));
    HandleGuard exit1(OpenNamedEvent("EXIT1"));
    if (!exit0 || !exit1) return 0;
    /* No application (its start failed): nothing to watch or to force. */
    if (applicationHandle == NULL) return 0;
    HANDLE waits[3] = {applicationHandle, exit0.Get(), exit1.Get()};
    for (;;) {
        DWORD outcome = WaitForMultipleObjects(3, waits, FALSE, STEP_MS);
        if (outcome <= WAIT_OBJECT_0 + 2) return 0;
        if (outcome != WAIT_TIMEOUT) {
            LogSystemError("WaitForMultipleObjects", 0);
            return 0;
        }
        if (CurrentServiceState() == SERVICE_STOPPED) return 0;
        ReportServiceStatus(SERVICE_STOP_PENDING, 2000);
        budget -= STEP_MS;
        if (budget <= 0) {
            ForceApplicationEnd(timeout);
            return 0;
        }
    }
}
