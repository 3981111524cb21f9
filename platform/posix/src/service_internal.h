/*
 * The service controller without a daemon: what the console side
 * (service_control.cpp) and the service process side (service_dispatcher.cpp)
 * share.
 *
 * The service database is the registry's Services key. The runtime state of
 * each service is one row of the service_runtime table in machine.db (the view
 * service_status shows it). A row whose state is not STOPPED belongs to the
 * recorded process (pid plus its start time, against pid reuse); when that
 * process has vanished, the next look stores STOPPED with
 * ERROR_PROCESS_ABORTED and carries out a pending deletion.
 *
 * The dispatcher of a started service listens on an abstract AF_UNIX socket
 * whose name is derived from the root, the service name and its pid. A control
 * request is one ControlRequest; the reply one ControlReply with the status
 * after the handler ran.
 */
#ifndef PELORIM_POSIX_SERVICE_INTERNAL_H
#define PELORIM_POSIX_SERVICE_INTERNAL_H

#include <windows.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <vector>

#define SERVICES_KEY_PATH "System\\CurrentControlSet\\Services"
/* The environment variable that tells a started service process its name. */
#define SERVICE_NAME_VARIABLE "PELORIM_SERVICE_NAME"

struct ServiceRuntime {
    bool present = false; /* a row exists */
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    long long pid = 0;
    unsigned long long pidStart = 0; /* start time of pid (clock ticks after boot) */
    bool connected = false;          /* the dispatcher of pid has connected */
    bool deletePending = false;
};

struct ControlRequest {
    DWORD control;
};
struct ControlReply {
    DWORD result;
    SERVICE_STATUS status;
};

/* The runtime row of `name` (present=false without one). A vanished process is
 * corrected to STOPPED/1067 and stored so; a pending deletion is carried out then. */
DWORD LoadServiceRuntime(const char *name, ServiceRuntime *runtime);

/* Stores the status reported by the service process `pid` (nothing when the
 * row belongs to another process); tells whether the service awaits deletion. */
DWORD StoreServiceStatus(const char *name, long long pid, const SERVICE_STATUS *status,
                         bool *deletePending);

/* The dispatcher of `pid` connects: ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
 * unless the controller is starting `name` as exactly this process. */
DWORD CheckServiceStartRecord(const char *name, long long pid);
DWORD MarkDispatcherConnected(const char *name, long long pid);

/* Removes the service's whole key tree and its runtime row. */
DWORD RemoveServiceEntry(const char *name);

/* The start time of `pid` (field 22 of /proc/<pid>/stat); 0 when the process
 * is gone or a zombie. */
unsigned long long ProcessStartTime(long long pid);

/* Delivers `control` to the dispatcher of `name` running as `pid` and waits
 * for its reply; *delivered tells whether the dispatcher took the request. */
DWORD SendControl(const char *name, long long pid, DWORD control, ControlReply *reply, bool *delivered);

/* The service's PreshutdownTimeout value, or the default when it has none. */
DWORD ReadPreshutdownTimeout(const char *name, DWORD *timeout);

/* The machine's shutdown for the services named (those not running are passed
 * over), as InitiateSystemShutdownExA does it, short of ending the rest: 0
 * when every one of them has stopped, else 1. */
DWORD ShutDownServices(const std::vector<std::string> &names);

unsigned long long MonotonicMs();
void SleepMs(DWORD milliseconds);

/* The control socket address of the dispatcher of `name` running as `pid`. */
void ControlSocketAddress(const char *name, long long pid, struct sockaddr_un *address,
                          socklen_t *length);

#endif
