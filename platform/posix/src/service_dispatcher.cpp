/*
 * The service process side of the service controller.
 *
 * StartServiceCtrlDispatcherA accepts only a process that StartServiceA
 * launched (its name in the environment, its pid in the start record). It
 * serves the control socket on the calling thread, runs ServiceMain on a new
 * thread, and returns once the service has reported SERVICE_STOPPED. It also
 * takes SIGTERM as the machine's shutdown for this service (service.h).
 */
#include "service_internal.h"

#include "console_claim.h"
#include "descriptor.h"
#include "errors.h"
#include "pipe.h"
#include "root.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

/* How long the dispatcher waits, after STOPPED, for ServiceMain to return. */
static const int kServiceMainGraceSeconds = 2;
/* How long one control connection may take to send its request. */
static const int kRequestTimeoutSeconds = 5;

namespace {
struct DispatcherState {
    std::mutex lock;
    bool active = false;
    std::string name; /* kept after the dispatcher returns, for late reports */
    LPHANDLER_FUNCTION handler = nullptr;     /* one of these two, or neither */
    LPHANDLER_FUNCTION_EX handlerEx = nullptr;
    LPVOID context = nullptr;
    SERVICE_STATUS status = {};
    int wakeFd = -1; /* written when the service reports STOPPED */
};
DispatcherState dispatcher;
char statusHandleToken;
/* Set by the first SIGTERM: a later one finds the shutdown under way. */
std::atomic<bool> shutdownBegun{false};

struct ServiceMainStart {
    LPSERVICE_MAIN_FUNCTIONA proc;
    std::string name;
    char *argv[2];
};
} // namespace

static SERVICE_STATUS_HANDLE StatusHandle() { return (SERVICE_STATUS_HANDLE)&statusHandleToken; }

static void *RunServiceMain(void *argument) {
    ServiceMainStart *start = (ServiceMainStart *)argument;
    start->argv[0] = &start->name[0];
    start->argv[1] = nullptr;
    start->proc(1, start->argv);
    delete start;
    return nullptr;
}

/* Only processes of our own user (or root) may control the service. */
static bool IsTrustedPeer(int fd) {
    struct ucred peer;
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == 0 || peer.uid == geteuid();
}

/* One control request: run the handler, reply with the status after it. */
static void ServeControl(int fd) {
    if (!IsTrustedPeer(fd)) return;
    struct timeval timeout = {kRequestTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ControlRequest request;
    ssize_t size = RetryOnInterrupt([&] { return recv(fd, &request, sizeof request, MSG_WAITALL); });
    if (size != (ssize_t)sizeof request) return;
    LPHANDLER_FUNCTION handler;
    LPHANDLER_FUNCTION_EX handlerEx;
    LPVOID context;
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        handler = dispatcher.handler;
        handlerEx = dispatcher.handlerEx;
        context = dispatcher.context;
    }
    ControlReply reply = {};
    if (handlerEx) reply.result = handlerEx(request.control, 0, nullptr, context);
    else if (handler) handler(request.control);
    else reply.result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        reply.status = dispatcher.status;
    }
    RetryOnInterrupt([&] { return send(fd, &reply, sizeof reply, MSG_NOSIGNAL); });
}

/* Serves control requests until the service reports STOPPED. */
static DWORD ServeControls(int listenFd, int wakeFd) {
    for (;;) {
        struct pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (RetryOnInterrupt([&] { return poll(fds, 2, -1); }) < 0) return LastErrnoAsWin32();
        if (fds[1].revents) return 0;
        if (!(fds[0].revents & POLLIN)) continue;
        DescriptorGuard client(RetryOnInterrupt([&] { return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC); }));
        if (client) ServeControl(client.Get());
    }
}

static DWORD ListenForControls(const char *name, DescriptorGuard *listenFd) {
    DescriptorGuard fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return LastErrnoAsWin32();
    struct sockaddr_un address;
    socklen_t length;
    ControlSocketAddress(name, getpid(), &address, &length);
    if (bind(fd.Get(), (struct sockaddr *)&address, length) != 0 || listen(fd.Get(), 8) != 0)
        return LastErrnoAsWin32();
    listenFd->Reset(fd.Release());
    return 0;
}

static DWORD StartServiceMainThread(LPSERVICE_MAIN_FUNCTIONA proc, const char *name, pthread_t *thread) {
    ServiceMainStart *start = new ServiceMainStart{proc, name, {nullptr, nullptr}};
    if (pthread_create(thread, nullptr, RunServiceMain, start) != 0) {
        delete start;
        return ERROR_SERVICE_NO_THREAD;
    }
    return 0;
}

