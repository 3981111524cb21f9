/*
 * CreateProcessA and the process / primary-thread objects it hands out.
 *
 * A child is started with fork and exec. Everything the child needs (argument
 * and environment vectors, candidate program paths, descriptors) is prepared
 * before fork; between fork and exec the child makes only async-signal-safe
 * calls. A failed exec or chdir is reported to the parent through a
 * close-on-exec pipe, so CreateProcessA fails with the Win32 code of the cause.
 *
 * Each child is watched by one thread that sleeps on the child's pidfd, reaps
 * it, stores its exit code and wakes the waiters: no child is left a zombie,
 * whether or not its handles are still open.
 *
 * Differences from Win32, kept to what the program can observe:
 * - A child of the layer hands its whole exit code over a pipe (exit_result.h);
 *   for any other program the exit code has the 8 bits of its status. A child
 *   killed by signal N reads as 128 + N, except that TerminateProcess(h, code)
 *   makes the exit code read as `code`.
 * - There is no console to create: CREATE_NEW_CONSOLE starts the child in a new
 *   session like DETACHED_PROCESS, but leaves it the caller's standard
 *   descriptors (DETACHED_PROCESS gives it /dev/null).
 * - The primary thread is the whole child. TerminateThread on its handle cannot
 *   end one thread of another process: the handle becomes signalled with the
 *   given code and the child runs on.
 * - CREATE_SUSPENDED holds the child just before exec, once everything up to it
 *   has succeeded and a program to run has been found; ResumeThread lets it go
 *   on. Its exec may still fail then, like an image that fails to start: the
 *   child ends with exit code 127. A suspended child whose handles are all
 *   closed can never be resumed, and ends without running.
 */
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "child_process.h"
#include "cmdline.h"
#include "detached_thread.h"
#include "errors.h"
#include "exit_result.h"
#include "handles.h"
#include "pipe.h"

extern char **environ;

/* What the process object, the primary-thread object and the watcher share. */
struct ChildProcess {
    pid_t pid = -1;
    int pidfd = -1;
    int resultFd = -1; /* read end of the child's exit-result pipe */
    std::atomic<bool> ended{false};
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    std::atomic<bool> terminateRequested{false};
    std::atomic<DWORD> terminateCode{0};
    uint32_t wake = 0;     /* wait word of the process and primary thread handles */
    bool ownGroup = false; /* leads its own process group (new session, new group, or a shell) */
    ~ChildProcess() {
        if (pidfd >= 0) close(pidfd);
        if (resultFd >= 0) close(resultFd);
    }
};

typedef std::shared_ptr<ChildProcess> ChildRef;

/* The write end that lets a suspended child run, -1 once it runs. Only the
 * child's handles hold it (the watcher does not), so that the child learns
 * when none is left that could resume it. */
struct ResumeChannel {
    std::atomic<int> fd{-1};
    ~ResumeChannel() {
        if (fd.load() >= 0) close(fd.load());
    }
};
typedef std::shared_ptr<ResumeChannel> ResumeRef;

struct ProcessObject : KernelObject {
    ProcessObject(const ChildRef &c, const ResumeRef &r) : KernelObject(ObjectKind::Process), child(c), resume(r) {}
    bool Waitable() const override { return true; }
    bool Signalled() override { return child->ended.load(); }
    uint32_t *WaitWord() override { return &child->wake; }
    DWORD QueryExitCode(DWORD *code) override {
        *code = child->ended.load() ? child->exitCode.load() : (DWORD)STILL_ACTIVE;
        return 0;
    }
    DWORD Terminate(DWORD exitCode) override;
    ChildRef child;
    ResumeRef resume;
};

struct PrimaryThreadObject : KernelObject {
    PrimaryThreadObject(const ChildRef &c, const ResumeRef &r) : KernelObject(ObjectKind::Thread), child(c), resume(r) {}
    bool Waitable() const override { return true; }
    bool Signalled() override { return abandoned.load() || child->ended.load(); }
    uint32_t *WaitWord() override { return &child->wake; }
    DWORD QueryExitCode(DWORD *code) override {
        if (abandoned.load()) *code = abandonCode.load();
        else *code = child->ended.load() ? child->exitCode.load() : (DWORD)STILL_ACTIVE;
        return 0;
    }
    DWORD Terminate(DWORD exitCode) override;
    DWORD Resume(DWORD *previous) override;
    ChildRef child;
    ResumeRef resume;
    std::atomic<bool> abandoned{false};
    std::atomic<DWORD> abandonCode{0};
};

