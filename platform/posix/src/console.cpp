/*
 * Console control. Signals stand for console events: SIGINT for CTRL_C_EVENT,
 * SIGQUIT for CTRL_BREAK_EVENT, SIGHUP for CTRL_CLOSE_EVENT and SIGTERM for
 * CTRL_SHUTDOWN_EVENT. The first SetConsoleCtrlHandler saves the dispositions
 * the four signals had (the JVM's, when it exists) and installs a signal
 * handler that only writes the signal's siginfo to a pipe. A dispatcher thread
 * reads it and runs each event on a new thread, as Windows does: the handlers,
 * newest first, until one answers TRUE. An event that every handler declines
 * goes to the saved disposition: a handler function is called with the
 * original siginfo, SIG_IGN drops it, SIG_DFL is restored and the signal
 * raised again (which ends the process).
 *
 * In a service process the dispatcher claims the events (console_claim.h)
 * before any handler exists, and the JVM then puts its own handlers on the
 * signals: each later SetConsoleCtrlHandler takes the signals back and keeps
 * what it found as the disposition to pass declined events to.
 */
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "console_claim.h"
#include "detached_thread.h"
#include "descriptor.h"
#include "errors.h"
#include "kernel_objects.h"

namespace {

const int kSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
const DWORD kEvents[] = {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT};
const int kSignalCount = 4;

pthread_mutex_t consoleLock = PTHREAD_MUTEX_INITIALIZER;
std::vector<PHANDLER_ROUTINE> handlers; /* oldest first; guarded by consoleLock */
bool ignoreCtrlC;                       /* SetConsoleCtrlHandler(NULL, TRUE) */
bool installed;
struct sigaction previous[kSignalCount];
int signalPipe[2] = {-1, -1};
pid_t installedBy;
bool allocatedConsole;    /* AllocConsole succeeded; guarded by consoleLock */
std::string consoleTitle; /* of that console; guarded by consoleLock */
void (*serviceShutdown)(void); /* the dispatcher's claim; guarded by consoleLock */

int SignalIndex(int signal) {
    for (int i = 0; i < kSignalCount; i++)
        if (kSignals[i] == signal) return i;
    return -1;
}

void OnSignal(int signal, siginfo_t *info, void *context) {
    (void)context;
    int saved = errno;
    if (getpid() != installedBy) {
        /* A child between fork and exec: the event is not ours to dispatch. */
        ::signal(signal, SIG_DFL);
        raise(signal);
        errno = saved;
        return;
    }
    /* A full pipe drops the event: thousands are already queued. */
    ssize_t written = write(signalPipe[1], info, sizeof *info);
    (void)written;
    errno = saved;
}

[[noreturn]] void RaiseWithDefaultAction(int signal) {
    struct sigaction defaults;
    memset(&defaults, 0, sizeof defaults);
    defaults.sa_handler = SIG_DFL;
    sigaction(signal, &defaults, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal); /* a signal whose default action is not to end the process */
}

/* Hands a declined event to what the signal did before the first handler
 * (in a service process, a default action is not taken). */
void PassOn(siginfo_t *info, bool service) {
    int index = SignalIndex(info->si_signo);
    struct sigaction before = previous[index];
    if (before.sa_flags & SA_SIGINFO) {
        before.sa_sigaction(info->si_signo, info, nullptr);
    } else if (before.sa_handler == SIG_IGN) {
        return;
    } else if (before.sa_handler != SIG_DFL) {
        before.sa_handler(info->si_signo);
    } else if (!service) {
        RaiseWithDefaultAction(info->si_signo);
    }
}

void *DeliverEvent(void *argument) {
    siginfo_t *info = (siginfo_t *)argument;
    DWORD event = kEvents[SignalIndex(info->si_signo)];
    pthread_mutex_lock(&consoleLock);
    std::vector<PHANDLER_ROUTINE> routines(handlers.rbegin(), handlers.rend());
    bool ignored = ignoreCtrlC && event == CTRL_C_EVENT;
    void (*shutdown)(void) = serviceShutdown;
    pthread_mutex_unlock(&consoleLock);
    if (shutdown != nullptr && event == CTRL_SHUTDOWN_EVENT) {
        delete info;
        shutdown();
        return nullptr;
    }
    bool handled = false;
    for (PHANDLER_ROUTINE routine : routines) {
        handled = routine(event) != FALSE;
        if (handled) break;
    }
    if (!handled && !ignored) PassOn(info, shutdown != nullptr);
    delete info;
    return nullptr;
}

void StartDelivery(const siginfo_t &received) {
    siginfo_t *info = new siginfo_t(received);
    if (StartDetachedThread(DeliverEvent, info, 0) != 0) {
        DeliverEvent(info); /* no thread to spare: deliver on the dispatcher */
    }
}

void *DispatchEvents(void *) {
    for (;;) {
        siginfo_t info;
        ssize_t length = RetryOnInterrupt([&] { return read(signalPipe[0], &info, sizeof info); });
        if (length != (ssize_t)sizeof info) continue;
        if (SignalIndex(info.si_signo) >= 0) StartDelivery(info);
    }
    return nullptr;
}

/* Call under consoleLock, once: the pipe, the dispatcher, the signal handlers. */
DWORD InstallSignalHandlers() {
    if (pipe2(signalPipe, O_CLOEXEC) != 0) return LastErrnoAsWin32();
    fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    DWORD error = StartDetachedThread(DispatchEvents, nullptr, 0);
    if (error) {
        close(signalPipe[0]);
        close(signalPipe[1]);
        return error;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    installedBy = getpid();
    for (int i = 0; i < kSignalCount; i++) sigaction(kSignals[i], &action, &previous[i]);
    installed = true;
    return 0;
}

/* Call under consoleLock once installed: a signal whose handler another
 * (the JVM) replaced is taken back, its handler kept to pass events on to. */
void ReclaimSignals() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; i++) {
        struct sigaction current;
        if (sigaction(kSignals[i], nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == OnSignal) continue;
        sigaction(kSignals[i], &action, &previous[i]);
    }
}

DWORD RemoveHandler(PHANDLER_ROUTINE routine) {
    for (size_t i = handlers.size(); i-- > 0;) {
        if (handlers[i] != routine) continue;
        handlers.erase(handlers.begin() + i);
        return 0;
    }
    return ERROR_INVALID_PARAMETER;
}

} // namespace

