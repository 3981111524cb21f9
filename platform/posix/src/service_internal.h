/*
 * The service controller without a daemon: what the console side
 * (service_control.cpp) and the service process side (service_dispatcher.cpp)
 * share.
 *
 * The service database is the registry's Services key. The runtime state of
 * each service is one row of the service_runtime table in machine.db; the view
 * service_status shows it. A service is "live" while its row's state is not
 * STOPPED and the recorded process (pid plus its start time, against pid
 * reuse) still exists; a row whose process vanished reads as STOPPED with
 * ERROR_PROCESS_ABORTED and is corrected on the next look.
 *
 * The dispatcher of a started service listens on an abstract AF_UNIX socket
 * whose name is derived from the root, the service name and its pid; a control
 * request is one DWORD, the reply a DWORD result and the SERVICE_STATUS after
 * the handler ran.
 */
#ifndef PELORIM_POSIX_SERVICE_INTERNAL_H
#define PELORIM_POSIX_SERVICE_INTERNAL_H

#include <windows.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#define SERVICES_KEY_PATH "System\\CurrentControlSet\\Services"
/* Longest service name the controller takes (Windows: 256). */
#define SERVICE_NAME_LIMIT 256

struct ServiceRuntime {
    bool present = false;   /* a row exists */
    SERVICE_STATUS status = {};
    long long pid = 0;
    unsigned long long pidStart = 0; /* start time of pid, clock ticks after boot */
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

/* 0 when `name` can name a service: not empty, no "/" or "\", not too long; else ERROR_INVALID_NAME. */
DWORD CheckServiceName(const char *name);

/* "System\CurrentControlSet\Services\<name>" (relative to HKEY_LOCAL_MACHINE). */
std::string ServiceKeyPath(const char *name);

/* Whether the service's key exists: 0, ERROR_SERVICE_DOES_NOT_EXIST, or another code. */
DWORD CheckServiceKey(const char *name);

/* The runtime row of `name` (present=false without one), with a vanished process
 * corrected to STOPPED/1067 and stored so; a pending deletion is carried out then. */
DWORD LoadServiceRuntime(const char *name, ServiceRuntime *runtime);

/* Removes the service's whole key tree and its runtime row. */
DWORD RemoveServiceEntry(const char *name);

/* The start time of `pid` (field 22 of /proc/<pid>/stat), 0 when the process is
 * gone or a zombie. */
unsigned long long ProcessStartTime(long long pid);

/* The control socket address of the dispatcher of `name` running as `pid`. */
void ControlSocketAddress(const char *name, long long pid, struct sockaddr_un *address,
                          socklen_t *length);

/* Runs `sql` with text parameter ?1 = name, and integer parameters ?2... on an
 * open connection; the helpers below are each one short transaction. */
DWORD StoreServiceStatus(const char *name, long long pid, const SERVICE_STATUS *status,
                         bool *deletePending);
DWORD MarkDispatcherConnected(const char *name, long long pid);

#endif
