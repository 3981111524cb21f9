/*
 * The launch of a service process. StartServiceA starts the service's stopped
 * dependencies first, then launches the ImagePath command line (split by the
 * Windows rules) detached: in a session of its own, with /dev/null as its
 * standard handles, in /, with a fixed environment, and not our child but the
 * child of a watcher that records its end (service_watch.h). It returns once
 * the service's dispatcher has connected (service_dispatcher.cpp).
 */
#include "service_internal.h"

#include "cmdline.h"
#include "descriptor.h"
#include "errors.h"
#include "pipe.h"
#include "service_database.h"
#include "service_watch.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

static const DWORD kStartTimeoutMs = 30000;
static const char kFixedPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

namespace {
struct LaunchPlan {
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
};

/* A launched service process, held before exec until its start record names it. */
struct PendingLaunch {
    pid_t pid = -1;
    DescriptorGuard go;   /* one byte lets the process exec; closing it ends the process */
    DescriptorGuard exec; /* the errno of a failed exec; end of stream after a good one */
};

} // namespace

static std::string HomeDirectory() {
    struct passwd entry, *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir && *found->pw_dir)
        return found->pw_dir;
    return geteuid() == 0 ? "/root" : "/";
}

/* The program named by the command line's first word: as given when it holds a
 * "/", else searched in the fixed PATH. */
static std::string FindProgram(const std::string &word) {
    if (word.find('/') != std::string::npos) return word;
    std::string path = kFixedPath;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + word;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return word;
}

static DWORD PlanServiceLaunch(const char *name, const std::string &imagePath, LaunchPlan *plan) {
    plan->arguments = SplitWindowsCommandLine(imagePath.c_str());
    if (plan->arguments.empty() || plan->arguments[0].empty()) return ERROR_FILE_NOT_FOUND;
    plan->program = FindProgram(plan->arguments[0]);
    plan->environment = {std::string("PATH=") + kFixedPath,
                         "PELORIM_ROOT=" + ResolvedRoot(),
                         std::string(SERVICE_NAME_VARIABLE "=") + name,
                         "HOME=" + HomeDirectory(),
                         "LANG=C.UTF-8"};
    return 0;
}

static std::vector<char *> PointerArray(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (auto &text : strings) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

/* What the service process execs, built before the forks. */
struct ServiceImage {
    const char *program;
    char *const *argv;
    char *const *envp;
};

/* The pipes between the launcher and the forked processes. */
struct LaunchPipes {
    DescriptorGuard pidRead, pidWrite; /* the watcher writes the service's pid */
    DescriptorGuard goRead, goWrite;   /* see PendingLaunch::go */
    DescriptorGuard execRead, execWrite; /* see PendingLaunch::exec */
};

static DWORD OpenLaunchPipes(LaunchPipes *pipes) {
    DWORD code = OpenPipeEnds(&pipes->pidRead, &pipes->pidWrite, 0);
    if (!code) code = OpenPipeEnds(&pipes->goRead, &pipes->goWrite, 0);
    if (!code) code = OpenPipeEnds(&pipes->execRead, &pipes->execWrite, 0);
    return code;
}

static void ResetSignalHandling(void) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard;
    memset(&standard, 0, sizeof standard);
    standard.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; signalNumber++) sigaction(signalNumber, &standard, nullptr);
}

/* The service process after the forks: only async-signal-safe calls. Its
 * session (and process group) is not its watcher's, so that a signal to the
 * service's group or session leaves the watcher to record the end. */
