/* Detached mode: the service process starts a copy of the program with
 * /subprocess, and that child hosts the virtual machine. */
#include "runtime/runtime.h"

#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "config/params.h"
#include "log/events.h"
#include "log/log.h"

/* Owned from its creation and never released: while the service process
 * lives, the mutex tells the child that a live service started it. */
static HANDLE detachMutex;

/* The child itself, kept so that a forced stop can end it: ending its primary
 * thread alone would leave the child, its virtual machine and the application
 * running after the service reports STOPPED. */
static HANDLE subprocessHandle;

/* Kills the child on its last handle's close, which is never done by hand:
 * the system closes it when this process ends, however it ends (a kill
 * included), so that no application runs on without its service. */
static HANDLE subprocessJob;

char *BuildSubprocessCommandLine(void) { return FormatText("%s /subprocess", settings.serviceCommandPrefix); }

static int ClaimDetachMutex(void) {
    TextGuard name(FormatObjectName("DETACH_MUTEX"));
    HANDLE mutex = CreateMutexA(NULL, TRUE, name.Get());
    if (mutex == NULL) {
        LogSystemError("CreateMutex", 0);
        return 1;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        LogSystemError("CreateMutex", ERROR_ALREADY_EXISTS);
        return 1;
    }
    detachMutex = mutex;
    return 0;
}

static HANDLE CreateKillOnCloseJob(void) {
    HandleGuard job(CreateJobObjectA(NULL, NULL));
    if (!job) {
        LogSystemError("CreateJobObject", 0);
        return NULL;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        LogSystemError("SetInformationJobObject", 0);
        return NULL;
    }
    return job.Release();
}

/* The child joins while it is still suspended, so that nothing it starts is
 * ever outside the job. A child that cannot join runs all the same, after the
 * error: the service works, only without that protection. */
static void BindSubprocessToService(HANDLE process) {
    if (subprocessJob == NULL) subprocessJob = CreateKillOnCloseJob();
    if (subprocessJob == NULL) return;
    if (!AssignProcessToJobObject(subprocessJob, process)) LogSystemError("AssignProcessToJobObject", 0);
}

HANDLE LaunchSubprocess(void) {
    if (ClaimDetachMutex() != 0) return NULL;
    TextGuard commandLine(BuildSubprocessCommandLine());
    DWORD flags =
        settings.priorityClass | (settings.interactive ? CREATE_NEW_CONSOLE : DETACHED_PROCESS) | CREATE_SUSPENDED;
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessA(NULL, commandLine.Get(), NULL, NULL, FALSE, flags, NULL, NULL, &startup, &process)) {
        LogSystemError("CreateProcess", 0);
        return NULL;
    }
    BindSubprocessToService(process.hProcess);
    if (ResumeThread(process.hThread) == (DWORD)-1) {
        LogSystemError("ResumeThread", 0);
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        return NULL;
    }
    subprocessHandle = process.hProcess;
    return process.hThread;
}

/* Bounded: the system ends a process promptly, and a stop must not hang on it. */
enum { SUBPROCESS_END_WAIT_MS = 10000 };

int EndSubprocess(DWORD exitCode) {
    if (subprocessHandle == NULL) return 1;
    if (WaitForSingleObject(subprocessHandle, 0) == WAIT_OBJECT_0) return 0;
    LogMessage(MSG_TERMINATING_SUBPROCESS, LOG_WARNING);
    if (!TerminateProcess(subprocessHandle, exitCode) && WaitForSingleObject(subprocessHandle, 0) != WAIT_OBJECT_0) {
        LogSystemError("TerminateProcess", 0);
        return 1;
    }
    if (WaitForSingleObject(subprocessHandle, SUBPROCESS_END_WAIT_MS) != WAIT_OBJECT_0) {
        LogSystemError("WaitForSingleObject", 0);
        return 1;
    }
    return 0;
}

/* Whether a live service process of this name started us. */
static bool StartedByService(void) {
    if (!ReadDetachedParameter()) return false;
    TextGuard name(FormatObjectName("DETACH_MUTEX"));
    HandleGuard mutex(OpenMutexA(SYNCHRONIZE, FALSE, name.Get()));
    return mutex.Valid();
}

int RunSubprocess(int *exitCode) {
    if (!StartedByService()) return 0;
    if (!SetConsoleTitleA(settings.serviceName)) LogSystemError("SetConsoleTitle", 0);
    *exitCode = (int)ApplicationThread(NULL);
    return 1;
}
