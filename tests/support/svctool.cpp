/*
 * A scriptable service process for the platform tests of the service
 * controller.
 *
 *   svctool NAME /service MODE [MILLISECONDS]
 *
 * MODE: run (START_PENDING, then RUNNING; STOP stops it), pending (stays
 * START_PENDING, accepting nothing), fail5 (stops itself during start with
 * service-specific exit code 5), ignorestop (RUNNING, STOP is ignored),
 * vanish (RUNNING, then exits without reporting STOPPED), crash (RUNNING, then
 * dies of SIGSEGV), noconnect (never calls the dispatcher; exits after
 * MILLISECONDS), late (calls the dispatcher after MILLISECONDS), slowstop (as
 * run, but reports STOPPED only MILLISECONDS after the stop, so that a control
 * reply always finds the handler's STOP_PENDING), preshutdown (as slowstop, and
 * PRESHUTDOWN and SHUTDOWN are accepted and taken as STOP), shutdown (as
 * slowstop, with SHUTDOWN accepted and taken as STOP), deaf (as run, and
 * PRESHUTDOWN is accepted and ignored).
 *
 * It writes what it sees into the root: svctool-NAME.env (environment, working
 * directory, standard handles, session and parent) and svctool-NAME.log (one
 * line per event: "control N", "dispatcher error N", "dispatcher returned").
 * Each control and the STOPPED report after a stop are also appended, as
 * "NAME control N" and "NAME stopped", to svctool-order.log, shared by all.
 * Without the controller, the dispatcher's failure is printed on standard
 * output too, and the exit code is 9.
 */
#include <windows.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

extern char **environ;

static std::string serviceName;
static std::string mode;
static int delayMs = 300;
static SERVICE_STATUS_HANDLE statusHandle;
static SERVICE_STATUS status;
static std::mutex lock;
static std::condition_variable stopSignal;
static bool stopRequested = false;

static std::string RootFile(const char *suffix) {
    const char *root = getenv("PELORIM_ROOT");
    return std::string(root ? root : "/tmp") + "/svctool-" + serviceName + suffix;
}

static void AppendLine(const std::string &path, const std::string &line) {
    FILE *file = fopen(path.c_str(), "a");
    if (!file) return;
    fprintf(file, "%s\n", line.c_str());
    fclose(file);
}

static void LogLine(const std::string &line) { AppendLine(RootFile(".log"), line); }

static void LogInOrder(const std::string &event) {
    const char *root = getenv("PELORIM_ROOT");
    AppendLine(std::string(root ? root : "/tmp") + "/svctool-order.log", serviceName + " " + event);
}

/* The controls the mode accepts while it runs. */
static DWORD AcceptedWhileRunning() {
    if (mode == "preshutdown") return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_SHUTDOWN;
    if (mode == "shutdown") return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    if (mode == "deaf") return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
    return SERVICE_ACCEPT_STOP;
}

static bool StopsOn(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) return mode != "ignorestop";
    if (control == SERVICE_CONTROL_PRESHUTDOWN) return mode == "preshutdown";
    if (control == SERVICE_CONTROL_SHUTDOWN) return mode == "preshutdown" || mode == "shutdown";
    return false;
}

static std::string LinkTarget(const char *path) {
    char target[4096];
    ssize_t size = readlink(path, target, sizeof target - 1);
    if (size < 0) return "?";
    target[size] = '\0';
    return target;
}

static void WriteSurroundings() {
    FILE *file = fopen(RootFile(".env").c_str(), "w");
    if (!file) return;
    for (char **entry = environ; *entry; entry++) fprintf(file, "env %s\n", *entry);
    char directory[4096];
    fprintf(file, "cwd %s\n", getcwd(directory, sizeof directory) ? directory : "?");
    fprintf(file, "fd0 %s\nfd1 %s\nfd2 %s\n", LinkTarget("/proc/self/fd/0").c_str(),
            LinkTarget("/proc/self/fd/1").c_str(), LinkTarget("/proc/self/fd/2").c_str());
    fprintf(file, "sid %ld\nppid %ld\npid %ld\n", (long)getsid(0), (long)getppid(), (long)getpid());
    fclose(file);
}

static void Report(DWORD state, DWORD accepted, DWORD checkPoint, DWORD waitHint, DWORD win32Exit = 0,
                   DWORD serviceExit = 0) {
    std::lock_guard<std::mutex> guard(lock);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = win32Exit;
    status.dwServiceSpecificExitCode = serviceExit;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    if (!SetServiceStatus(statusHandle, &status)) LogLine("SetServiceStatus error " + std::to_string(GetLastError()));
}

static DWORD WINAPI Handler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
    (void)eventType, (void)eventData, (void)context;
    LogLine("control " + std::to_string(control));
    LogInOrder("control " + std::to_string(control));
    if (StopsOn(control)) {
        Report(SERVICE_STOP_PENDING, 0, 1, 1000);
        std::lock_guard<std::mutex> guard(lock);
        stopRequested = true;
        stopSignal.notify_all();
        return NO_ERROR;
    }
    SERVICE_STATUS again;
    {
        std::lock_guard<std::mutex> guard(lock);
        again = status;
    }
    Report(again.dwCurrentState, again.dwControlsAccepted, again.dwCheckPoint, 0);
    return NO_ERROR;
}

static void WINAPI ServiceMain(DWORD argc, LPSTR *argv) {
    LogLine("main " + std::to_string(argc) + " " + (argc > 0 ? argv[0] : ""));
    statusHandle = RegisterServiceCtrlHandlerExA(serviceName.c_str(), Handler, nullptr);
    if (!statusHandle) {
        LogLine("RegisterServiceCtrlHandler error " + std::to_string(GetLastError()));
        return;
    }
    Report(SERVICE_START_PENDING, 0, 1, 1000);
    if (mode == "pending") {
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (mode == "fail5") {
        Report(SERVICE_STOPPED, 0, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, 5);
        return;
    }
    Report(SERVICE_RUNNING, AcceptedWhileRunning(), 0, 0);
    if (mode == "vanish") {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        _exit(0);
    }
    if (mode == "crash") {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        raise(SIGSEGV);
    }
    std::unique_lock<std::mutex> guard(lock);
    stopSignal.wait(guard, [] { return stopRequested; });
    guard.unlock();
    if (mode == "slowstop" || mode == "preshutdown" || mode == "shutdown")
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    LogInOrder("stopped");
    Report(SERVICE_STOPPED, 0, 0, 0);
}

int main(int argc, char **argv) {
    if (argc < 4 || strcmp(argv[2], "/service") != 0) {
        fprintf(stderr, "usage: svctool NAME /service MODE [MILLISECONDS]\n");
        return 8;
    }
    serviceName = argv[1];
    mode = argv[3];
    if (argc > 4) delayMs = atoi(argv[4]);
    WriteSurroundings();
    if (mode == "noconnect") {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        return 0;
    }
    if (mode == "late") std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    SERVICE_TABLE_ENTRYA table[] = {{argv[1], ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        DWORD error = GetLastError();
        LogLine("dispatcher error " + std::to_string(error));
        printf("dispatcher error %lu\n", (unsigned long)error);
        return 9;
    }
    LogLine("dispatcher returned");
    return 0;
}
