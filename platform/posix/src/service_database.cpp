/*
 * The service database: each service a key under the registry's Services key
 * (ImagePath, Type, Start, ErrorControl, DisplayName, DependOnService,
 * ObjectName, and what ChangeServiceConfig2A keeps), created, read, changed
 * and deleted here, and the handles of the service controller. A service that
 * runs is deleted when it stops: its runtime row (service_runtime.cpp) marks it
 * until then.
 */
#include "service_database.h"

#include "errors.h"
#include "root.h"
#include "service_internal.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

/* Windows limits service and display names to 256 characters. */
static const size_t kServiceNameLimit = 256;
/* What current Windows waits for a service that takes PRESHUTDOWN and has no time-out of its own. */
static const DWORD kDefaultPreshutdownTimeoutMs = 10000;

namespace {
class OpenKey {
  public:
    OpenKey() = default;
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    OpenKey(const OpenKey &) = delete;
    OpenKey &operator=(const OpenKey &) = delete;
    HKEY *Out() { return &key_; }
    HKEY Get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

} // namespace

DWORD CheckServiceName(const char *name) {
    if (!name || !*name || strlen(name) > kServiceNameLimit) return ERROR_INVALID_NAME;
    if (strchr(name, '/') || strchr(name, '\\')) return ERROR_INVALID_NAME;
    return 0;
}

DWORD CheckServiceKey(const char *name) {
    OpenKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, KEY_QUERY_VALUE, key.Out());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
    return (DWORD)status;
}

/* The value's bytes and type; ERROR_FILE_NOT_FOUND when it does not exist. */
static DWORD ReadValue(HKEY key, const char *valueName, DWORD *type, std::string *data) {
    for (;;) {
        DWORD size = 0;
        LONG status = RegQueryValueExA(key, valueName, nullptr, type, nullptr, &size);
        if (status != ERROR_SUCCESS) return (DWORD)status;
        data->assign(size, '\0');
        DWORD filled = size;
        status = RegQueryValueExA(key, valueName, nullptr, type, size ? (BYTE *)&(*data)[0] : nullptr, &filled);
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS) return (DWORD)status;
        data->resize(filled);
        return 0;
    }
}

static DWORD ReadDwordValue(HKEY key, const char *valueName, DWORD *value) {
    DWORD type = 0;
    std::string data;
    DWORD code = ReadValue(key, valueName, &type, &data);
    if (code == ERROR_FILE_NOT_FOUND) return 0;
    if (code) return code;
    if (type == REG_DWORD && data.size() == sizeof(DWORD)) memcpy(value, data.data(), sizeof(DWORD));
    return 0;
}

static DWORD ReadTextValue(HKEY key, const char *valueName, std::string *text) {
    DWORD type = 0;
    std::string data;
    DWORD code = ReadValue(key, valueName, &type, &data);
    if (code == ERROR_FILE_NOT_FOUND) return 0;
    if (code) return code;
    size_t end = data.find('\0');
    *text = data.substr(0, end);
    return 0;
}

/* Splits a multi-string (each string ended by a NUL, then one more NUL) of at most `size` bytes. */
static std::vector<std::string> SplitMultiString(const char *bytes, size_t size) {
    std::vector<std::string> strings;
    size_t start = 0;
    while (start < size && bytes[start] != '\0') {
        size_t end = start;
        while (end < size && bytes[end] != '\0') end++;
        strings.emplace_back(bytes + start, end - start);
        start = end + 1;
    }
    return strings;
}

static DWORD ReadMultiStringValue(HKEY key, const char *valueName, std::vector<std::string> *strings) {
    DWORD type = 0;
    std::string data;
    DWORD code = ReadValue(key, valueName, &type, &data);
    if (code == ERROR_FILE_NOT_FOUND) return 0;
    if (code) return code;
    *strings = SplitMultiString(data.data(), data.size());
    return 0;
}