/* Windows returns from the dispatcher once the service stopped; ServiceMain
 * normally returns right after its STOPPED report, so wait for it a little. */
static void AwaitServiceMain(pthread_t thread) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kServiceMainGraceSeconds;
    if (pthread_timedjoin_np(thread, nullptr, &deadline) != 0) pthread_detach(thread);
}

/* SIGTERM, on a thread of its own: the machine's shutdown for this service;
 * when that has not stopped it, the process ends as the signal would end it. */
static void ShutDownThisService(void) {
    if (shutdownBegun.exchange(true)) return;
    std::string name;
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        name = dispatcher.name;
    }
    if (ShutDownServices({name}) == 0) return;
    EndProcessBySystemShutdown();
}

/* The wake pipe closes under the dispatcher's lock: SetServiceStatus writes
 * to it under that lock. */
static void EndDispatcher(DescriptorGuard *listenFd, DescriptorGuard *wakeRead, DescriptorGuard *wakeWrite) {
    ReleaseConsoleEventsOfService();
    listenFd->Reset();
    std::lock_guard<std::mutex> guard(dispatcher.lock);
    dispatcher.active = false;
    dispatcher.wakeFd = -1;
    wakeRead->Reset();
    wakeWrite->Reset();
}

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *lpServiceStartTable) {
    if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceProc) return FailWith(ERROR_INVALID_PARAMETER);
    const char *name = getenv(SERVICE_NAME_VARIABLE);
    if (!name || !*name) return FailWith(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        if (dispatcher.active) return FailWith(ERROR_SERVICE_ALREADY_RUNNING);
        dispatcher.active = true;
    }
    DescriptorGuard listenFd, wakeRead, wakeWrite;
    DWORD code = CheckServiceStartRecord(name, getpid());
    if (!code) code = ListenForControls(name, &listenFd);
    if (!code) code = OpenPipeEnds(&wakeRead, &wakeWrite, 0);
    if (!code) {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        dispatcher.name = name;
        dispatcher.handler = nullptr;
        dispatcher.handlerEx = nullptr;
        dispatcher.status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
        dispatcher.wakeFd = wakeWrite.Get();
    }
    if (!code) code = MarkDispatcherConnected(name, getpid());
    /* Without the claim a SIGTERM ends the process at once, as it did before. */
    if (!code) ClaimConsoleEventsForService(ShutDownThisService);
    pthread_t thread;
    if (!code) code = StartServiceMainThread(lpServiceStartTable[0].lpServiceProc, name, &thread);
    if (!code) code = ServeControls(listenFd.Get(), wakeRead.Get());
    if (!code) AwaitServiceMain(thread);
    EndDispatcher(&listenFd, &wakeRead, &wakeWrite);
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}

static SERVICE_STATUS_HANDLE RegisterHandler(LPCSTR name, LPHANDLER_FUNCTION handler, LPHANDLER_FUNCTION_EX handlerEx,
                                             LPVOID context) {
    if (!handler && !handlerEx) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(dispatcher.lock);
    if (!dispatcher.active || !name || strcasecmp(name, dispatcher.name.c_str()) != 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    dispatcher.handler = handler;
    dispatcher.handlerEx = handlerEx;
    dispatcher.context = context;
    SetLastError(0);
    return StatusHandle();
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) {
    return RegisterHandler(lpServiceName, lpHandlerProc, nullptr, nullptr);
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext) {
    return RegisterHandler(lpServiceName, nullptr, lpHandlerProc, lpContext);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
    std::string name;
    {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        if (hServiceStatus != StatusHandle() || dispatcher.name.empty()) return FailWith(ERROR_INVALID_HANDLE);
        if (!lpServiceStatus) return FailWith(ERROR_INVALID_PARAMETER);
        DWORD state = lpServiceStatus->dwCurrentState;
        if (state < SERVICE_STOPPED || state > SERVICE_PAUSED) return FailWith(ERROR_INVALID_DATA);
        dispatcher.status = *lpServiceStatus;
        name = dispatcher.name;
    }
    bool deletePending = false;
    DWORD code = StoreServiceStatus(name.c_str(), getpid(), lpServiceStatus, &deletePending);
    if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED) {
        if (!code && deletePending) code = RemoveServiceEntry(name.c_str());
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        if (dispatcher.wakeFd >= 0) RetryOnInterrupt([&] { return write(dispatcher.wakeFd, "s", 1); });
    }
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}
