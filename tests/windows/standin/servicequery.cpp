/*
 * A tool of the Wine test, built beside the stand-in runtime and never
 * shipped: prints what the Service Control Manager holds of a service that
 * Wine's "sc query" does not show.
 *
 *   servicequery NAME
 *   controls accepted: 0x<hex>
 *   preshutdown timeout: <milliseconds>
 *
 * Exits 1, after the failing call and its code, when a query fails.
 */
#include <windows.h>
#include <stdio.h>

static int Fail(const char *call) {
    printf("%s failed: %lu\n", call, (unsigned long)GetLastError());
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: servicequery NAME\n");
        return 8;
    }
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) return Fail("OpenSCManager");
    SC_HANDLE service = OpenServiceA(manager, argv[1], SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (service == NULL) return Fail("OpenService");
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status)) return Fail("QueryServiceStatus");
    printf("controls accepted: 0x%lx\n", (unsigned long)status.dwControlsAccepted);
    SERVICE_PRESHUTDOWN_INFO info;
    DWORD needed = 0;
    if (!QueryServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, (LPBYTE)&info, sizeof info, &needed))
        return Fail("QueryServiceConfig2");
    printf("preshutdown timeout: %lu\n", (unsigned long)info.dwPreshutdownTimeout);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