/* A child that leads its own group takes its group along: for "CMD.EXE /C" the
 * shell's commands are part of the command, as a batch file runs inside
 * cmd.exe's own process on Windows. */
static int SendKill(const ChildProcess &child) {
    if (child.ownGroup) kill(-child.pid, SIGKILL);
#ifdef SYS_pidfd_send_signal
    if (child.pidfd >= 0) return (int)syscall(SYS_pidfd_send_signal, child.pidfd, SIGKILL, nullptr, 0);
#endif
    return kill(child.pid, SIGKILL);
}

/* Win32 refuses to terminate a process that has already ended. */
DWORD ProcessObject::Terminate(DWORD exitCode) {
    if (child->ended.load()) return ERROR_ACCESS_DENIED;
    child->terminateCode.store(exitCode);
    child->terminateRequested.store(true);
    if (SendKill(*child) != 0 && errno != ESRCH) return LastErrnoAsWin32();
    return 0;
}

/* Never kills the child (see the top of this file). A handle already signalled
 * keeps its exit code. */
DWORD PrimaryThreadObject::Terminate(DWORD exitCode) {
    LockLocalWaits();
    bool done = abandoned.load() || child->ended.load();
    if (!done) {
        abandonCode.store(exitCode);
        abandoned.store(true);
    }
    UnlockLocalWaits();
    if (!done) WakeWord(&child->wake, false);
    return 0;
}

DWORD PrimaryThreadObject::Resume(DWORD *previous) {
    int fd = resume->fd.exchange(-1);
    *previous = fd >= 0 ? 1 : 0;
    if (fd < 0) return 0;
    char go = 1;
    ssize_t written = RetryOnInterrupt([&] { return write(fd, &go, 1); });
    DWORD code = written == 1 || errno == EPIPE ? 0 : LastErrnoAsWin32();
    close(fd);
    return code;
}

static DWORD ExitCodeFromStatus(const ChildProcess &child, int status) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && child.terminateRequested.load())
        return child.terminateCode.load();
    DWORD handed = 0;
    if (child.resultFd >= 0 && ReadExitResult(child.resultFd, child.pid, &handed)) return handed;
    if (WIFEXITED(status)) return (DWORD)WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128u + (DWORD)WTERMSIG(status);
    return 1;
}

/* Sleeps on the pidfd until the child ends, reaps it and publishes its exit
 * code. A child reaped by someone else (SIGCHLD ignored) reads as exit code 0. */
static void *WatchChild(void *argument) {
    ChildRef *owned = static_cast<ChildRef *>(argument);
    ChildRef child = *owned;
    delete owned;
    if (child->pidfd >= 0) {
        struct pollfd p = {child->pidfd, POLLIN, 0};
        RetryOnInterrupt([&] { return poll(&p, 1, -1); });
    }
    int status = 0;
    pid_t reaped = RetryOnInterrupt([&] { return waitpid(child->pid, &status, 0); });
    DWORD code = reaped == child->pid ? ExitCodeFromStatus(*child, status) : 0;
    LockLocalWaits();
    child->exitCode.store(code);
    child->ended.store(true);
    UnlockLocalWaits();
    WakeWord(&child->wake, false);
    return nullptr;
}

static DWORD StartWatcher(const ChildRef &child) {
    ChildRef *argument = new (std::nothrow) ChildRef(child);
    if (!argument) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD error = StartDetachedThread(WatchChild, argument, 256 * 1024);
    if (error != 0) delete argument;
    return error;
}

/* ---- Preparing a launch ------------------------------------------------- */

