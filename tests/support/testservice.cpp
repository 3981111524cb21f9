/*
 * A service of the tests' own, on the platform layer only. Its command line
 * (the service's ImagePath) chooses how it behaves:
 *
 *   testservice run                 RUNNING at once; stops on STOP
 *   testservice hang <hint>         START_PENDING at check point 0 with wait hint <hint> ms, for good
 *   testservice progress <n> <hint> [<interval>]
 *                                   raises the check point n times (wait hint <hint> ms, one
 *                                   raise every <interval> ms, default hint/2), then RUNNING
 *   testservice fail <code>         STOPPED during start: dwWin32ExitCode 1066, service-specific <code>
 *   testservice ignorestop          RUNNING; accepts STOP and does nothing with it
 *   testservice stophang <hint>     RUNNING; on STOP reports STOP_PENDING at check point 1, for good
 *   testservice vanish              RUNNING; on STOP ends the process without reporting STOPPED
 *   testservice crash               aborts inside the service main function
 *   testservice crashearly          aborts before it connects to the controller
 *
 * Every variant ends the process on its own after two minutes, so that a
 * failed test leaves nothing running for long.
 */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

enum Behaviour { RUN, HANG, PROGRESS, FAIL, IGNORE_STOP, STOP_HANG, VANISH, CRASH, CRASH_EARLY };

static Behaviour behaviour = RUN;
static DWORD waitHint = 0;
static DWORD raiseCount = 0;
static DWORD raiseInterval = 0;
static DWORD failCode = 0;
static SERVICE_STATUS_HANDLE statusHandle;
static HANDLE stopEvent;
static const DWORD lifetimeMilliseconds = 120000;

static void Report(DWORD state, DWORD accepted, DWORD checkPoint, DWORD hint, DWORD win32ExitCode = 0,
                   DWORD specificExitCode = 0) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = win32ExitCode;
    status.dwServiceSpecificExitCode = specificExitCode;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = hint;
    SetServiceStatus(statusHandle, &status);
}

static void WINAPI Handler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP) return;
    switch (behaviour) {
    case IGNORE_STOP:
        return;
    case STOP_HANG:
        Report(SERVICE_STOP_PENDING, 0, 1, waitHint);
        return;
    default:
        Report(SERVICE_STOP_PENDING, 0, 1, 1000);
        SetEvent(stopEvent);
        return;
    }
}

static DWORD WINAPI EndAfterLifetime(LPVOID) {
    Sleep(lifetimeMilliseconds);
    ExitProcess(0);
}

static void WINAPI ServiceMain(DWORD argc, LPSTR *argv) {
    statusHandle = RegisterServiceCtrlHandlerA(argc > 0 ? argv[0] : "", Handler);
    switch (behaviour) {
    case CRASH:
        abort();
    case FAIL:
        Report(SERVICE_STOPPED, 0, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, failCode);
        return;
    case HANG:
        Report(SERVICE_START_PENDING, 0, 0, waitHint);
        WaitForSingleObject(stopEvent, INFINITE);
        return;
    case PROGRESS:
        for (DWORD checkPoint = 1; checkPoint <= raiseCount; ++checkPoint) {
            Report(SERVICE_START_PENDING, 0, checkPoint, waitHint);
            Sleep(raiseInterval);
        }
        break;
    default:
        break;
    }
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
    WaitForSingleObject(stopEvent, INFINITE);
    if (behaviour == VANISH) ExitProcess(0);
    Report(SERVICE_STOPPED, 0, 0, 0);
}

static DWORD Number(int argc, char **argv, int index, DWORD fallback) {
    return index < argc ? (DWORD)strtoul(argv[index], NULL, 10) : fallback;
}

static void ReadBehaviour(int argc, char **argv) {
    static const struct {
        const char *name;
        Behaviour behaviour;
    } names[] = {{"run", RUN},           {"hang", HANG},           {"progress", PROGRESS},
                 {"fail", FAIL},         {"ignorestop", IGNORE_STOP}, {"stophang", STOP_HANG},
                 {"vanish", VANISH},     {"crash", CRASH},         {"crashearly", CRASH_EARLY}};
    const char *name = argc > 1 ? argv[1] : "run";
    for (const auto &entry : names)
        if (strcmp(entry.name, name) == 0) behaviour = entry.behaviour;
    waitHint = Number(argc, argv, behaviour == PROGRESS ? 3 : 2, 0);
    raiseCount = Number(argc, argv, 2, 0);
    raiseInterval = Number(argc, argv, 4, waitHint / 2);
    failCode = Number(argc, argv, 2, 0);
}

int main(int argc, char **argv) {
    ReadBehaviour(argc, argv);
    if (behaviour == CRASH_EARLY) abort();
    stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    CloseHandle(CreateThread(NULL, 0, EndAfterLifetime, NULL, 0, NULL));
    static char serviceName[] = "";
    static const SERVICE_TABLE_ENTRYA table[] = {{serviceName, ServiceMain}, {NULL, NULL}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 2;
}
