#include "config/params.h"

#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "log/log.h"

constexpr StoredParameter storedParameters[PARAMETER_COUNT] = {
    {PARAMETER_ENVIRONMENT, "Environment", REG_MULTI_SZ, 0},
    {PARAMETER_DESCRIPTION, "Description", REG_SZ, 0},
    {PARAMETER_CURRENT_DIRECTORY, "CurrentDirectory", REG_SZ, 0},
    {PARAMETER_STARTUP_METHOD, "StartupMethod", REG_SZ, 0},
    {PARAMETER_SHUTDOWN_METHOD, "ShutdownMethod", REG_SZ, 0},
    {PARAMETER_SHUTDOWN_COMMAND, "ShutdownCommand", REG_SZ, 0},
    {PARAMETER_PRIORITY, "Priority", REG_DWORD, 0},
    /* The limit of a start and of a stop, in ms. */
    {PARAMETER_TIMEOUT, "Timeout", REG_DWORD, 30000},
    {PARAMETER_DEBUG_LEVEL, "DebugLevel", REG_DWORD, 0},
    {PARAMETER_LOG_FILE, "LogFile", REG_SZ, 0},
    /* Bytes past which the log file is rotated; 0: never. */
    {PARAMETER_LOG_MAX_SIZE, "LogMaxSize", REG_DWORD, 0},
    /* Rotated files kept beside the log file. */
    {PARAMETER_LOG_KEEP, "LogKeep", REG_DWORD, 5},
    {PARAMETER_EVENT_LOGGING, "EventLogging", REG_DWORD, 1},
    {PARAMETER_CREATE_PROCESS, "CreateProcess", REG_DWORD, 0},
    {PARAMETER_JAVA_HOME, "JavaHome", REG_SZ, 0},
    {PARAMETER_JVM_TYPE, "JVMType", REG_SZ, 0},
    {PARAMETER_JNI_LIBRARY, "JNILibrary", REG_SZ, 0},
    {PARAMETER_JAVA_OPTIONS, "JavaOptions", REG_MULTI_SZ, 0},
    {PARAMETER_JAVA_MAIN_CLASS, "JavaMainClass", REG_SZ, 0},
    {PARAMETER_JAVA_ARCHIVE, "JavaArchive", REG_SZ, 0},
    {PARAMETER_JAVA_ARGS, "JavaArgs", REG_MULTI_SZ, 0},
};

static constexpr bool RowsFollowTheirIds(void) {
    for (int id = 0; id < PARAMETER_COUNT; id++)
        if (storedParameters[id].id != id) return false;
    return true;
}
static_assert(RowsFollowTheirIds(), "storedParameters must list the values in the order of their ids");

int ReadDetachedParameter(void) { return ReadDwordParameter(PARAMETER_CREATE_PROCESS) == 1; }

char *FormatParameterKeyPath(void) {
    return FormatText("System\\CurrentControlSet\\Services\\%s", settings.serviceName);
}

/* Opens the service's key; on failure logs the open and returns the status. */
static LONG OpenParameterKey(const char *keyPath, REGSAM access, HKEY *key) {
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, access, key);
    if (status != ERROR_SUCCESS) {
        TextGuard failure(FormatSystemError("RegOpenKeyEx", static_cast<DWORD>(status)));
        LogFormatted(LOG_WARNING, "%s\r\n\t%s", failure.Get(), keyPath);
    }
    return status;
}

static void LogValueFailure(const char *call, LONG status, const char *keyPath, const char *name) {
    TextGuard failure(FormatSystemError(call, static_cast<DWORD>(status)));
    LogFormatted(LOG_WARNING, "%s\r\n\t%s\\%s", failure.Get(), keyPath, name);
}

