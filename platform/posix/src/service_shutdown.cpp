/*
 * The machine's shutdown, as the service controller carries it out on
 * Windows: PRESHUTDOWN to the services that accept it, within their
 * preshutdown time-outs; then SHUTDOWN to those that accept that, in the
 * order of the service database, within WaitToKillServiceTimeout; then the
 * rest are ended. A service that took PRESHUTDOWN is stop pending or stopped
 * by then, and so takes no SHUTDOWN, as Microsoft documents.
 *
 * InitiateSystemShutdownExA runs it for every service of the root; the
 * dispatcher of a service process runs it for its own service on SIGTERM
 * (service_dispatcher.cpp).
 */
#include "service_internal.h"

#include "errors.h"

#include <signal.h>
#include <stdlib.h>

/* How often the services' states are looked at while they stop. */
static const DWORD kShutdownPollMs = 20;
/* What the controller waits for SHUTDOWN without a WaitToKillServiceTimeout value. */
static const DWORD kDefaultWaitToKillMs = 20000;
/* How long a killed service process is given to be seen as ended. */
static const DWORD kKilledEndMs = 5000;

namespace {
/* A service told of the shutdown, and when the wait for it ends. */
struct Notified {
    std::string name;
    unsigned long long deadline;
};
} // namespace

static bool IsStopped(const char *name) {
    ServiceRuntime runtime;
    if (LoadServiceRuntime(name, &runtime) != 0) return false;
    return runtime.status.dwCurrentState == SERVICE_STOPPED;
}

/* Whether the running service takes `control` (SERVICE_ACCEPT_* `bit`) now. */
static bool TakesControl(const char *name, DWORD bit, ServiceRuntime *runtime) {
    if (LoadServiceRuntime(name, runtime) != 0 || !runtime->present || !runtime->connected) return false;
    DWORD state = runtime->status.dwCurrentState;
    if (state == SERVICE_STOPPED || state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) return false;
    return (runtime->status.dwControlsAccepted & bit) != 0;
}

static unsigned long long PreshutdownDeadline(const char *name) {
    DWORD timeout = 0;
    ReadPreshutdownTimeout(name, &timeout);
    return MonotonicMs() + timeout;
}

/* Sends `control` to each service that takes it; a service that cannot be
 * reached is left to the end of the shutdown. With PRESHUTDOWN, a service that
 * is stopping already is awaited as one that took it. */
static std::vector<Notified> Notify(const std::vector<std::string> &names, DWORD control, DWORD bit,
                                    unsigned long long commonDeadline) {
    bool preshutdown = control == SERVICE_CONTROL_PRESHUTDOWN;
    std::vector<Notified> notified;
    for (const std::string &name : names) {
        ServiceRuntime runtime;
        if (!TakesControl(name.c_str(), bit, &runtime)) {
            if (preshutdown && runtime.present && runtime.status.dwCurrentState == SERVICE_STOP_PENDING)
                notified.push_back({name, PreshutdownDeadline(name.c_str())});
            continue;
        }
        unsigned long long deadline = preshutdown ? PreshutdownDeadline(name.c_str()) : commonDeadline;
        ControlReply reply;
        bool delivered = false;
        SendControl(name.c_str(), runtime.pid, control, &reply, &delivered);
        if (delivered) notified.push_back({name, deadline});
    }
    return notified;
}

/* Until each notified service has stopped or its wait has ended. */
static void AwaitStopped(std::vector<Notified> notified) {
    while (!notified.empty()) {
        unsigned long long now = MonotonicMs();
        for (size_t i = notified.size(); i-- > 0;) {
            if (now >= notified[i].deadline || IsStopped(notified[i].name.c_str()))
                notified.erase(notified.begin() + (long)i);
        }
        if (!notified.empty()) SleepMs(kShutdownPollMs);
    }
}

static DWORD WaitToKillServiceTimeout() {
    HKEY control = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control", 0, KEY_QUERY_VALUE, &control) !=
        ERROR_SUCCESS)
        return kDefaultWaitToKillMs;
    char text[32] = "";
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    LONG status = RegQueryValueExA(control, "WaitToKillServiceTimeout", nullptr, &type, (BYTE *)text, &size);
    RegCloseKey(control);
    if (status != ERROR_SUCCESS || type != REG_SZ) return kDefaultWaitToKillMs;
    char *end = nullptr;
    unsigned long value = strtoul(text, &end, 10);
    return end == text ? kDefaultWaitToKillMs : (DWORD)value;
}

DWORD ShutDownServices(const std::vector<std::string> &names) {
    AwaitStopped(Notify(names, SERVICE_CONTROL_PRESHUTDOWN, SERVICE_ACCEPT_PRESHUTDOWN, 0));
    unsigned long long shutdownDeadline = MonotonicMs() + WaitToKillServiceTimeout();
    AwaitStopped(Notify(names, SERVICE_CONTROL_SHUTDOWN, SERVICE_ACCEPT_SHUTDOWN, shutdownDeadline));
    for (const std::string &name : names) {
        ServiceRuntime runtime;
        if (LoadServiceRuntime(name.c_str(), &runtime) == 0 && runtime.present &&
            runtime.status.dwCurrentState != SERVICE_STOPPED)
            return 1;
    }
    return 0;
}

/* Every service of the root, in the order of the service database. */
static std::vector<std::string> ServiceNames() {
    std::vector<std::string> names;
    HKEY services = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICES_KEY_PATH, 0, KEY_READ, &services) != ERROR_SUCCESS) return names;
    for (DWORD index = 0;; index++) {
        char name[MAX_PATH];
        if (RegEnumKeyA(services, index, name, sizeof name) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    RegCloseKey(services);
    return names;
}

/* Kills the process of each service still running and waits a moment for
 * its end to be seen (the controller records 1067 for it). */
static void EndRemainingServices(const std::vector<std::string> &names) {
    std::vector<Notified> killed;
    unsigned long long deadline = MonotonicMs() + kKilledEndMs;
    for (const std::string &name : names) {
        ServiceRuntime runtime;
        if (LoadServiceRuntime(name.c_str(), &runtime) != 0 || !runtime.present ||
            runtime.status.dwCurrentState == SERVICE_STOPPED || runtime.pid <= 0)
            continue;
        if (ProcessStartTime(runtime.pid) != runtime.pidStart) continue;
        kill((pid_t)runtime.pid, SIGKILL);
        killed.push_back({name, deadline});
    }
    AwaitStopped(killed);
}

BOOL WINAPI InitiateSystemShutdownExA(LPSTR lpMachineName, LPSTR lpMessage, DWORD dwTimeout, BOOL bForceAppsClosed,
                                      BOOL bRebootAfterShutdown, DWORD dwReason) {
    (void)lpMessage, (void)bForceAppsClosed, (void)bRebootAfterShutdown, (void)dwReason;
    if (lpMachineName && *lpMachineName) return FailWith(ERROR_NOT_SUPPORTED);
    if (dwTimeout > 0) SleepMs(dwTimeout * 1000);
    std::vector<std::string> names = ServiceNames();
    if (ShutDownServices(names) != 0) EndRemainingServices(names);
    SetLastError(0);
    return TRUE;
}
