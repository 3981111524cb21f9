/* The application's own thread (in the service process, or the whole of a
 * detached child), the watcher that runs the shutdown command on a stop, and
 * the console handler of the process that hosts the virtual machine. */
#include "runtime/runtime.h"

#include "common/guard.h"
#include "jvm/jvm.h"
#include "log/events.h"
#include "log/log.h"

DWORD WINAPI ApplicationThread(LPVOID unused) {
    (void)unused;
    HANDLE watcher = CreateThread(NULL, 0, ShutdownWatcher, NULL, 0, NULL);
    if (watcher == NULL) {
        LogSystemError("CreateThread", 0);
        return RESULT_FAILED;
    }
    CloseHandle(watcher);
    return (DWORD)RunJavaApplication(ConsoleControlHandler, DrainApplicationOutput);
}

DWORD WINAPI ShutdownWatcher(LPVOID unused) {
    (void)unused;
    HandleGuard stop(OpenNamedEvent("STOP"));
    HandleGuard quit(OpenNamedEvent("QUIT"));
    if (!stop || !quit) return 0;
    HANDLE waits[2] = {stop.Get(), quit.Get()};
    DWORD outcome = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (outcome == WAIT_OBJECT_0) {
        RunShutdownCommand();
    } else if (outcome != WAIT_OBJECT_0 + 1) {
        LogSystemError("WaitForMultipleObjects", 0);
    }
    return 0;
}

BOOL WINAPI ConsoleControlHandler(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
        return TRUE;
    case CTRL_SHUTDOWN_EVENT:
        RunShutdownCommand();
        return TRUE;
    default:
        return FALSE;
    }
}
