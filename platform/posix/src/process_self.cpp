/*
 * The calling process: its pseudo handle, ids, priority class and end.
 *
 * Priority classes are nice values (idle 19, below normal 10, normal 0, above
 * normal -5, high -10, realtime -20). Linux keeps a nice value per thread, so
 * SetPriorityClass sets every thread of the process; threads created later
 * inherit it. A class the process may not raise itself to is granted as the
 * highest it may reach, and the call succeeds, as Win32 quietly gives "high"
 * instead of "realtime" to a process without the privilege.
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include "errors.h"
#include "exit_result.h"
#include "kernel_objects.h"
#include "named_pipe.h"

namespace {

struct PriorityNice {
    DWORD priorityClass;
    int nice;
};
const PriorityNice kPriorities[] = {
    {IDLE_PRIORITY_CLASS, 19},         {BELOW_NORMAL_PRIORITY_CLASS, 10},
    {NORMAL_PRIORITY_CLASS, 0},        {ABOVE_NORMAL_PRIORITY_CLASS, -5},
    {HIGH_PRIORITY_CLASS, -10},        {REALTIME_PRIORITY_CLASS, -20},
};

bool IsCurrentProcess(HANDLE process) { return process == GetCurrentProcess(); }

/* The nicest value this process may lower itself to (RLIMIT_NICE; no limit for root). */
int LowestAllowedNice() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -20;
    int lowest = 20 - (int)limit.rlim_cur;
    return lowest < -20 ? -20 : lowest;
}

/* Sets `nice` on every thread of the process: 0 or a Win32 code. */
DWORD SetProcessNice(int nice) {
    DIR *tasks = opendir("/proc/self/task");
    if (!tasks) return setpriority(PRIO_PROCESS, 0, nice) == 0 ? 0 : LastErrnoAsWin32();
    DWORD error = 0;
    while (struct dirent *entry = readdir(tasks)) {
        int tid = atoi(entry->d_name);
        if (tid <= 0) continue;
        if (setpriority(PRIO_PROCESS, (id_t)tid, nice) != 0 && errno != ESRCH && !error)
            error = LastErrnoAsWin32();
    }
    closedir(tasks);
    return error;
}

DWORD SetNiceOrNearest(int nice) {
    DWORD error = SetProcessNice(nice);
    if (error != ERROR_ACCESS_DENIED) return error;
    int lowest = LowestAllowedNice();
    errno = 0;
    int current = getpriority(PRIO_PROCESS, 0);
    if (errno == 0 && current < lowest) lowest = current;
    if (lowest <= nice) return error;
    return SetProcessNice(lowest);
}

DWORD ClassFromNice(int nice) {
    if (nice >= 15) return IDLE_PRIORITY_CLASS;
    if (nice >= 5) return BELOW_NORMAL_PRIORITY_CLASS;
    if (nice >= -2) return NORMAL_PRIORITY_CLASS;
    if (nice >= -7) return ABOVE_NORMAL_PRIORITY_CLASS;
    if (nice >= -15) return HIGH_PRIORITY_CLASS;
    return REALTIME_PRIORITY_CLASS;
}

} // namespace

HANDLE WINAPI GetCurrentProcess(void) { return (HANDLE)(intptr_t)-1; }

DWORD WINAPI GetCurrentProcessId(void) { return (DWORD)getpid(); }

DWORD WINAPI GetCurrentThreadId(void) { return (DWORD)CurrentThreadId(); }

/* Only the current process's priority can be set (the program sets no other). */
BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
    if (!IsCurrentProcess(hProcess)) return FailWith(ERROR_INVALID_HANDLE);
    for (const PriorityNice &entry : kPriorities) {
        if (entry.priorityClass != dwPriorityClass) continue;
        DWORD error = SetNiceOrNearest(entry.nice);
        if (error) return FailWith(error);
        return TRUE;
    }
    return FailWith(ERROR_INVALID_PARAMETER);
}

DWORD WINAPI GetPriorityClass(HANDLE hProcess) {
    if (!IsCurrentProcess(hProcess)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, 0);
    if (nice == -1 && errno != 0) {
        SetLastError(LastErrnoAsWin32());
        return 0;
    }
    return ClassFromNice(nice);
}

/* Ends the process at once with the buffered output written out. It does not
 * run static destructors or atexit handlers: other threads (the JVM's among
 * them) are still running when the program calls this, and tearing down
 * process-wide state under them could crash the exit itself. Named objects
 * that only this process holds are removed, as their last handle would be,
 * and so are the FIFOs of the named pipes it serves. A parent of the layer
 * gets the whole code; the exit status is the code when it fits in 8 bits,
 * else 255. */
void WINAPI ExitProcess(UINT uExitCode) {
    HandExitResult(uExitCode);
    RemoveNamedObjectsAtExit();
    RemoveServedPipesAtExit();
    fflush(nullptr);
    _exit(ExitStatusOf(uExitCode));
}
