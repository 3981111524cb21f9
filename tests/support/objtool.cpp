/*
 * Named objects on command, for tests that need a second process. Each
 * argument is one step, run in order; each step prints one line:
 *   create-event:NAME:MANUAL:INITIAL  "ok <last error>" or "fail <error>"
 *   open-event:NAME                   "ok" or "fail <error>"
 *   create-mutex:NAME:OWN             "ok <last error>" or "fail <error>"
 *   open-mutex:NAME                   "ok" or "fail <error>"
 *   set                               SetEvent on the latest handle: "ok" / "fail <error>"
 *   wait:MS                           WaitForSingleObject on the latest handle: "<result>"
 *   release                           ReleaseMutex on the latest handle: "ok" / "fail <error>"
 *   sleep:MS                          "slept"
 *   hold                              "holding", then waits for a line or the end of
 *                                     standard input
 *   close                             closes the latest handle: "closed"
 *   report-event:TEXT                 one event-log record: "ok" / "fail <error>"
 *   exit-process                      ExitProcess(3)
 * and the program exits 0 without closing what it still holds.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

static std::vector<std::string> Split(const std::string &step) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = step.find(':', start);
        parts.push_back(step.substr(start, colon == std::string::npos ? colon : colon - start));
        if (colon == std::string::npos) return parts;
        start = colon + 1;
    }
}

static void Report(HANDLE handle, bool withLastError) {
    DWORD error = GetLastError();
    if (!handle) printf("fail %u\n", (unsigned)error);
    else if (withLastError) printf("ok %u\n", (unsigned)error);
    else printf("ok\n");
}

static void ReportResult(BOOL ok) {
    if (ok) printf("ok\n");
    else printf("fail %u\n", (unsigned)GetLastError());
}

static void Hold() {
    printf("holding\n");
    fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0 && c != '\n') {
    }
}

int main(int argc, char **argv) {
    HANDLE latest = nullptr;
    for (int i = 1; i < argc; i++) {
        std::vector<std::string> step = Split(argv[i]);
        const std::string &verb = step[0];
        auto number = [&](size_t index) { return index < step.size() ? atoi(step[index].c_str()) : 0; };
        const char *name = step.size() > 1 ? step[1].c_str() : "";
        if (verb == "create-event") {
            SetLastError(12345);
            HANDLE handle = CreateEventA(nullptr, number(2), number(3), name);
            Report(handle, true);
            if (handle) latest = handle;
        } else if (verb == "open-event") {
            HANDLE handle = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
            Report(handle, false);
            if (handle) latest = handle;
        } else if (verb == "create-mutex") {
            SetLastError(12345);
            HANDLE handle = CreateMutexA(nullptr, number(2), name);
            Report(handle, true);
            if (handle) latest = handle;
        } else if (verb == "open-mutex") {
            HANDLE handle = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
            Report(handle, false);
            if (handle) latest = handle;
        } else if (verb == "set") {
            ReportResult(SetEvent(latest));
        } else if (verb == "wait") {
            printf("%u\n", (unsigned)WaitForSingleObject(latest, (DWORD)number(1)));
        } else if (verb == "release") {
            ReportResult(ReleaseMutex(latest));
        } else if (verb == "sleep") {
            Sleep((DWORD)number(1));
            printf("slept\n");
        } else if (verb == "hold") {
            Hold();
        } else if (verb == "exit-process") {
            ExitProcess(3);
        } else if (verb == "report-event") {
            HANDLE source = RegisterEventSourceA(nullptr, "Objtool");
            const char *strings[] = {name};
            ReportResult(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
        } else if (verb == "close") {
            CloseHandle(latest);
            latest = nullptr;
            printf("closed\n");
        } else {
            fprintf(stderr, "objtool: unknown step %s\n", argv[i]);
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