DWORD ReadServiceConfig(const char *name, ServiceConfig *config) {
    OpenKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, KEY_READ, key.Out());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (status != ERROR_SUCCESS) return (DWORD)status;
    config->displayName = name;
    config->objectName = "LocalSystem";
    DWORD code = ReadDwordValue(key.Get(), "Type", &config->type);
    if (!code) code = ReadDwordValue(key.Get(), "Start", &config->start);
    if (!code) code = ReadDwordValue(key.Get(), "ErrorControl", &config->errorControl);
    if (!code) code = ReadTextValue(key.Get(), "ImagePath", &config->imagePath);
    if (!code) code = ReadTextValue(key.Get(), "DisplayName", &config->displayName);
    if (!code) code = ReadTextValue(key.Get(), "ObjectName", &config->objectName);
    if (!code) code = ReadMultiStringValue(key.Get(), "DependOnService", &config->dependencies);
    return code;
}

/* The configuration behind a service handle: a service whose key went away
 * while the handle stayed open is, as on Windows, marked for deletion. */
static DWORD ReadHandleConfig(const char *name, ServiceConfig *config) {
    DWORD code = ReadServiceConfig(name, config);
    return code == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_MARKED_FOR_DELETE : code;
}

/* ERROR_DUPLICATE_SERVICE_NAME when the new display name is another service's
 * name or display name, or the new name another service's display name. */
static DWORD CheckDisplayNameFree(const char *name, const char *displayName) {
    OpenKey services;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICES_KEY_PATH, 0, KEY_READ, services.Out());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return (DWORD)status;
    for (DWORD index = 0;; index++) {
        char other[MAX_PATH];
        status = RegEnumKeyA(services.Get(), index, other, sizeof other);
        if (status == ERROR_NO_MORE_ITEMS) return 0;
        if (status != ERROR_SUCCESS) return (DWORD)status;
        if (strcasecmp(other, name) == 0) continue;
        OpenKey service;
        if (RegOpenKeyExA(services.Get(), other, 0, KEY_READ, service.Out()) != ERROR_SUCCESS) continue;
        std::string otherDisplay = other;
        DWORD code = ReadTextValue(service.Get(), "DisplayName", &otherDisplay);
        if (code) return code;
        if (strcasecmp(displayName, other) == 0 || strcasecmp(displayName, otherDisplay.c_str()) == 0 ||
            strcasecmp(name, otherDisplay.c_str()) == 0)
            return ERROR_DUPLICATE_SERVICE_NAME;
    }
}

static DWORD CheckServiceType(DWORD type, DWORD start, DWORD errorControl) {
    DWORD kind = type & ~(DWORD)SERVICE_INTERACTIVE_PROCESS;
    bool win32 = kind == SERVICE_WIN32_OWN_PROCESS || kind == SERVICE_WIN32_SHARE_PROCESS;
    bool driver = type == SERVICE_KERNEL_DRIVER || type == 0x2;
    if (!win32 && !driver) return ERROR_INVALID_PARAMETER;
    if (start > SERVICE_DISABLED || (win32 && start < SERVICE_AUTO_START)) return ERROR_INVALID_PARAMETER;
    if (errorControl > 3) return ERROR_INVALID_PARAMETER;
    return 0;
}

static size_t MultiStringSize(const char *strings) {
    if (!strings) return 0;
    const char *p = strings;
    while (*p) p += strlen(p) + 1;
    return (size_t)(p - strings) + 1;
}

