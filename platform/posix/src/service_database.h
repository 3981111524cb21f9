/*
 * The service database: each service a key under the registry's Services key
 * (service_internal.h), and the handles OpenSCManagerA, CreateServiceA and
 * OpenServiceA give out. What the other parts of the controller read of it.
 */
#ifndef PELORIM_POSIX_SERVICE_DATABASE_H
#define PELORIM_POSIX_SERVICE_DATABASE_H

#include <windows.h>

#include <string>
#include <vector>

/* A service's values as the controller reads them; a value that is absent
 * keeps the default here (the display name defaults to the service's name). */
struct ServiceConfig {
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    DWORD start = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::string imagePath;
    std::string displayName;
    std::string objectName;
    std::vector<std::string> dependencies;
};

/* 0, or ERROR_INVALID_NAME for a name Windows refuses. */
DWORD CheckServiceName(const char *name);

/* 0 when the key exists, ERROR_SERVICE_DOES_NOT_EXIST when not, else the registry's code. */
DWORD CheckServiceKey(const char *name);

/* The service's values: 0, ERROR_SERVICE_DOES_NOT_EXIST, or the registry's code. */
DWORD ReadServiceConfig(const char *name, ServiceConfig *config);

/* Whether `handle` is an open service handle; *name gets its service's name. */
bool IsServiceHandle(SC_HANDLE handle, std::string *name);

#endif
