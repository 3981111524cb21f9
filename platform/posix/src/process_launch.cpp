/*
 * The start of a child process for CreateProcessA, with fork and exec.
 * Everything the child needs (argument and environment vectors, candidate
 * program paths, descriptors) is prepared before fork; between fork and exec
 * the child makes only async-signal-safe calls. A failed exec or chdir is
 * reported to the parent through a close-on-exec pipe, so CreateProcessA
 * fails with the Win32 code of the cause. CREATE_SUSPENDED holds the child
 * just before exec, once everything up to it has succeeded and a program to
 * run has been found.
 */
#include "process_launch.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cmdline.h"
#include "descriptor.h"
#include "errors.h"
#include "exit_result.h"
#include "handles.h"
#include "pipe.h"

extern char **environ;

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
    DescriptorGuard resultWrite; /* write end of the exit-result pipe, kept open across exec */
    size_t resultEntry = 0;      /* index of the exit-result variable in `environment` */
    bool suspended = false;      /* CREATE_SUSPENDED */
    DescriptorGuard resumeRead;  /* with `suspended`: the read end that the child waits on */
    DescriptorGuard resumeWrite; /* its write end, the parent's, closed in the child */
};

/* References to the objects behind the standard handles, held until the child
 * has its copies of their descriptors. */
struct HeldObjects {
    std::vector<KernelObject *> objects;
    DescriptorGuard devNull;
    ~HeldObjects() {
        for (KernelObject *object : objects) ReleaseObject(object);
    }
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

static DWORD OpenDevNull(HeldObjects *held) {
    if (held->devNull) return 0;
    held->devNull.Reset(open("/dev/null", O_RDWR | O_CLOEXEC));
    return held->devNull ? 0 : LastErrnoAsWin32();
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
            plan->standard[i] = held->devNull.Get();
        }
        return 0;
    }
    if (!(flags & DETACHED_PROCESS)) return 0;
    DWORD code = OpenDevNull(held);
    if (code != 0) return code;
    for (int &fd : plan->standard) fd = held->devNull.Get();
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
    if (plan.resultWrite) fcntl(plan.resultWrite.Get(), F_SETFD, 0);
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
    close(plan.resumeWrite.Get());
    char go = 0;
    ssize_t got;
    do got = read(plan.resumeRead.Get(), &go, 1);
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
static DWORD MakeChildPipe(DescriptorGuard *readEnd, DescriptorGuard *writeEnd, int flags) {
    DWORD code = OpenPipeEnds(readEnd, writeEnd, flags);
    if (code != 0) return code;
    readEnd->Reset(AboveStandard(readEnd->Release()));
    writeEnd->Reset(AboveStandard(writeEnd->Release()));
    return *readEnd && *writeEnd ? 0 : LastErrnoAsWin32();
}

/* The pipe the child hands its exit code through; the child learns its write
 * end from its environment, and its own pid beside it (NameResultTaker). */
static DWORD PlanResultChannel(LaunchPlan &plan, DescriptorGuard *readEnd) {
    DWORD code = MakeChildPipe(readEnd, &plan.resultWrite, O_NONBLOCK);
    if (code != 0) return code;
    plan.resultEntry = plan.environment.size();
    plan.environment.push_back(RESULT_FD_VARIABLE "=" + std::to_string(plan.resultWrite.Get()) + "," +
                               std::string(kResultPidRoom, '\0'));
    return 0;
}

/* The pipe that a suspended child waits on. */
static DWORD PlanResumeChannel(LaunchPlan &plan) {
    if (!plan.suspended) return 0;
    return MakeChildPipe(&plan.resumeRead, &plan.resumeWrite, 0);
}

/* Forks and execs; on success the running (or, suspended, held) child. */
static DWORD StartChild(LaunchPlan &plan, bool inheritHandles, LaunchedChild *launched) {
    DescriptorGuard resultRead;
    DWORD code = PlanResultChannel(plan, &resultRead);
    if (code == 0) code = PlanResumeChannel(plan);
    if (code != 0) return code;
    ChildVectors vectors;
    BuildVectors(plan, &vectors);
    DescriptorGuard reportRead, reportWrite;
    code = MakeChildPipe(&reportRead, &reportWrite, 0);
    if (code != 0) return code;
    LockInheritableDescriptors();
    if (inheritHandles) plan.inherited = InheritableDescriptors();
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t child = fork();
    if (child == 0) RunChild(plan, vectors, inheritHandles, reportWrite.Get());
    int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    UnlockInheritableDescriptors();
    reportWrite.Reset();
    plan.resultWrite.Reset();
    plan.resumeRead.Reset();
    if (child < 0) return Win32ErrorFromErrno(forkError);
    LaunchFailure failure = {0, 0};
    ssize_t got = RetryOnInterrupt([&] { return read(reportRead.Get(), &failure, sizeof failure); });
    reportRead.Reset();
    if (got == (ssize_t)sizeof failure && failure.stage != StageSuspended) {
        resultRead.Reset();
        plan.resumeWrite.Reset();
        RetryOnInterrupt([&] { return waitpid(child, nullptr, 0); });
        return CodeFromFailure(failure);
    }
    launched->pid = child;
    launched->resultRead = resultRead.Release();
    launched->resumeWrite = plan.resumeWrite.Release();
    launched->ownGroup = plan.newSession || plan.newGroup || plan.shell;
    return 0;
}

DWORD LaunchChild(const LaunchRequest &request, LaunchedChild *launched) {
    LaunchPlan plan;
    HeldObjects held;
    DWORD code = PlanLaunch(request.application, request.commandLine, request.flags, request.environment,
                            request.directory, request.startup, &plan, &held);
    if (code != 0) return code;
    return StartChild(plan, request.inheritHandles, launched);
}
