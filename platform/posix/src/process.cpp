/*
 * CreateProcessA and the process / primary-thread objects it hands out. The
 * child is started with fork and exec (process_launch.cpp).
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
#include "descriptor.h"
#include "detached_thread.h"
#include "errors.h"
#include "exit_result.h"
#include "handles.h"
#include "process_launch.h"

/* What the process object, the primary-thread object and the watcher share. */
struct ChildProcess {
    pid_t pid = -1;
    DescriptorGuard pidfd;
    DescriptorGuard resultRead; /* read end of the child's exit-result pipe */
    std::atomic<bool> ended{false};
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    std::atomic<bool> terminateRequested{false};
    std::atomic<DWORD> terminateCode{0};
    uint32_t wake = 0;     /* wait word of the process and primary thread handles */
    bool ownGroup = false; /* leads its own process group (new session, new group, or a shell) */
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
    if (child.pidfd) return (int)syscall(SYS_pidfd_send_signal, child.pidfd.Get(), SIGKILL, nullptr, 0);
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
    DescriptorGuard fd(resume->fd.exchange(-1));
    *previous = fd ? 1 : 0;
    if (!fd) return 0;
    char go = 1;
    ssize_t written = RetryOnInterrupt([&] { return write(fd.Get(), &go, 1); });
    return written == 1 || errno == EPIPE ? 0 : LastErrnoAsWin32();
}

static DWORD ExitCodeFromStatus(const ChildProcess &child, int status) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && child.terminateRequested.load())
        return child.terminateCode.load();
    DWORD handed = 0;
    if (child.resultRead && ReadExitResult(child.resultRead.Get(), child.pid, &handed)) return handed;
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
    if (child->pidfd) {
        struct pollfd p = {child->pidfd.Get(), POLLIN, 0};
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
static DWORD WatchAndHandOut(const LaunchedChild &launched, LPSECURITY_ATTRIBUTES processAttributes,
                             LPSECURITY_ATTRIBUTES threadAttributes, PROCESS_INFORMATION *information) {
    pid_t pid = launched.pid;
    ChildRef child = std::make_shared<ChildProcess>();
    child->pid = pid;
    child->resultRead.Reset(launched.resultRead);
    child->ownGroup = launched.ownGroup;
#ifdef SYS_pidfd_open
    child->pidfd.Reset((int)syscall(SYS_pidfd_open, pid, 0));
#endif
    ResumeRef resume = std::make_shared<ResumeChannel>();
    resume->fd.store(launched.resumeWrite);
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
    LaunchRequest request = {lpApplicationName, lpCommandLine,    bInheritHandles != FALSE, dwCreationFlags,
                             lpEnvironment,     lpCurrentDirectory, lpStartupInfo};
    LaunchedChild launched;
    DWORD code = LaunchChild(request, &launched);
    if (code != 0) return FailWith(code);
    code = WatchAndHandOut(launched, lpProcessAttributes, lpThreadAttributes, lpProcessInformation);
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
    identity->pidfd = child.pidfd ? fcntl(child.pidfd.Get(), F_DUPFD_CLOEXEC, 3) : -1;
    if (child.pidfd && identity->pidfd < 0) return LastErrnoAsWin32();
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