/* A process has a console when it has a controlling terminal or AllocConsole
 * gave it one. Without a terminal (a service, a detached process) AllocConsole
 * succeeds once and changes nothing visible: the standard handles stay where
 * they are, and the console exists only as its title, kept in the process. */
BOOL WINAPI AllocConsole(void) {
    int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal >= 0) close(terminal);
    pthread_mutex_lock(&consoleLock);
    bool hadConsole = terminal >= 0 || allocatedConsole;
    if (!hadConsole) allocatedConsole = true;
    pthread_mutex_unlock(&consoleLock);
    if (hadConsole) return FailWith(ERROR_ACCESS_DENIED);
    return TRUE;
}

/* On a terminal the title goes out as the xterm title sequence; a console of
 * AllocConsole's making only keeps it. */
BOOL WINAPI SetConsoleTitleA(LPCSTR lpConsoleTitle) {
    if (!lpConsoleTitle) return FailWith(ERROR_INVALID_PARAMETER);
    pthread_mutex_lock(&consoleLock);
    bool allocated = allocatedConsole;
    if (allocated) consoleTitle = lpConsoleTitle;
    pthread_mutex_unlock(&consoleLock);
    if (allocated) return TRUE;
    DescriptorGuard tty(RetryOnInterrupt([] { return open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC); }));
    if (!tty) return FailWith(ERROR_INVALID_HANDLE);
    std::string sequence = std::string("\033]0;") + lpConsoleTitle + "\007";
    ssize_t written = RetryOnInterrupt([&] { return write(tty.Get(), sequence.data(), sequence.size()); });
    if (written < 0) return FailWith(ERROR_INVALID_HANDLE);
    return TRUE;
}

DWORD ClaimConsoleEventsForService(void (*shutdown)(void)) {
    pthread_mutex_lock(&consoleLock);
    DWORD error = installed ? 0 : InstallSignalHandlers();
    if (!error) serviceShutdown = shutdown;
    pthread_mutex_unlock(&consoleLock);
    return error;
}

void ReleaseConsoleEventsOfService(void) {
    pthread_mutex_lock(&consoleLock);
    serviceShutdown = nullptr;
    pthread_mutex_unlock(&consoleLock);
}

void EndProcessBySystemShutdown(void) { RaiseWithDefaultAction(SIGTERM); }

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    pthread_mutex_lock(&consoleLock);
    DWORD error = 0;
    if (Add && !installed) error = InstallSignalHandlers();
    else if (Add) ReclaimSignals();
    if (!error && !HandlerRoutine) ignoreCtrlC = Add != FALSE;
    else if (!error && Add) handlers.push_back(HandlerRoutine);
    else if (!error) error = RemoveHandler(HandlerRoutine);
    pthread_mutex_unlock(&consoleLock);
    if (error) return FailWith(error);
    return TRUE;
}
