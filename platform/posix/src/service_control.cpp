/*
 * Controls and status: ControlService delivers a control to the service's
 * dispatcher over its control socket, an abstract AF_UNIX socket of the
 * service process, and QueryServiceStatus reads the status the service
 * stored. There is no controller daemon: each call looks at the runtime row
 * (service_runtime.cpp) itself, and so sees a vanished service process as
 * stopped.
 */
#include "service_internal.h"

#include "descriptor.h"
#include "errors.h"
#include "service_database.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

static const DWORD kControlTimeoutMs = 30000;

/* ------------------------------------------------------------ control socket */

void ControlSocketAddress(const char *name, long long pid, struct sockaddr_un *address, socklen_t *length) {
    /* FNV-1a over the root and the lower-cased name: one abstract socket per
     * service process, whatever the lengths of root and name. */
    unsigned long long hash = 14695981039346656037ull;
    std::string root = ResolvedRoot();
    for (const char *p = root.c_str();; p++) {
        hash = (hash ^ (unsigned char)*p) * 1099511628211ull;
        if (!*p) break;
    }
    for (const char *p = name; *p; p++) {
        unsigned char c = (unsigned char)*p;
        if (c >= 'A' && c <= 'Z') c = (unsigned char)(c - 'A' + 'a');
        hash = (hash ^ c) * 1099511628211ull;
    }
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    int size = snprintf(address->sun_path + 1, sizeof address->sun_path - 1, "pelorim/service/%016llx/%lld", hash, pid);
    *length = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + size);
}

static DWORD WriteAll(int fd, const void *data, size_t size) {
    const char *p = (const char *)data;
    while (size > 0) {
        ssize_t done = RetryOnInterrupt([&] { return send(fd, p, size, MSG_NOSIGNAL); });
        if (done < 0) return LastErrnoAsWin32();
        p += done;
        size -= (size_t)done;
    }
    return 0;
}

/* Reads exactly `size` bytes: 0, ERROR_BROKEN_PIPE at end of stream,
 * ERROR_SERVICE_REQUEST_TIMEOUT when the receive time-out passes. */
static DWORD ReadAll(int fd, void *data, size_t size) {
    char *p = (char *)data;
    while (size > 0) {
        ssize_t done = RetryOnInterrupt([&] { return recv(fd, p, size, 0); });
        if (done == 0) return ERROR_BROKEN_PIPE;
        if (done < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? ERROR_SERVICE_REQUEST_TIMEOUT : LastErrnoAsWin32();
        p += done;
        size -= (size_t)done;
    }
    return 0;
}

DWORD SendControl(const char *name, long long pid, DWORD control, ControlReply *reply, bool *delivered) {
    *delivered = false;
    DescriptorGuard fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return LastErrnoAsWin32();
    struct sockaddr_un address;
    socklen_t length;
    ControlSocketAddress(name, pid, &address, &length);
    struct timeval timeout = {kControlTimeoutMs / 1000, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    DWORD code = 0;
    if (RetryOnInterrupt([&] { return connect(fd.Get(), (struct sockaddr *)&address, length); }) != 0)
        code = ERROR_PIPE_NOT_CONNECTED;
    ControlRequest request = {control};
    if (!code) code = WriteAll(fd.Get(), &request, sizeof request);
    if (!code) *delivered = true;
    if (!code) code = ReadAll(fd.Get(), reply, sizeof *reply);
    return code;
}

/* ------------------------------------------------------------ control rules */

static bool IsKnownControl(DWORD control) {
    return (control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_INTERROGATE) ||
           (control >= 128 && control <= 255);
}

static bool AcceptsControl(const SERVICE_STATUS &status, DWORD control) {
    DWORD state = status.dwCurrentState;
    if (state == SERVICE_STOP_PENDING) return false;
    if (control == SERVICE_CONTROL_STOP) return (status.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
    if (state == SERVICE_START_PENDING) return false;
    if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
        return (status.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
    return true;
}

/* The status a service reads as: its row, or STOPPED with its configured type. */
static DWORD CurrentStatus(const char *name, SERVICE_STATUS *status, ServiceRuntime *runtime) {
    DWORD code = LoadServiceRuntime(name, runtime);
    if (code) return code;
    *status = runtime->status;
    if (!runtime->present && runtime->status.dwWin32ExitCode == 0) {
        ServiceConfig config;
        if (ReadServiceConfig(name, &config) == 0) status->dwServiceType = config.type;
    }
    return 0;
}

/* The status after the dispatcher closed its socket: when it had the control,
 * its process is ending, and is given a moment to be seen as ended. */
static DWORD AwaitEndAfterControl(const char *name, bool delivered, SERVICE_STATUS *status,
                                  ServiceRuntime *runtime) {
    unsigned long long deadline = MonotonicMs() + (delivered ? 2000 : 0);
    for (;;) {
        DWORD code = CurrentStatus(name, status, runtime);
        if (code || status->dwCurrentState == SERVICE_STOPPED || MonotonicMs() >= deadline) return code;
        SleepMs(kServicePollIntervalMs);
    }
}

static DWORD ControlServiceByName(const char *name, DWORD control, SERVICE_STATUS *status) {
    ServiceRuntime runtime;
    DWORD code = CurrentStatus(name, status, &runtime);
    if (code) return code;
    if (status->dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (!AcceptsControl(*status, control) || !runtime.connected) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    ControlReply reply;
    bool delivered = false;
    code = SendControl(name, runtime.pid, control, &reply, &delivered);
    if (code == ERROR_SERVICE_REQUEST_TIMEOUT) return code;
    if (code) {
        /* The dispatcher went away: the process stopped or vanished meanwhile.
         * One that took the control and ended before its reply (a handler
         * that ends the process) has been stopped by it. */
        DWORD reload = AwaitEndAfterControl(name, delivered, status, &runtime);
        if (reload) return reload;
        if (status->dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        return delivered ? 0 : ERROR_SERVICE_NOT_ACTIVE;
    }
    *status = reply.status;
    return reply.result;
}

/* --------------------------------------------------------------- the API */

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    std::string name;
    if (!IsServiceHandle(hService, &name)) return FailWith(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus) return FailWith(ERROR_INVALID_PARAMETER);
    if (!IsKnownControl(dwControl)) return FailWith(ERROR_INVALID_SERVICE_CONTROL);
    SERVICE_STATUS status;
    DWORD code = ControlServiceByName(name.c_str(), dwControl, &status);
    if (!code || code == ERROR_SERVICE_NOT_ACTIVE || code == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
        *lpServiceStatus = status;
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    std::string name;
    if (!IsServiceHandle(hService, &name)) return FailWith(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus) return FailWith(ERROR_INVALID_PARAMETER);
    ServiceRuntime runtime;
    DWORD code = CurrentStatus(name.c_str(), lpServiceStatus, &runtime);
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}
