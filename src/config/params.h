/* The service's parameter values under System\CurrentControlSet\Services\<name>,
 * and the event-log source registration. */
#ifndef PELORIM_PARAMS_H
#define PELORIM_PARAMS_H

#include <windows.h>

/* The values a service keeps under its key, by the id that names each. */
enum ParameterId {
    PARAMETER_ENVIRONMENT,
    PARAMETER_DESCRIPTION,
    PARAMETER_CURRENT_DIRECTORY,
    PARAMETER_STARTUP_METHOD,
    PARAMETER_SHUTDOWN_METHOD,
    PARAMETER_SHUTDOWN_COMMAND,
    PARAMETER_PRIORITY,
    PARAMETER_TIMEOUT,
    PARAMETER_DEBUG_LEVEL,
    PARAMETER_LOG_FILE,
    PARAMETER_LOG_MAX_SIZE,
    PARAMETER_LOG_KEEP,
    PARAMETER_EVENT_LOGGING,
    PARAMETER_CREATE_PROCESS,
    PARAMETER_JAVA_HOME,
    PARAMETER_JVM_TYPE,
    PARAMETER_JNI_LIBRARY,
    PARAMETER_JAVA_OPTIONS,
    PARAMETER_JAVA_MAIN_CLASS,
    PARAMETER_JAVA_ARCHIVE,
    PARAMETER_JAVA_ARGS,
    PARAMETER_COUNT
};

/* A value's name, its registry type (REG_SZ, REG_MULTI_SZ or REG_DWORD) and,
 * for a number, what a reader takes when it is not stored. The type picks the
 * reader: ReadDwordParameter for a number, ReadStringParameter for text. */
struct StoredParameter {
    ParameterId id;
    const char *name;
    DWORD type;
    LONG defaultValue;
};
/* The one table of the stored values, in the order of their ids. */
extern const StoredParameter storedParameters[PARAMETER_COUNT];

/* A value is named by its id; its name, type and default come from the table.
 * Each opens the service's key (never creating it) and logs its own failure.
 * Writes with the table's type: 0 or 1. */
int WriteParameter(ParameterId id, const void *data, DWORD size);
/* 0 or 1; fixed-size read into the caller's buffer, of the table's type only. */
int ReadParameter(ParameterId id, void *buffer, DWORD capacity);
/* The stored number, or the table's default (logged at Info). */
LONG ReadDwordParameter(ParameterId id);
/* Owned text (the caller frees it) or NULL. */
char *ReadStringParameter(ParameterId id);
/* 1 when the value is stored, whatever its type; else 0. */
int ParameterExists(ParameterId id);
/* 1 when the service hosts its JVM in a detached child (CreateProcess stored
 * as 1); any other value, or none, hosts it in the service process. */
int ReadDetachedParameter(void);

/* "System\CurrentControlSet\Services\<serviceName>"; the caller frees it. */
char *FormatParameterKeyPath(void);
/* Owned buffer of the value's bytes, always NUL-terminated twice past the
 * stored data so that a value stored without its terminators reads safely;
 * or NULL. Works on a key the caller opened and closes. */
char *ReadStringValue(HKEY key, const char *name);

/* "S-1-5-80-..." of "NT SERVICE\<name>"; the caller frees it. */
char *FormatServiceSid(const char *serviceName);
/* Closes the service's key to all but SYSTEM, Administrators and the service
 * itself; 0, or 1 after an Error message. */
int ProtectServiceKey(void);

/* Registers the event-log source of serviceName; 0 or 1. */
int RegisterEventLogSource(void);

#endif