int WriteParameter(ParameterId id, const void *data, DWORD size) {
    const char *name = storedParameters[id].name;
    TextGuard keyPath(FormatParameterKeyPath());
    KeyGuard key;
    if (OpenParameterKey(keyPath.Get(), KEY_SET_VALUE, key.Out()) != ERROR_SUCCESS) return 1;
    LONG status =
        RegSetValueExA(key.Get(), name, 0, storedParameters[id].type, static_cast<const BYTE *>(data), size);
    if (status != ERROR_SUCCESS) {
        LogValueFailure("RegSetValueEx", status, keyPath.Get(), name);
        return 1;
    }
    return 0;
}

/* A status of 0 with the wrong type or size still fails; its text then
 * takes the thread's last error. */
int ReadParameter(ParameterId id, void *buffer, DWORD capacity) {
    const char *name = storedParameters[id].name;
    TextGuard keyPath(FormatParameterKeyPath());
    KeyGuard key;
    if (OpenParameterKey(keyPath.Get(), KEY_READ, key.Out()) != ERROR_SUCCESS) return 1;
    DWORD type = REG_NONE;
    DWORD size = capacity;
    LONG status = RegQueryValueExA(key.Get(), name, nullptr, &type, static_cast<BYTE *>(buffer), &size);
    if (status != ERROR_SUCCESS || type != storedParameters[id].type || size > capacity) {
        LogValueFailure("RegQueryValueEx", status, keyPath.Get(), name);
        return 1;
    }
    return 0;
}

LONG ReadDwordParameter(ParameterId id) {
    const char *name = storedParameters[id].name;
    LONG defaultValue = storedParameters[id].defaultValue;
    TextGuard keyPath(FormatParameterKeyPath());
    KeyGuard key;
    if (OpenParameterKey(keyPath.Get(), KEY_READ, key.Out()) == ERROR_SUCCESS) {
        DWORD value = 0;
        DWORD type = REG_NONE;
        DWORD size = sizeof value;
        LONG status = RegQueryValueExA(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
        if (status == ERROR_SUCCESS && type == REG_DWORD && size <= sizeof value) return static_cast<LONG>(value);
        LogValueFailure("RegQueryValueEx", status, keyPath.Get(), name);
    }
    LogFormatted(LOG_INFO, MSG_VALUE_NOT_SPECIFIED, name, static_cast<int>(defaultValue));
    return defaultValue;
}

int ParameterExists(ParameterId id) {
    const char *name = storedParameters[id].name;
    TextGuard keyPath(FormatParameterKeyPath());
    KeyGuard key;
    if (OpenParameterKey(keyPath.Get(), KEY_READ, key.Out()) != ERROR_SUCCESS) return 0;
    return RegQueryValueExA(key.Get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

char *ReadStringParameter(ParameterId id) {
    const char *name = storedParameters[id].name;
    TextGuard keyPath(FormatParameterKeyPath());
    KeyGuard key;
    if (OpenParameterKey(keyPath.Get(), KEY_READ, key.Out()) != ERROR_SUCCESS) return nullptr;
    return ReadStringValue(key.Get(), name);
}

static void LogStringReadFailure(LONG status, const char *name) {
    TextGuard failure(FormatSystemError("RegQueryValueEx", static_cast<DWORD>(status)));
    LogFormatted(LOG_WARNING, "%s\r\n\t%s", failure.Get(), name);
}

/* Two zero bytes beyond the stored data terminate a string or a multi-string
 * that another tool stored without its terminators. */
char *ReadStringValue(HKEY key, const char *name) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
        LogStringReadFailure(status, name);
        return nullptr;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) {
        LogFormatted(LOG_WARNING, MSG_VALUE_NOT_STRING, name);
        return nullptr;
    }
    TextGuard buffer(static_cast<char *>(AllocateOrExit(static_cast<size_t>(size) + 2)));
    memset(buffer.Get(), 0, static_cast<size_t>(size) + 2);
    status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer.Get()), &size);
    if (status != ERROR_SUCCESS) {
        LogStringReadFailure(status, name);
        return nullptr;
    }
    return buffer.Release();
}