static DWORD SetDword(HKEY key, const char *valueName, DWORD value) {
    return (DWORD)RegSetValueExA(key, valueName, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}

static DWORD SetText(HKEY key, const char *valueName, DWORD type, const char *text) {
    return (DWORD)RegSetValueExA(key, valueName, 0, type, (const BYTE *)text, (DWORD)strlen(text) + 1);
}

static DWORD WriteServiceValues(HKEY key, const char *displayName, DWORD type, DWORD start, DWORD errorControl,
                                const char *imagePath, const char *dependencies) {
    DWORD code = SetDword(key, "Type", type);
    if (!code) code = SetDword(key, "Start", start);
    if (!code) code = SetDword(key, "ErrorControl", errorControl);
    if (!code) code = SetText(key, "ImagePath", REG_EXPAND_SZ, imagePath);
    if (!code) code = SetText(key, "DisplayName", REG_SZ, displayName);
    if (!code) code = SetText(key, "ObjectName", REG_SZ, "LocalSystem");
    size_t dependencySize = MultiStringSize(dependencies);
    if (!code && dependencySize > 1)
        code = (DWORD)RegSetValueExA(key, "DependOnService", 0, REG_MULTI_SZ, (const BYTE *)dependencies,
                                     (DWORD)dependencySize);
    return code;
}

/* ------------------------------------------------------------ handle records */

namespace {
enum class RecordKind { Manager, Service };
struct ControllerRecord {
    RecordKind kind;
    std::string name;
};
std::mutex recordsLock;
std::set<ControllerRecord *> records;
} // namespace

static SC_HANDLE InsertRecord(RecordKind kind, const char *name) {
    ControllerRecord *record = new ControllerRecord{kind, name ? name : ""};
    std::lock_guard<std::mutex> guard(recordsLock);
    records.insert(record);
    return (SC_HANDLE)record;
}

static bool IsRecordOf(SC_HANDLE handle, RecordKind kind, std::string *name) {
    std::lock_guard<std::mutex> guard(recordsLock);
    auto found = records.find((ControllerRecord *)handle);
    if (found == records.end() || (*found)->kind != kind) return false;
    if (name) *name = (*found)->name;
    return true;
}

bool IsServiceHandle(SC_HANDLE handle, std::string *name) { return IsRecordOf(handle, RecordKind::Service, name); }

/* ----------------------------------------------------------------- creation */

namespace {
struct NewService {
    const char *name;
    const char *displayName;
    DWORD type, start, errorControl;
    const char *imagePath;
    const char *dependencies;
};
} // namespace

/* Everything CreateServiceA refuses before it writes anything. */
static DWORD CheckNewService(const NewService &service) {
    if (CheckServiceName(service.name) || strlen(service.displayName) > kServiceNameLimit) return ERROR_INVALID_NAME;
    if (!service.imagePath || !*service.imagePath) return ERROR_INVALID_PARAMETER;
    DWORD code = CheckServiceType(service.type, service.start, service.errorControl);
    if (code) return code;
    code = CheckServiceKey(service.name);
    if (code == 0) {
        ServiceRuntime runtime;
        code = ReadServiceRuntime(service.name, &runtime);
        if (!code) code = runtime.deletePending ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
        return code;
    }
    if (code != ERROR_SERVICE_DOES_NOT_EXIST) return code;
    return CheckDisplayNameFree(service.name, service.displayName);
}

/* The key with its values and a STOPPED runtime row; nothing is left behind on failure. */
static DWORD AddServiceEntry(const NewService &service) {
    OpenKey key;
    DWORD disposition = 0;
    DWORD code = (DWORD)RegCreateKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(service.name).c_str(), 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.Out(), &disposition);
    if (code) return code;
    if (disposition == REG_OPENED_EXISTING_KEY) return ERROR_SERVICE_EXISTS; /* created meanwhile */
    code = WriteServiceValues(key.Get(), service.displayName, service.type, service.start, service.errorControl,
                              service.imagePath, service.dependencies);
    if (!code) code = ResetServiceRuntime(service.name, service.type);
    if (code) RemoveServiceEntry(service.name);
    return code;
}