[[noreturn]] static void RunServiceProcess(int goFd, int execFd, const ServiceImage &image) {
    setsid();
    ResetSignalHandling();
    char go = 0;
    if (RetryOnInterrupt([&] { return read(goFd, &go, 1); }) != 1) _exit(127);
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(127);
    if (chdir("/") != 0) _exit(127);
    umask(022);
    MarkDescriptorsCloseOnExec();
    execve(image.program, image.argv, image.envp);
    int error = errno;
    ssize_t ignored = write(execFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

/* In the watcher: forks the service process, tells the launcher its pid and
 * becomes its watcher. */
[[noreturn]] static void ForkWatchedService(const LaunchPipes &pipes, const ServiceImage &image, WatchPlan *watch) {
    struct sigaction standard;
    memset(&standard, 0, sizeof standard);
    standard.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &standard, nullptr);
    pid_t service = fork();
    if (service == 0) RunServiceProcess(pipes.goRead.Get(), pipes.execWrite.Get(), image);
    if (service < 0) _exit(1);
    ssize_t ignored = write(pipes.pidWrite.Get(), &service, sizeof service);
    (void)ignored;
    RunServiceWatcher(service, watch);
}

/* In the first child: a session of its own, the watcher forked off, and the end. */
[[noreturn]] static void StartWatchedService(const LaunchPipes &pipes, const ServiceImage &image, WatchPlan *watch) {
    setsid();
    pid_t watcher = fork();
    if (watcher == 0) ForkWatchedService(pipes, image, watch);
    _exit(watcher > 0 ? 0 : 1);
}

/* The launcher's side once the first child is forked (`first` < 0 when the
 * fork failed): the service's pid, and the first child reaped. */
static DWORD CollectServicePid(pid_t first, LaunchPipes *pipes, pid_t *service) {
    DWORD code = first < 0 ? LastErrnoAsWin32() : 0;
    pipes->pidWrite.Reset(), pipes->goRead.Reset(), pipes->execWrite.Reset();
    if (!code && RetryOnInterrupt([&] { return read(pipes->pidRead.Get(), service, sizeof *service); }) !=
                     (ssize_t)sizeof *service)
        code = ERROR_NO_SYSTEM_RESOURCES;
    if (first > 0) RetryOnInterrupt([&] { return waitpid(first, nullptr, 0); });
    pipes->pidRead.Reset();
    return code;
}

/* Triple fork: the first child starts a session of its own and ends at once,
 * so neither the watcher nor the service is our child or lingers as our
 * zombie; the watcher (service_watch.h) is the service's parent, and the
 * service starts another session of its own. The service process waits before
 * exec until ReleaseServiceProcess lets it go. */
static DWORD ForkServiceProcess(const char *name, LaunchPlan *plan, PendingLaunch *launch) {
    std::vector<char *> argv = PointerArray(plan->arguments);
    std::vector<char *> envp = PointerArray(plan->environment);
    ServiceImage image = {plan->program.c_str(), argv.data(), envp.data()};
    WatchPlan watch;
    PlanServiceWatch(name, ResolvedRoot(), &watch);
    LaunchPipes pipes;
    DWORD code = OpenLaunchPipes(&pipes);
    if (code) return code;
    pid_t first = fork();
    if (first == 0) StartWatchedService(pipes, image, &watch);
    pid_t service = -1;
    code = CollectServicePid(first, &pipes, &service);
    if (code) return code;
    launch->pid = service;
    launch->go.Reset(pipes.goWrite.Release());
    launch->exec.Reset(pipes.execRead.Release());
    return 0;
}

/* Lets the held process exec (or, with go false, end): the exec's result. */
static DWORD ReleaseServiceProcess(PendingLaunch *launch, bool go) {
    DWORD code = 0;
    if (go && RetryOnInterrupt([&] { return write(launch->go.Get(), "g", 1); }) != 1) code = LastErrnoAsWin32();
    launch->go.Reset();
    int error = 0;
    if (go && !code && RetryOnInterrupt([&] { return read(launch->exec.Get(), &error, sizeof error); }) == sizeof error)
        code = Win32ErrorFromErrno(error);
    launch->exec.Reset();
    return go ? code : 0;
}

static DWORD StartTimeoutMs() {
    /* Tests shorten the wait; the controller's own wait is 30 s. */
    const char *text = getenv("PELORIM_SERVICE_START_TIMEOUT_MS");
    return text && *text ? (DWORD)strtoul(text, nullptr, 10) : kStartTimeoutMs;
}

/* Waits until the dispatcher of `pid` has connected: 0, or
 * ERROR_SERVICE_REQUEST_TIMEOUT when the process ends first or takes too long
 * (it is not killed; it just loses its start record). */
static DWORD WaitForDispatcher(const char *name, long long pid, unsigned long long pidStart) {
    unsigned long long deadline = MonotonicMs() + StartTimeoutMs();
    for (;;) {
        ServiceRuntime runtime;
        DWORD code = ReadServiceRuntime(name, &runtime);
        if (code) return code;
        if (runtime.pid == pid && runtime.connected) return 0;
        if (runtime.pid != pid) return ERROR_SERVICE_REQUEST_TIMEOUT;
        bool vanished = ProcessVanished(pid, pidStart);
        if (vanished || MonotonicMs() > deadline) {
            code = StoreFailedStart(name, pid, vanished ? ERROR_PROCESS_ABORTED : ERROR_SERVICE_REQUEST_TIMEOUT);
            return code ? code : ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        SleepMs(kServicePollIntervalMs);
    }
}

/* Launches the service process of a claimed start and waits for its dispatcher. */
static DWORD LaunchService(const char *name, const ServiceConfig &config) {
    LaunchPlan plan;
    PendingLaunch launch;
    DWORD code = PlanServiceLaunch(name, config.imagePath, &plan);
    if (!code) code = ForkServiceProcess(name, &plan, &launch);
    if (code) {
        StoreFailedStart(name, getpid(), code);
        return code;
    }
    unsigned long long pidStart = ProcessStartTime(launch.pid);
    code = RecordServiceProcess(name, launch.pid, pidStart);
    DWORD execCode = ReleaseServiceProcess(&launch, code == 0);
    if (code || execCode) {
        StoreFailedStart(name, code ? getpid() : launch.pid, code ? code : execCode);
        return code ? code : execCode;
    }
    return WaitForDispatcher(name, launch.pid, pidStart);
}

static DWORD StartServiceByName(const char *name, std::vector<std::string> *chain);

/* Waits while a dependency is START_PENDING: 0 once it runs, else ERROR_SERVICE_DEPENDENCY_FAIL. */
static DWORD WaitForDependencyRunning(const char *name) {
    unsigned long long deadline = MonotonicMs() + StartTimeoutMs();
    for (;;) {
        ServiceRuntime runtime;
        DWORD code = LoadServiceRuntime(name, &runtime);
        if (code) return ERROR_SERVICE_DEPENDENCY_FAIL;
        DWORD state = runtime.status.dwCurrentState;
        if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) return ERROR_SERVICE_DEPENDENCY_FAIL;
        if (state != SERVICE_START_PENDING) return 0;
        if (MonotonicMs() > deadline) return ERROR_SERVICE_DEPENDENCY_FAIL;
        SleepMs(kServicePollIntervalMs);
    }
}

static DWORD StartDependency(const char *name, std::vector<std::string> *chain) {
    if (CheckServiceName(name) || CheckServiceKey(name) == ERROR_SERVICE_DOES_NOT_EXIST)
        return ERROR_SERVICE_DEPENDENCY_DELETED;
    ServiceRuntime runtime;
    DWORD code = LoadServiceRuntime(name, &runtime);
    if (code) return ERROR_SERVICE_DEPENDENCY_FAIL;
    if (runtime.status.dwCurrentState == SERVICE_STOPPED) {
        code = StartServiceByName(name, chain);
        if (code == ERROR_CIRCULAR_DEPENDENCY) return code;
        if (code && code != ERROR_SERVICE_ALREADY_RUNNING) return ERROR_SERVICE_DEPENDENCY_FAIL;
    }
    return WaitForDependencyRunning(name);
}

static bool InChain(const std::vector<std::string> &chain, const char *name) {
    for (const auto &entry : chain)
        if (strcasecmp(entry.c_str(), name) == 0) return true;
    return false;
}

/* The start of one service with its dependencies first; `chain` holds the
 * services whose start is under way, against circular dependencies. */
static DWORD StartServiceByName(const char *name, std::vector<std::string> *chain) {
    if (InChain(*chain, name)) return ERROR_CIRCULAR_DEPENDENCY;
    ServiceConfig config;
    DWORD code = ReadServiceConfig(name, &config);
    if (code) return code;
    ServiceRuntime runtime;
    code = LoadServiceRuntime(name, &runtime);
    if (code) return code;
    if (runtime.deletePending) return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (runtime.status.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
    if (config.start == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
    chain->push_back(name);
    for (const auto &dependency : config.dependencies) {
        code = StartDependency(dependency.c_str(), chain);
        if (code) break;
    }
    chain->pop_back();
    if (code) return code;
    code = ClaimServiceStart(name, config.type);
    if (code) return code;
    return LaunchService(name, config);
}

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors) {
    /* Start arguments are not passed on: ServiceMain gets the service name only. */
    (void)dwNumServiceArgs, (void)lpServiceArgVectors;
    std::string name;
    if (!IsServiceHandle(hService, &name)) return FailWith(ERROR_INVALID_HANDLE);
    std::vector<std::string> chain;
    DWORD code = StartServiceByName(name.c_str(), &chain);
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) code = ERROR_SERVICE_MARKED_FOR_DELETE;
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}

