/*
 * The service controller without a daemon: what its parts share. The console
 * side is the service database (service_database.cpp, service_database.h),
 * the launch of a service process (service_launch.cpp) and the controls with
 * the status they read (service_control.cpp); the service process side is the
 * dispatcher (service_dispatcher.cpp); the runtime rows below
 * (service_runtime.cpp) are what both sides read and write.
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

/* How often a wait of the controller looks at the runtime rows again. */
const DWORD kServicePollIntervalMs = 10;

/* The service's key under the Services key. */
inline std::string ServiceKeyPath(const char *name) { return std::string(SERVICES_KEY_PATH "\\") + name; }

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

/* 0 when machine.db, which holds the runtime rows, can be used; else why not
 * (MachineDbOpenError). */
DWORD CheckMachineDbOpens(void);

/* The runtime row as stored, without looking at its process. */
DWORD ReadServiceRuntime(const char *name, ServiceRuntime *runtime);

/* A fresh STOPPED row for a newly created service (replacing any leftover). */
DWORD ResetServiceRuntime(const char *name, DWORD serviceType);

/* Takes the service from STOPPED to START_PENDING on behalf of the calling
 * process: 0, ERROR_SERVICE_ALREADY_RUNNING or ERROR_SERVICE_MARKED_FOR_DELETE. */
DWORD ClaimServiceStart(const char *name, DWORD serviceType);

/* The start record passes from the starting console to the service process. */
DWORD RecordServiceProcess(const char *name, long long pid, unsigned long long pidStart);

/* A start that did not reach the dispatcher: STOPPED with `exitCode`, and the
 * process `pid` loses its start record (a late dispatcher then fails with 1063).
 * A deletion requested meanwhile is carried out. */
DWORD StoreFailedStart(const char *name, long long pid, DWORD exitCode);

/* Marks a live service for deletion: *marked is false when it stopped meanwhile. */
DWORD MarkForDeletion(const char *name, bool *marked);

/* The start time of `pid` (field 22 of /proc/<pid>/stat); 0 when the process
 * is gone or a zombie. */
unsigned long long ProcessStartTime(long long pid);

/* Whether the process recorded as `pid` started at `pidStart` is gone. */
bool ProcessVanished(long long pid, unsigned long long pidStart);

/* The root as every process of it names it (links resolved). */
std::string ResolvedRoot(void);

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