/* --------------------------------------------------------------- the API */

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    (void)dwDesiredAccess;
    if (lpMachineName && *lpMachineName) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_NAME);
    if (lpDatabaseName && strcasecmp(lpDatabaseName, "ServicesActive") != 0)
        return (SC_HANDLE)FailWithHandle(ERROR_DATABASE_DOES_NOT_EXIST);
    DWORD code = CheckMachineDbOpens();
    if (code) return (SC_HANDLE)FailWithHandle(code);
    SetLastError(0);
    return InsertRecord(RecordKind::Manager, nullptr);
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCSTR lpDependencies, LPCSTR lpServiceStartName, LPCSTR lpPassword) {
    /* The account is always LocalSystem; there are no load order groups or tags. */
    (void)dwDesiredAccess, (void)lpLoadOrderGroup, (void)lpServiceStartName, (void)lpPassword;
    if (!IsRecordOf(hSCManager, RecordKind::Manager, nullptr)) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_HANDLE);
    if (lpdwTagId) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_PARAMETER);
    const char *displayName = lpDisplayName && *lpDisplayName ? lpDisplayName : lpServiceName;
    NewService service = {lpServiceName, displayName,      dwServiceType, dwStartType,
                          dwErrorControl, lpBinaryPathName, lpDependencies};
    DWORD code = CheckNewService(service);
    if (!code) code = AddServiceEntry(service);
    if (code) return (SC_HANDLE)FailWithHandle(code);
    SetLastError(0);
    return InsertRecord(RecordKind::Service, lpServiceName);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    (void)dwDesiredAccess;
    if (!IsRecordOf(hSCManager, RecordKind::Manager, nullptr)) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_HANDLE);
    if (CheckServiceName(lpServiceName)) return (SC_HANDLE)FailWithHandle(ERROR_INVALID_NAME);
    DWORD code = CheckServiceKey(lpServiceName);
    if (code) return (SC_HANDLE)FailWithHandle(code);
    SetLastError(0);
    return InsertRecord(RecordKind::Service, lpServiceName);
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    DWORD code = CheckServiceKey(name.c_str());
    if (code) return FailWith(code == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_MARKED_FOR_DELETE : code);
    ServiceRuntime runtime;
    code = LoadServiceRuntime(name.c_str(), &runtime);
    if (code) return FailWith(code);
    if (runtime.deletePending) return FailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    bool marked = false;
    if (runtime.present && runtime.status.dwCurrentState != SERVICE_STOPPED) {
        code = MarkForDeletion(name.c_str(), &marked);
        if (code) return FailWith(code);
    }
    if (!marked) code = RemoveServiceEntry(name.c_str());
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig, DWORD cbBufSize,
                                LPDWORD pcbBytesNeeded) {
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    if (!pcbBytesNeeded) return FailWith(ERROR_INVALID_PARAMETER);
    ServiceConfig config;
    DWORD code = ReadHandleConfig(name.c_str(), &config);
    if (code) return FailWith(code);
    std::string dependencies;
    for (const auto &dependency : config.dependencies) dependencies += dependency + '\0';
    dependencies += '\0';
    size_t needed = sizeof(QUERY_SERVICE_CONFIGA) + config.imagePath.size() + 1 + 1 + dependencies.size() +
                    config.objectName.size() + 1 + config.displayName.size() + 1;
    *pcbBytesNeeded = (DWORD)needed;
    if (!lpServiceConfig || cbBufSize < needed) return FailWith(ERROR_INSUFFICIENT_BUFFER);
    char *next = (char *)(lpServiceConfig + 1);
    auto place = [&next](const char *bytes, size_t size) {
        char *start = next;
        memcpy(next, bytes, size);
        next += size;
        return start;
    };
    lpServiceConfig->dwServiceType = config.type;
    lpServiceConfig->dwStartType = config.start;
    lpServiceConfig->dwErrorControl = config.errorControl;
    lpServiceConfig->dwTagId = 0;
    lpServiceConfig->lpBinaryPathName = place(config.imagePath.c_str(), config.imagePath.size() + 1);
    lpServiceConfig->lpLoadOrderGroup = place("", 1);
    lpServiceConfig->lpDependencies = place(dependencies.data(), dependencies.size());
    lpServiceConfig->lpServiceStartName = place(config.objectName.c_str(), config.objectName.size() + 1);
    lpServiceConfig->lpDisplayName = place(config.displayName.c_str(), config.displayName.size() + 1);
    SetLastError(0);
    return TRUE;
}