/* Everything the forked child uses; built before fork. */
namespace {
struct LaunchPlan {
    std::vector<std::string> arguments;
    std::vector<std::string> candidates; /* program paths to try in order */
    std::vector<std::string> environment;
    std::string directory;
    int standard[3] = {-1, -1, -1};      /* -1: keep the caller's descriptor */
    bool newSession = false;
    bool newGroup = false;
    bool shell = false; /* "CMD.EXE /C": run through /bin/sh in a group of its own */
    bool setNice = false;
    int nice = 0;
    std::vector<int> inherited;
    int resultFd = -1; /* write end of the exit-result pipe, kept open across exec */
    size_t resultEntry = 0; /* index of the exit-result variable in `environment` */
    bool suspended = false; /* CREATE_SUSPENDED */
    int resumeFd = -1;      /* with `suspended`: the read end that the child waits on */
    int resumeWriteFd = -1; /* its write end, the parent's, closed in the child */
};
} // namespace

static const char shellPrefix[] = "CMD.EXE /C ";

static void ResolveProgram(const std::string &program, LaunchPlan *plan) {
    if (program.find('/') != std::string::npos) {
        plan->candidates.push_back(program);
        return;
    }
    const char *path = getenv("PATH");
    std::string search = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = search.find(':', start);
        std::string directory = search.substr(start, end == std::string::npos ? std::string::npos : end - start);
        plan->candidates.push_back((directory.empty() ? std::string(".") : directory) + "/" + program);
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

/* Win32 takes at most 32767 characters with the terminating NUL. */
static const size_t longestCommandLine = 32766;

static DWORD PlanCommand(LPCSTR application, LPCSTR commandLine, LaunchPlan *plan) {
    const char *line = commandLine ? commandLine : application;
    if (strlen(line) > longestCommandLine) return ERROR_FILENAME_EXCED_RANGE;
    while (*line == ' ' || *line == '\t') line++;
    if (!application && strncasecmp(line, shellPrefix, sizeof shellPrefix - 1) == 0) {
        plan->arguments = {"/bin/sh", "-c", line + sizeof shellPrefix - 1};
        plan->candidates = {"/bin/sh"};
        plan->shell = true;
        return 0;
    }
    plan->arguments = SplitWindowsCommandLine(line);
    if (plan->arguments.empty()) return ERROR_FILE_NOT_FOUND;
    ResolveProgram(application ? std::string(application) : plan->arguments[0], plan);
    return 0;
}

static bool IsResultVariable(const char *entry) {
    return strncmp(entry, RESULT_FD_VARIABLE "=", sizeof RESULT_FD_VARIABLE) == 0;
}

/* A Win32 environment block: "NAME=value\0...\0\0", or the caller's own
 * environment. Entries that begin with '=' (per-drive directories) mean
 * nothing here and are left out; the result channel is the child's own. */
static void PlanEnvironment(LPVOID block, LaunchPlan *plan) {
    if (!block) {
        for (char **entry = environ; *entry; entry++)
            if (!IsResultVariable(*entry)) plan->environment.push_back(*entry);
        return;
    }
    for (const char *entry = static_cast<const char *>(block); *entry; entry += strlen(entry) + 1)
        if (entry[0] != '=' && !IsResultVariable(entry)) plan->environment.push_back(entry);
}

static int PriorityNice(DWORD flags, bool *given) {
    *given = true;
    if (flags & REALTIME_PRIORITY_CLASS) return -20;
    if (flags & HIGH_PRIORITY_CLASS) return -10;
    if (flags & ABOVE_NORMAL_PRIORITY_CLASS) return -5;
    if (flags & NORMAL_PRIORITY_CLASS) return 0;
    if (flags & BELOW_NORMAL_PRIORITY_CLASS) return 10;
    if (flags & IDLE_PRIORITY_CLASS) return 19;
    *given = false;
    return 0;
}

/* Without a class the child is normal, unless the caller runs below normal:
 * then it keeps the caller's priority, as Win32 does. */
static void PlanPriority(DWORD flags, LaunchPlan *plan) {
    bool given = false;
    int nice = PriorityNice(flags, &given);
    if (given) {
        plan->setNice = true;
        plan->nice = nice;
        return;
    }
    errno = 0;
    int current = getpriority(PRIO_PROCESS, 0);
    if (errno == 0 && current < 0) plan->setNice = true, plan->nice = 0;
}

/* References to the objects behind the standard handles, held until the child
 * has its copies of their descriptors. */
struct HeldObjects {
    std::vector<KernelObject *> objects;
    int devNull = -1;
    ~HeldObjects() {
        for (KernelObject *object : objects) ReleaseObject(object);
        if (devNull >= 0) close(devNull);
    }
};

static DWORD OpenDevNull(HeldObjects *held) {
    if (held->devNull >= 0) return 0;
    held->devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    return held->devNull >= 0 ? 0 : LastErrnoAsWin32();
}

static DWORD PlanStandardHandles(LPSTARTUPINFOA startup, DWORD flags, LaunchPlan *plan, HeldObjects *held) {
    if (startup && (startup->dwFlags & STARTF_USESTDHANDLES)) {
        HANDLE handles[3] = {startup->hStdInput, startup->hStdOutput, startup->hStdError};
        for (int i = 0; i < 3; i++) {
            KernelObject *object = ReferenceHandle(handles[i], ObjectKind::Any);
            if (object) held->objects.push_back(object);
            if (object && object->Descriptor() >= 0) {
                plan->standard[i] = object->Descriptor();
                continue;
            }
            DWORD code = OpenDevNull(held);
            if (code != 0) return code;
            plan->standard[i] = held->devNull;
        }
        return 0;
    }
    if (!(flags & DETACHED_PROCESS)) return 0;
    DWORD code = OpenDevNull(held);
    if (code != 0) return code;
    for (int &fd : plan->standard) fd = held->devNull;
    return 0;
}

static DWORD PlanLaunch(LPCSTR application, LPCSTR commandLine, DWORD flags,
                        LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup, LaunchPlan *plan,
                        HeldObjects *held) {
    DWORD code = PlanCommand(application, commandLine, plan);
    if (code != 0) return code;
    PlanEnvironment(environment, plan);
    if (directory) plan->directory = directory;
    code = PlanStandardHandles(startup, flags, plan, held);
    if (code != 0) return code;
    plan->newSession = (flags & (DETACHED_PROCESS | CREATE_NEW_CONSOLE)) != 0;
    plan->newGroup = (flags & CREATE_NEW_PROCESS_GROUP) != 0;
    plan->suspended = (flags & CREATE_SUSPENDED) != 0;
    PlanPriority(flags, plan);
    return 0;
}

/* ---- The child between fork and exec (async-signal-safe only) ----------- */

/* StageSuspended is no failure: the child holds before exec, as asked. */
enum LaunchStage { StageDirectory = 1, StageExec = 2, StageDescriptors = 3, StageSuspended = 4 };

struct LaunchFailure {
    int stage;
    int error;
};

struct ChildVectors {
    std::vector<char *> argv;
    std::vector<char *> envp;
    std::vector<const char *> candidates;
};

[[noreturn]] static void FailInChild(int reportFd, int stage, int error) {
    LaunchFailure failure = {stage, error};
    if (reportFd >= 0) {
        ssize_t ignored = write(reportFd, &failure, sizeof failure);
        (void)ignored;
    }
    _exit(127);
}

/* The child starts with every signal blocked (see StartChild). The caller's
 * handlers must not run in it before exec. An ignored signal stays ignored (as
 * Windows children inherit the ignoring of CTRL+C), except SIGPIPE and SIGCHLD,
 * whose ignoring would change how ordinary programs and shells behave. */
static void ResetSignalsInChild(void) {
    struct sigaction byDefault;
    memset(&byDefault, 0, sizeof byDefault);
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int number = 1; number < NSIG; number++) {
        struct sigaction current;
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN &&
            current.sa_handler != SIG_DFL)
            sigaction(number, &byDefault, nullptr);
    }
    static const int reset[] = {SIGPIPE, SIGCHLD};
    for (int number : reset) sigaction(number, &byDefault, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

/* Every descriptor from 3 up closes on exec except the inherited ones; the
 * standard ones are copied in through fresh duplicates so that a source that is
 * itself 0, 1 or 2 is not overwritten before it is copied. */
static int ArrangeDescriptorsInChild(const LaunchPlan &plan, bool inheritHandles) {
    MarkDescriptorsCloseOnExec();
    int copies[3] = {-1, -1, -1};
    for (int i = 0; i < 3; i++) {
        if (plan.standard[i] < 0) continue;
        copies[i] = fcntl(plan.standard[i], F_DUPFD_CLOEXEC, 3);
        if (copies[i] < 0) return errno;
    }
    for (int i = 0; i < 3; i++)
        if (copies[i] >= 0 && dup2(copies[i], i) < 0) return errno;
    if (inheritHandles)
        for (int fd : plan.inherited) fcntl(fd, F_SETFD, 0);
    if (plan.resultFd >= 0) fcntl(plan.resultFd, F_SETFD, 0);
    return 0;
}

static void ApplyNiceInChild(int target) {
    errno = 0;
    int current = getpriority(PRIO_PROCESS, 0);
    if (errno != 0) return;
    /* Lowering the nice value may need privilege: take the nearest allowed. */
    for (int nice = target; nice < current; nice++)
        if (setpriority(PRIO_PROCESS, 0, nice) == 0) return;
    if (target >= current) setpriority(PRIO_PROCESS, 0, target);
}

/* Writes the child's pid into the exit-result variable, so that only this
 * process takes the pipe, not what it starts in turn. */
static void NameResultTaker(const ChildVectors &vectors, size_t entry) {
    char *value = vectors.envp[entry];
    while (*value != ',') value++;
    FormatPidInChild(getpid(), value + 1, kResultPidRoom);
}

/* A program to run, as exec would find it among the candidates: 0, or the
 * errno that exec would end with. */
static int FindProgramInChild(const ChildVectors &vectors) {
    int failure = ENOENT;
    for (const char *candidate : vectors.candidates) {
        if (access(candidate, X_OK) == 0) return 0;
        if (errno == EACCES) failure = EACCES;
    }
    return failure;
}

/* CREATE_SUSPENDED: says so to the parent, then waits for ResumeThread. A
 * closed end (no handle left that could resume it) ends the child unrun. */
static void HoldInChild(const LaunchPlan &plan, const ChildVectors &vectors, int reportFd) {
    int missing = FindProgramInChild(vectors);
    if (missing != 0) FailInChild(reportFd, StageExec, missing);
    LaunchFailure held = {StageSuspended, 0};
    ssize_t ignored = write(reportFd, &held, sizeof held);
    (void)ignored;
    close(plan.resumeWriteFd);
    char go = 0;
    ssize_t got;
    do got = read(plan.resumeFd, &go, 1);
    while (got < 0 && errno == EINTR);
    if (got != 1) _exit(127);
}

[[noreturn]] static void RunChild(const LaunchPlan &plan, const ChildVectors &vectors, bool inheritHandles,
                                  int reportFd) {
    ResetSignalsInChild();
    NameResultTaker(vectors, plan.resultEntry);
    if (plan.newSession) setsid();
    else if (plan.newGroup || plan.shell) setpgid(0, 0);
    int error = ArrangeDescriptorsInChild(plan, inheritHandles);
    if (error != 0) FailInChild(reportFd, StageDescriptors, error);
    if (plan.setNice) ApplyNiceInChild(plan.nice);
    if (!plan.directory.empty() && chdir(plan.directory.c_str()) != 0)
        FailInChild(reportFd, StageDirectory, errno);
    char *const *envp = vectors.envp.data();
    if (plan.suspended) {
        HoldInChild(plan, vectors, reportFd);
        reportFd = -1; /* nobody reads it any more */
    }
    /* The search rules of execvp, without its fallback to /bin/sh. */
    int failure = ENOENT;
    for (const char *candidate : vectors.candidates) {
        execve(candidate, vectors.argv.data(), envp);
        if (errno == EACCES) failure = EACCES;
        else if (errno != ENOENT && errno != ENOTDIR) {
            failure = errno;
            break;
        }
    }
    FailInChild(reportFd, StageExec, failure);
}

/* ---- The parent ----------------------------------------------------------- */

static void BuildVectors(LaunchPlan &plan, ChildVectors *vectors) {
    for (std::string &argument : plan.arguments) vectors->argv.push_back(&argument[0]);
    vectors->argv.push_back(nullptr);
    for (std::string &entry : plan.environment) vectors->envp.push_back(&entry[0]);
    vectors->envp.push_back(nullptr);
    for (const std::string &candidate : plan.candidates) vectors->candidates.push_back(candidate.c_str());
}

/* A descriptor that is not 0, 1 or 2 (those may be reassigned in the child). */
static int AboveStandard(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

static DWORD CodeFromFailure(const LaunchFailure &failure) {
    if (failure.stage == StageDirectory) return ERROR_DIRECTORY;
    if (failure.error == E2BIG) return ERROR_FILENAME_EXCED_RANGE;
    return Win32ErrorFromErrno(failure.error);
}

/* A close-on-exec pipe whose ends are not 0, 1 or 2. */
static DWORD MakeChildPipe(int fds[2], int flags) {
    if (pipe2(fds, O_CLOEXEC | flags) != 0) return LastErrnoAsWin32();
    fds[0] = AboveStandard(fds[0]);
    fds[1] = AboveStandard(fds[1]);
    if (fds[0] >= 0 && fds[1] >= 0) return 0;
    DWORD code = LastErrnoAsWin32();
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
    return code;
}

/* The pipe the child hands its exit code through; the child learns its write
 * end from its environment, and its own pid beside it (NameResultTaker). */
static DWORD PlanResultChannel(LaunchPlan &plan, int *readEnd) {
    int fds[2];
    DWORD code = MakeChildPipe(fds, O_NONBLOCK);
    if (code != 0) return code;
    plan.resultFd = fds[1];
    plan.resultEntry = plan.environment.size();
    plan.environment.push_back(RESULT_FD_VARIABLE "=" + std::to_string(fds[1]) + "," +
                               std::string(kResultPidRoom, '\0'));
    *readEnd = fds[0];
    return 0;
}

/* The pipe that a suspended child waits on. */
static DWORD PlanResumeChannel(LaunchPlan &plan) {
    if (!plan.suspended) return 0;
    int fds[2];
    DWORD code = MakeChildPipe(fds, 0);
    if (code != 0) return code;
    plan.resumeFd = fds[0];
    plan.resumeWriteFd = fds[1];
    return 0;
}

static void CloseResumeChannel(LaunchPlan &plan) {
    if (plan.resumeFd >= 0) close(plan.resumeFd);
    if (plan.resumeWriteFd >= 0) close(plan.resumeWriteFd);
    plan.resumeFd = plan.resumeWriteFd = -1;
}

/* Forks and execs; on success *pid is the running (or, suspended, held) child,
 * *resultRead the read end of its exit-result pipe and *resumeWrite the end
 * that lets a suspended child run (-1 for one that runs). */
static DWORD StartChild(LaunchPlan &plan, bool inheritHandles, pid_t *pid, int *resultRead, int *resumeWrite) {
    int resultEnd = -1;
    DWORD planned = PlanResultChannel(plan, &resultEnd);
    if (planned != 0) return planned;
    planned = PlanResumeChannel(plan);
    if (planned != 0) {
        close(resultEnd), close(plan.resultFd);
        return planned;
    }
    ChildVectors vectors;
    BuildVectors(plan, &vectors);
    int report[2];
    DWORD piped = MakeChildPipe(report, 0);
    if (piped != 0) {
        close(resultEnd), close(plan.resultFd);
        CloseResumeChannel(plan);
        return piped;
    }
    LockInheritableDescriptors();
    if (inheritHandles) plan.inherited = InheritableDescriptors();
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t child = fork();
    if (child == 0) RunChild(plan, vectors, inheritHandles, report[1]);
    int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    UnlockInheritableDescriptors();
    close(report[1]);
    close(plan.resultFd);
    if (plan.resumeFd >= 0) close(plan.resumeFd);
    plan.resumeFd = -1;
    if (child < 0) {
        close(report[0]), close(resultEnd);
        CloseResumeChannel(plan);
        return Win32ErrorFromErrno(forkError);
    }
    LaunchFailure failure = {0, 0};
    ssize_t got = RetryOnInterrupt([&] { return read(report[0], &failure, sizeof failure); });
    close(report[0]);
    if (got == (ssize_t)sizeof failure && failure.stage != StageSuspended) {
        close(resultEnd);
        CloseResumeChannel(plan);
        RetryOnInterrupt([&] { return waitpid(child, nullptr, 0); });
        return CodeFromFailure(failure);
    }
    *pid = child;
    *resultRead = resultEnd;
    *resumeWrite = plan.resumeWriteFd;
    plan.resumeWriteFd = -1;
    return 0;
}

static bool InheritRequested(LPSECURITY_ATTRIBUTES attributes) {
    return attributes && attributes->bInheritHandle;
}

static DWORD InsertObject(KernelObject *object, bool inheritable, HANDLE *handle) {
    if (!object) return ERROR_NOT_ENOUGH_MEMORY;
    *handle = InsertHandle(object, inheritable);
    if (*handle) return 0;
    ReleaseObject(object);
    return ERROR_NO_SYSTEM_RESOURCES;
}

/* The watcher starts before any handle exists, so the child is reaped even when
 * handing out a handle fails. */
static DWORD WatchAndHandOut(pid_t pid, int resultFd, int resumeFd, bool ownGroup,
                             LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                             PROCESS_INFORMATION *information) {
    ChildRef child = std::make_shared<ChildProcess>();
    child->pid = pid;
    child->resultFd = resultFd;
    child->ownGroup = ownGroup;
#ifdef SYS_pidfd_open
    child->pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
#endif
    ResumeRef resume = std::make_shared<ResumeChannel>();
    resume->fd.store(resumeFd);
    DWORD code = StartWatcher(child);
    if (code != 0) return code;
    HANDLE process = nullptr, thread = nullptr;
    code = InsertObject(new (std::nothrow) ProcessObject(child, resume), InheritRequested(processAttributes),
                        &process);
    if (code != 0) return code;
    code = InsertObject(new (std::nothrow) PrimaryThreadObject(child, resume), InheritRequested(threadAttributes),
                        &thread);
    if (code != 0) {
        CloseHandleEntry(process);
        return code;
    }
    information->hProcess = process;
    information->hThread = thread;
    information->dwProcessId = (DWORD)pid;
    information->dwThreadId = (DWORD)pid;
    return 0;
}

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                           BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    if ((!lpApplicationName && !lpCommandLine) || !lpStartupInfo || !lpProcessInformation)
        return FailWith(ERROR_INVALID_PARAMETER);
    if (dwCreationFlags & DEBUG_PROCESS) return FailWith(ERROR_NOT_SUPPORTED);
    LaunchPlan plan;
    HeldObjects held;
    DWORD code = PlanLaunch(lpApplicationName, lpCommandLine, dwCreationFlags, lpEnvironment, lpCurrentDirectory,
                            lpStartupInfo, &plan, &held);
    if (code != 0) return FailWith(code);
    pid_t pid = -1;
    int resultFd = -1, resumeFd = -1;
    code = StartChild(plan, bInheritHandles != FALSE, &pid, &resultFd, &resumeFd);
    if (code != 0) return FailWith(code);
    bool ownGroup = plan.newSession || plan.newGroup || plan.shell;
    code = WatchAndHandOut(pid, resultFd, resumeFd, ownGroup, lpProcessAttributes, lpThreadAttributes,
                           lpProcessInformation);
    if (code != 0) return FailWith(code);
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    if (!lpExitCode) return FailWith(ERROR_INVALID_PARAMETER);
    if (hProcess == GetCurrentProcess()) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    ObjectReference object(ReferenceHandle(hProcess, ObjectKind::Process));
    if (!object) return FailWith(ERROR_INVALID_HANDLE);
    DWORD code = object.get()->QueryExitCode(lpExitCode);
    return code == 0 ? TRUE : FailWith(code);
}

DWORD IdentifyChildProcess(HANDLE process, ChildIdentity *identity) {
    ObjectReference object(ReferenceHandle(process, ObjectKind::Process));
    if (!object) return ERROR_INVALID_HANDLE;
    const ChildProcess &child = *static_cast<ProcessObject *>(object.get())->child;
    if (child.ended.load()) return ERROR_ACCESS_DENIED;
    identity->pid = child.pid;
    identity->leadsGroup = child.ownGroup;
    identity->pidfd = child.pidfd >= 0 ? fcntl(child.pidfd, F_DUPFD_CLOEXEC, 3) : -1;
    if (child.pidfd >= 0 && identity->pidfd < 0) return LastErrnoAsWin32();
    return 0;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    if (hProcess == GetCurrentProcess()) {
        HandExitResult(uExitCode);
        _exit(ExitStatusOf(uExitCode));
    }
    ObjectReference object(ReferenceHandle(hProcess, ObjectKind::Process));
    if (!object) return FailWith(ERROR_INVALID_HANDLE);
    DWORD code = object.get()->Terminate(uExitCode);
    return code == 0 ? TRUE : FailWith(code);
}