/* The key of the service behind a handle, opened for `access`; a key gone
 * while the handle stayed open is a service marked for deletion. */
static DWORD OpenHandleKey(const char *name, REGSAM access, OpenKey *key) {
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, access, key->Out());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return ERROR_SERVICE_MARKED_FOR_DELETE;
    return (DWORD)status;
}

DWORD ReadPreshutdownTimeout(const char *name, DWORD *timeout) {
    *timeout = kDefaultPreshutdownTimeoutMs;
    OpenKey key;
    DWORD code = OpenHandleKey(name, KEY_QUERY_VALUE, &key);
    if (!code) code = ReadDwordValue(key.Get(), "PreshutdownTimeout", timeout);
    return code;
}

/* The REG_DWORD that a level of ChangeServiceConfig2A keeps in the service's
 * key, and the value that lpInfo gives it: 0, or ERROR_INVALID_LEVEL or
 * ERROR_INVALID_PARAMETER. */
static DWORD ServiceConfigValue(DWORD level, const void *info, const char **valueName, DWORD *value) {
    switch (level) {
    case SERVICE_CONFIG_SERVICE_SID_INFO:
        *valueName = "ServiceSidType";
        *value = info ? ((const SERVICE_SID_INFO *)info)->dwServiceSidType : 0;
        if (*value != SERVICE_SID_TYPE_NONE && *value != SERVICE_SID_TYPE_UNRESTRICTED &&
            *value != SERVICE_SID_TYPE_RESTRICTED)
            return ERROR_INVALID_PARAMETER;
        return 0;
    case SERVICE_CONFIG_PRESHUTDOWN_INFO:
        *valueName = "PreshutdownTimeout";
        *value = info ? ((const SERVICE_PRESHUTDOWN_INFO *)info)->dwPreshutdownTimeout : 0;
        return 0;
    default:
        return ERROR_INVALID_LEVEL;
    }
}

BOOL WINAPI ChangeServiceConfig2A(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    const char *valueName = nullptr;
    DWORD value = 0;
    DWORD code = ServiceConfigValue(dwInfoLevel, lpInfo, &valueName, &value);
    OpenKey key;
    if (!code) code = OpenHandleKey(name.c_str(), KEY_SET_VALUE, &key);
    if (!code && lpInfo) code = SetDword(key.Get(), valueName, value);
    if (code) return FailWith(code);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI QueryServiceConfig2A(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded) {
    std::string name;
    if (!IsRecordOf(hService, RecordKind::Service, &name)) return FailWith(ERROR_INVALID_HANDLE);
    if (!pcbBytesNeeded) return FailWith(ERROR_INVALID_PARAMETER);
    if (dwInfoLevel != SERVICE_CONFIG_PRESHUTDOWN_INFO) return FailWith(ERROR_INVALID_LEVEL);
    SERVICE_PRESHUTDOWN_INFO info;
    DWORD code = ReadPreshutdownTimeout(name.c_str(), &info.dwPreshutdownTimeout);
    if (code) return FailWith(code);
    *pcbBytesNeeded = sizeof info;
    if (!lpBuffer || cbBufSize < sizeof info) return FailWith(ERROR_INSUFFICIENT_BUFFER);
    memcpy(lpBuffer, &info, sizeof info);
    SetLastError(0);
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    ControllerRecord *record = (ControllerRecord *)hSCObject;
    {
        std::lock_guard<std::mutex> guard(recordsLock);
        if (!records.erase(record)) return FailWith(ERROR_INVALID_HANDLE);
    }
    delete record;
    SetLastError(0);
    return TRUE;
}
